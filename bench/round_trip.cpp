// Round trip of one byte: the host thread writes a byte into the endpoint
// and spins on has_byte() until the echo comes back through the whole
// bridge (sender, TCP, echo peer, connector, receive queue). Beside it, in
// the same run, a plain loopback socket ping-pong: the physical floor of
// this machine. The plain client spins on a non-blocking receive, as the
// host spins on has_byte(), and both kinds talk to the same kind of echo
// peer: a thread of its own that blocks in receive and sends back at once,
// doing nothing else.
//
// The two kinds are measured in alternating blocks so that a noisy
// neighbour on a shared machine weighs on both alike.

#include <atomic>
#include <mutex>
#include <span>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "bench/peer.h"
#include "bench/process_stats.h"
#include "net/socket_ops.h"
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

// One connection's echo on a thread of its own: a blocking receive, the
// bytes straight back, nothing else; no wait with a time limit in between.
class EchoThread {
 public:
  EchoThread() {
    std::string error;
    std::optional<net::TcpListener> listener =
        net::TcpListener::open("127.0.0.1", 0, 1, error);
    if (!listener) throw std::runtime_error(error);
    port_ = listener->port();
    thread_ = std::thread(&EchoThread::run, this, std::move(*listener));
  }
  // Ends a blocked receive (the stream is shut down) and joins.
  ~EchoThread() {
    stop_ = true;
    {
      std::lock_guard<std::mutex> hold(lock_);
      stream_.interrupt();
    }
    thread_.join();
  }
  EchoThread(const EchoThread&) = delete;
  EchoThread& operator=(const EchoThread&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void run(net::TcpListener listener) {
    std::optional<net::TcpStream> accepted;
    while (!stop_ && !accepted) accepted = listener.accept(kPeerPollMs);
    if (!accepted) return;
    accepted->set_no_delay();
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stop_) return;
      stream_ = std::move(*accepted);
    }
    std::uint8_t buffer[256];
    for (;;) {
      const net::ReceiveResult got = stream_.receive(buffer, -1);
      if (got.error || got.count == 0) return;
      if (!stream_.send_all(std::span<const std::uint8_t>(buffer, got.count))) return;
    }
  }

  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;         // guards stream_ being set against interrupt()
  net::TcpStream stream_;   // the accepted connection, once there is one
  std::thread thread_;
};

// One byte over the non-blocking `socket` and back, spinning on receive as
// bridge_round_trip() spins on has_byte().
std::optional<double> plain_round_trip(net::SocketHandle socket,
                                       std::uint8_t byte) {
  std::uint8_t in = 0;
  const Clock::time_point start = Clock::now();
  const net::TransferResult sent =
      net::send_some(socket, std::span<const std::uint8_t>(&byte, 1));
  if (!sent.ok || sent.count != 1) return std::nullopt;
  for (std::uint32_t spins = 1;; ++spins) {
    const net::TransferResult got =
        net::receive_some(socket, std::span<std::uint8_t>(&in, 1));
    if (got.ok) {
      if (got.count != 1) return std::nullopt;  // the peer closed
      break;
    }
    if (!net::is_would_block(got.error)) return std::nullopt;
    if (spins % 4096 == 0 && Clock::now() - start > kRoundTripLimit) {
      return std::nullopt;
    }
  }
  const Clock::time_point end = Clock::now();
  if (in != byte) return std::nullopt;
  return microseconds(end - start);
}

}  // namespace

void measure_round_trip(const Options& options, Report& report) {
  report.section("Round trip of one byte (host write_byte -> echo peer -> host has_byte)");
  EchoThread bridge_peer;
  EchoThread plain_peer;

  std::string error;
  std::optional<net::TcpStream> plain =
      net::TcpStream::connect("127.0.0.1", plain_peer.port(), error);
  if (!plain) throw std::runtime_error("cannot connect to the echo peer: " + error);
  plain->set_no_delay();
  net::SocketError failure;
  if (!net::set_non_blocking(plain->handle(), failure)) {
    throw std::runtime_error("cannot make the plain socket non-blocking");
  }

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
    if (!plain_round_trip(plain->handle(), next)) ++lost;
  }
  const std::size_t per_block = (options.round_trips + kBlocks - 1) / kBlocks;
  // The endpoint threads' wakeups during the bridge blocks only.
  std::uint64_t bridge_switches = 0;
  bool switches_counted = !threads.empty();
  for (std::size_t block = 0; block < kBlocks; ++block) {
    // Every byte value takes part, 0xFF (doubled on the line) included.
    for (std::size_t i = 0; i < per_block; ++i, ++next) {
      if (auto t = plain_round_trip(plain->handle(), next)) socket.push_back(*t); else ++lost;
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
