// Throughput each way through the device operations, content verified.
//
// To the peer: the host writes as fast as ready_for_byte() allows and the
// peer drains, decodes and checks; the run ends when the peer has checked
// the last byte. From the peer: the peer floods the coded pattern and the
// host drains through has_byte()/read_byte(), checking each byte.
//
// The payload is the same in both modes, a quarter of it 0xFF: in mode
// "ip232" every one of those is doubled on the line, in mode "raw" not.
// MB/s counts payload bytes (10^6 per MB), not line bytes.

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "bench/peer.h"
#include "bench/process_stats.h"
#include "bench/traffic.h"

namespace quorvex::bench {
namespace {

constexpr unsigned kFfPercent = 25;
constexpr std::size_t kFloodChunkBytes = 64 * 1024;
// A run that makes no progress for this long is abandoned as failed.
constexpr auto kStallLimit = std::chrono::seconds(10);

// Watches a counter that should keep growing.
class Progress {
 public:
  explicit Progress(std::uint64_t value) : value_(value), changed_(Clock::now()) {}
  // Whether `value` has not changed for kStallLimit.
  bool stalled(std::uint64_t value) {
    const Clock::time_point now = Clock::now();
    if (value != value_) {
      value_ = value;
      changed_ = now;
    }
    return now - changed_ > kStallLimit;
  }

 private:
  std::uint64_t value_;
  Clock::time_point changed_;
};

struct RunResult {
  double mbps = 0;
  bool verified = false;
  // CPU time of the endpoint's own two threads per MB of payload; a figure
  // that a busy machine disturbs far less than the rate.
  std::optional<double> cpu_ms_per_mb;
};

// Counts the CPU time of the threads an endpoint started.
class BridgeCpu {
 public:
  explicit BridgeCpu(std::vector<ThreadId> threads)
      : threads_(std::move(threads)), start_(thread_usage(threads_)) {}
  std::optional<double> ms_per_mb(std::uint64_t payload) const {
    const auto end = thread_usage(threads_);
    if (threads_.empty() || !start_ || !end || payload == 0) return std::nullopt;
    return static_cast<double>(end->cpu_ns - start_->cpu_ns) / 1e6 /
           (static_cast<double>(payload) / 1e6);
  }

 private:
  std::vector<ThreadId> threads_;
  std::optional<ThreadUsage> start_;
};

// What the draining peer has seen; written by the peer thread.
struct SinkState {
  std::atomic<std::uint64_t> payload{0};
  std::atomic<std::uint64_t> mismatches{0};
  std::atomic<bool> done{false};
  Clock::time_point done_at;  // written before `done` is set
};

RunResult host_to_peer(const Pattern& pattern, bool raw, std::uint64_t total) {
  SinkState sink;
  Peer peer([&](net::TcpStream& stream, std::span<std::uint8_t> buffer,
                const std::atomic<bool>& stop) {
    StreamChecker checker(pattern, raw);
    while (!stop) {
      const net::ReceiveResult got = stream.receive(buffer, kPeerPollMs);
      if (got.timed_out) continue;
      if (got.error || got.count == 0) return;
      checker.feed(buffer.first(got.count));
      sink.mismatches = checker.mismatches();
      sink.payload = checker.payload_bytes();
      if (checker.payload_bytes() >= total && !sink.done) {
        sink.done_at = Clock::now();
        sink.done = true;
      }
    }
  });
  std::vector<ThreadId> threads;
  auto endpoint = make_endpoint(peer.port(), raw, &threads);
  if (!wait_until([&] { return endpoint->is_connected(); }, std::chrono::seconds(10))) {
    return {};
  }

  const BridgeCpu cpu(threads);
  const Clock::time_point start = Clock::now();
  Progress drain(0);
  std::uint64_t written = 0;
  std::uint32_t idle_spins = 0;
  while (written < total) {
    if (endpoint->ready_for_byte()) {
      endpoint->write_byte(pattern.at(written++));
      continue;
    }
    // Not ready: the sender is busy, so the peer must be draining.
    if (++idle_spins % 4096 == 0 && drain.stalled(sink.payload.load())) return {};
  }
  wait_until([&] { return sink.done || drain.stalled(sink.payload.load()); },
             std::chrono::hours(1));
  const std::optional<double> cpu_ms_per_mb = cpu.ms_per_mb(total);
  endpoint.reset();
  if (!sink.done) return {};
  return {megabytes_per_second(total, sink.done_at - start),
          sink.mismatches.load() == 0, cpu_ms_per_mb};
}

RunResult peer_to_host(const Pattern& pattern, bool raw, std::uint64_t total) {
  std::atomic<bool> go{false};
  Peer peer([&](net::TcpStream& stream, std::span<std::uint8_t> buffer,
                const std::atomic<bool>& stop) {
    while (!go && !stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<std::uint8_t> wire;
    wire.reserve(2 * kFloodChunkBytes);
    for (std::uint64_t sent = 0; sent < total && !stop;) {
      const std::size_t n = static_cast<std::size_t>(
          std::min<std::uint64_t>(kFloodChunkBytes, total - sent));
      wire.clear();
      encode(pattern, raw, sent, n, wire);
      if (!stream.send_all(wire)) return;
      sent += n;
    }
    hold(stream, buffer, stop);
  });
  std::vector<ThreadId> threads;
  auto endpoint = make_endpoint(peer.port(), raw, &threads);
  if (!wait_until([&] { return endpoint->is_connected(); }, std::chrono::seconds(10))) {
    return {};
  }

  const BridgeCpu cpu(threads);
  const Clock::time_point start = Clock::now();
  go = true;
  Progress flow(0);
  std::uint64_t received = 0;
  std::uint64_t mismatches = 0;
  std::uint32_t idle_spins = 0;
  while (received < total) {
    if (endpoint->has_byte()) {
      if (endpoint->read_byte() != pattern.at(received)) ++mismatches;
      ++received;
      continue;
    }
    if (++idle_spins % 4096 == 0 && flow.stalled(received)) return {};
  }
  const Clock::time_point end = Clock::now();
  const std::optional<double> cpu_ms_per_mb = cpu.ms_per_mb(total);
  endpoint.reset();
  return {megabytes_per_second(total, end - start), mismatches == 0, cpu_ms_per_mb};
}

}  // namespace

void measure_throughput(const Options& options, Report& report) {
  report.section("Throughput through the device operations (payload MB/s, 25% 0xFF, content checked)");
  const Pattern pattern(kFfPercent);
  const std::uint64_t total = options.throughput_bytes;
  bool verified = true;
  struct Case {
    const char* key;
    const char* label;
    bool raw;
    bool to_peer;
  };
  const Case cases[] = {
      {"tput_ip232_to_peer", "mode ip232, host -> peer", false, true},
      {"tput_ip232_from_peer", "mode ip232, peer -> host", false, false},
      {"tput_raw_to_peer", "mode raw, host -> peer", true, true},
      {"tput_raw_from_peer", "mode raw, peer -> host", true, false},
  };
  report.number("tput_bytes", "payload per run", static_cast<double>(total), "bytes", 0);
  for (const Case& c : cases) {
    const RunResult result = c.to_peer ? host_to_peer(pattern, c.raw, total)
                                       : peer_to_host(pattern, c.raw, total);
    verified = verified && result.verified;
    const std::string key = c.key;
    const std::string cpu_key = key + "_cpu_ms_per_mb";
    const std::string cpu_label = "  bridge threads' CPU per MB";
    if (result.verified) {
      report.number(key + "_mbps", c.label, result.mbps, "MB/s", 1, ">= 20",
                    result.mbps >= 20);
    } else {
      report.missing(key + "_mbps", std::string(c.label) + " (FAILED)", "MB/s", ">= 20");
    }
    if (result.verified && result.cpu_ms_per_mb) {
      report.number(cpu_key, cpu_label, *result.cpu_ms_per_mb, "ms", 1);
    } else {
      report.missing(cpu_key, cpu_label, "ms");
    }
  }
  report.flag("tput_verified", "every byte arrived unchanged, in order", verified,
              "yes", verified);
}

}  // namespace quorvex::bench
