// Round trip of one byte: the host thread writes a byte into the endpoint
// and spins on has_byte() until the echo comes back through the whole
// bridge (sender, TCP, echo peer, connector, receive queue). Beside it, in
// the same run, a plain loopback socket ping-pong against the same kind of
// echo peer: the physical floor of this machine.
//
// The two kinds are measured in alternating blocks so that a noisy
// neighbour on a shared machine weighs on both alike.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/peer.h"
#include "bench/process_stats.h"
#include "tools/net/tcp_stream.h"

namespace quorvex::bench {
namespace {

constexpr std::size_t kBlocks = 10;
constexpr std::size_t kWarmUp = 200;
// A round trip that takes longer than this counts as lost.
constexpr auto kRoundTripLimit = std::chrono::seconds(5);

// One byte through the bridge and back; nothing when it did not come back
// or came back changed.
std::optional<double> bridge_round_trip(ip232::Ip232SerialEndpoint& endpoint,
                                        std::uint8_t byte) {
  const Clock::time_point start = Clock::now();
  endpoint.write_byte(byte);
  // An emulator polls its serial device in its own loop: spin, and look at
  // the clock only now and then.
  for (std::uint32_t spins = 1; !endpoint.has_byte(); ++spins) {
    if (spins % 4096 == 0 && Clock::now() - start > kRoundTripLimit) {
      return std::nullopt;
    }
  }
  const std::uint8_t echoed = endpoint.read_byte();
  const Clock::time_point end = Clock::now();
  if (echoed != byte) return std::nullopt;
  return microseconds(end - start);
}

std::optional<double> plain_round_trip(net::TcpStream& stream,
                                       std::uint8_t byte) {
  std::uint8_t in = 0;
  const Clock::time_point start = Clock::now();
  if (!stream.send_all(std::span<const std::uint8_t>(&byte, 1))) return std::nullopt;
  const net::ReceiveResult got = stream.receive(
      std::span<std::uint8_t>(&in, 1),
      static_cast<int>(std::chrono::milliseconds(kRoundTripLimit).count()));
  const Clock::time_point end = Clock::now();
  if (got.count != 1 || in != byte) return std::nullopt;
  return microseconds(end - start);
}

}  // namespace

void measure_round_trip(const Options& options, Report& report) {
  report.section("Round trip of one byte (host write_byte -> echo peer -> host has_byte)");
  Peer bridge_peer(echo);
  Peer plain_peer(echo);

  std::string error;
  std::optional<net::TcpStream> plain =
      net::TcpStream::connect("127.0.0.1", plain_peer.port(), error);
  if (!plain) throw std::runtime_error("cannot connect to the echo peer: " + error);
  plain->set_no_delay();

  std::vector<ThreadId> threads;
  auto endpoint = make_endpoint(bridge_peer.port(), /*raw=*/false, &threads);
  if (!wait_until([&] { return endpoint->is_connected(); }, std::chrono::seconds(10))) {
    throw std::runtime_error("the endpoint did not connect to the echo peer");
  }

  std::vector<double> bridge;
  std::vector<double> socket;
  bridge.reserve(options.round_trips);
  socket.reserve(options.round_trips);
  std::size_t lost = 0;
  std::uint8_t next = 0;
  for (std::size_t i = 0; i < kWarmUp; ++i, ++next) {
    if (!bridge_round_trip(*endpoint, next)) ++lost;
    if (!plain_round_trip(*plain, next)) ++lost;
  }
  const std::size_t per_block = (options.round_trips + kBlocks - 1) / kBlocks;
  // The endpoint threads' wakeups during the bridge blocks only.
  std::uint64_t bridge_switches = 0;
  bool switches_counted = !threads.empty();
  for (std::size_t block = 0; block < kBlocks; ++block) {
    // Every byte value takes part, 0xFF (doubled on the line) included.
    for (std::size_t i = 0; i < per_block; ++i, ++next) {
      if (auto t = plain_round_trip(*plain, next)) socket.push_back(*t); else ++lost;
    }
    const auto usage_before = thread_usage(threads);
    for (std::size_t i = 0; i < per_block; ++i, ++next) {
      if (auto t = bridge_round_trip(*endpoint, next)) bridge.push_back(*t); else ++lost;
    }
    const auto usage_after = thread_usage(threads);
    if (usage_before && usage_after) {
      bridge_switches += usage_after->switches - usage_before->switches;
    } else {
      switches_counted = false;
    }
    if (lost > 0) break;
  }
  endpoint.reset();
  plain->close();

  const Distribution b = summarize(bridge);
  const Distribution s = summarize(socket);
  const double ratio = s.median > 0 ? b.median / s.median : 0;
  report.number("rt_samples", "round trips of each kind", static_cast<double>(b.count), "", 0);
  report.number("rt_bridge_median_us", "bridge, median", b.median, "us", 1);
  report.number("rt_bridge_p99_us", "bridge, 99th percentile", b.p99, "us", 1);
  report.number("rt_plain_median_us", "plain socket ping-pong, median", s.median, "us", 1);
  report.number("rt_plain_p99_us", "plain socket ping-pong, 99th percentile", s.p99, "us", 1);
  report.number("rt_ratio", "bridge median / plain median", ratio, "x", 2,
                "<= 1.5", ratio <= 1.5);
  if (switches_counted && b.count > 0) {
    report.number("rt_bridge_wakeups_per_trip", "bridge threads' wakeups per round trip",
                  static_cast<double>(bridge_switches) / static_cast<double>(b.count), "", 2);
  } else {
    report.missing("rt_bridge_wakeups_per_trip", "bridge threads' wakeups per round trip", "");
  }
  report.flag("rt_verified", "every byte came back unchanged", lost == 0, "yes",
              lost == 0);
}

}  // namespace quorvex::bench
