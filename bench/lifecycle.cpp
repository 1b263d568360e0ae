// The endpoint's life: how soon the first byte arrives after construction,
// how long destruction takes when connected and idle, and how soon it is
// back after the peer drops the connection or goes away for a while.

#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "bench/peer.h"
#include "tools/net/tcp_stream.h"

namespace quorvex::bench {
namespace {

constexpr std::uint8_t kGreeting = 0x41;
constexpr int kAcceptLimitMs = 10000;
// How long a connection or an idle endpoint is left alone before the next
// step, so that the figure is not about a thread that is still starting.
constexpr auto kIdleBeforeStep = std::chrono::milliseconds(200);
// How long the peer stays away in the restart case: long enough for the
// endpoint to have failed at least once and be in its back-off. Each
// sample adds a step that is prime to the back-off, so that the samples
// meet the retry cycle at different phases.
constexpr auto kPeerAway = std::chrono::milliseconds(1200);
constexpr auto kPeerAwayStep = std::chrono::milliseconds(173);

void greet(net::TcpStream& stream, std::span<std::uint8_t> buffer,
           const std::atomic<bool>& stop) {
  if (!stream.send_all(std::span<const std::uint8_t>(&kGreeting, 1))) return;
  hold(stream, buffer, stop);
}

void add_distribution(Report& report, const std::string& key,
                      const std::string& label, const std::vector<double>& samples,
                      std::size_t wanted, double target_ms) {
  const Distribution d = summarize(samples);
  const std::string target = target_ms > 0 ? "<= " + std::to_string(static_cast<int>(target_ms)) : "";
  if (d.count < wanted) {
    report.missing(key + "_median_ms", label + ", median (FAILED)", "ms", target);
    report.missing(key + "_max_ms", label + ", max (FAILED)", "ms", target);
    return;
  }
  std::optional<bool> met;
  if (target_ms > 0) met = d.max <= target_ms;
  report.number(key + "_median_ms", label + ", median", d.median, "ms", 1);
  report.number(key + "_max_ms", label + ", max", d.max, "ms", 1, target, met);
}

// Construction to first byte, and destruction of the connected endpoint.
void first_byte_and_stop(std::size_t samples, std::vector<double>& first,
                         std::vector<double>& stop) {
  Peer peer(greet);
  for (std::size_t i = 0; i < samples; ++i) {
    const Clock::time_point start = Clock::now();
    auto endpoint = make_endpoint(peer.port(), /*raw=*/false);
    std::uint32_t spins = 0;
    bool arrived = true;
    while (!endpoint->has_byte()) {
      if (++spins % 4096 == 0 && Clock::now() - start > std::chrono::seconds(10)) {
        arrived = false;
        break;
      }
    }
    if (!arrived || endpoint->read_byte() != kGreeting) return;
    first.push_back(milliseconds(Clock::now() - start));

    std::this_thread::sleep_for(kIdleBeforeStep);
    const Clock::time_point stopping = Clock::now();
    endpoint.reset();
    stop.push_back(milliseconds(Clock::now() - stopping));
  }
}

// From the peer closing an established connection (its listener stays
// open) to the endpoint's next connection being accepted.
void reconnect_after_close(std::size_t samples, std::vector<double>& out) {
  std::string error;
  auto listener = net::TcpListener::open("127.0.0.1", 0, 16, error);
  if (!listener) throw std::runtime_error(error);  // it names the address
  auto endpoint = make_endpoint(listener->port(), /*raw=*/false);
  std::optional<net::TcpStream> stream = listener->accept(kAcceptLimitMs);
  for (std::size_t i = 0; i < samples && stream; ++i) {
    std::this_thread::sleep_for(kIdleBeforeStep);
    const Clock::time_point closed = Clock::now();
    stream->close();
    stream = listener->accept(kAcceptLimitMs);
    if (stream) out.push_back(milliseconds(Clock::now() - closed));
  }
}

// From the peer listening again after it was away (connection reset,
// listener closed) to the endpoint's next connection being accepted.
// Bounded by the back-off between attempts.
void reconnect_after_restart(std::size_t samples, std::vector<double>& out) {
  std::string error;
  auto listener = net::TcpListener::open("127.0.0.1", 0, 16, error);
  if (!listener) throw std::runtime_error(error);  // it names the address
  const std::uint16_t port = listener->port();
  auto endpoint = make_endpoint(port, /*raw=*/false);
  std::optional<net::TcpStream> stream = listener->accept(kAcceptLimitMs);
  for (std::size_t i = 0; i < samples && stream; ++i) {
    std::this_thread::sleep_for(kIdleBeforeStep);
    // A reset leaves no TIME_WAIT behind, so the port can be bound again.
    stream->reset();
    listener.reset();
    std::this_thread::sleep_for(kPeerAway + static_cast<int>(i) * kPeerAwayStep);
    listener = net::TcpListener::open("127.0.0.1", port, 16, error);
    if (!listener) return;
    const Clock::time_point listening = Clock::now();
    stream = listener->accept(kAcceptLimitMs);
    if (stream) out.push_back(milliseconds(Clock::now() - listening));
  }
}

}  // namespace

void measure_lifecycle(const Options& options, Report& report) {
  report.section("Start, stop and reconnect of one endpoint");
  std::vector<double> first;
  std::vector<double> stop;
  first_byte_and_stop(options.lifecycle_samples, first, stop);
  std::vector<double> after_close;
  reconnect_after_close(options.reconnect_samples, after_close);
  std::vector<double> after_restart;
  reconnect_after_restart(options.reconnect_samples, after_restart);

  add_distribution(report, "first_byte", "construction to first byte received",
                   first, options.lifecycle_samples, 0);
  add_distribution(report, "stop", "destruction when connected and idle", stop,
                   options.lifecycle_samples, 150);
  add_distribution(report, "reconnect_close", "peer closed -> next connection accepted",
                   after_close, options.reconnect_samples, 600);
  add_distribution(report, "reconnect_restart", "peer listening again -> connection accepted",
                   after_restart, options.reconnect_samples, 600);
  const bool complete = first.size() == options.lifecycle_samples &&
                        stop.size() == options.lifecycle_samples &&
                        after_close.size() == options.reconnect_samples &&
                        after_restart.size() == options.reconnect_samples;
  report.flag("lifecycle_complete", "every start, stop and reconnect happened",
              complete, "yes", complete);
}

}  // namespace quorvex::bench
