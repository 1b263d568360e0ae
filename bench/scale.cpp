// Many endpoints in one process against one peer: how long until all are
// connected, the resident memory each adds, what they cost while idle, and
// the aggregate throughput when one host thread feeds them all in turn (as
// one emulator running several machines would).

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench/bench_support.h"
#include "bench/peer.h"
#include "bench/process_stats.h"
#include "bench/traffic.h"

namespace quorvex::bench {
namespace {

constexpr unsigned kFfPercent = 25;
// Most bytes written into one endpoint before the host moves on to the
// next: the default transmit buffer, so a visit can fill it.
constexpr std::size_t kBurstBytes = 4096;
constexpr auto kStallLimit = std::chrono::seconds(10);

// What the peer's workers have seen, summed; written by the workers.
struct SinkTotals {
  std::atomic<std::uint64_t> payload{0};
  std::atomic<std::uint64_t> mismatches{0};
  std::atomic<std::uint64_t> streams_done{0};  // streams checked to the end
};

}  // namespace

void measure_scale(const Options& options, Report& report) {
  const std::size_t count = options.endpoints;
  report.section("Scale: " + std::to_string(count) +
                 " endpoints in one process against one peer");
  const Pattern pattern(kFfPercent);
  const std::uint64_t per_endpoint = std::max<std::uint64_t>(1, options.scale_bytes / count);
  SinkTotals sink;
  MultiPeer peer(count, [&](net::TcpStream& stream, std::span<std::uint8_t> buffer,
                            const std::atomic<bool>& stop) {
    StreamChecker checker(pattern, /*raw=*/false);
    std::uint64_t reported_mismatches = 0;
    while (!stop) {
      const net::ReceiveResult got = stream.receive(buffer, kPeerPollMs);
      if (got.timed_out) continue;
      if (got.error || got.count == 0) return;
      sink.payload += checker.feed(buffer.first(got.count));
      sink.mismatches += checker.mismatches() - reported_mismatches;
      reported_mismatches = checker.mismatches();
      if (checker.payload_bytes() == per_endpoint) ++sink.streams_done;
    }
  });

  const std::vector<ThreadId> threads_before = list_threads();
  const std::optional<std::uint64_t> rss_before = resident_bytes();
  std::vector<std::unique_ptr<ip232::Ip232SerialEndpoint>> endpoints;
  endpoints.reserve(count);
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < count; ++i) {
    endpoints.push_back(make_endpoint(peer.port(), /*raw=*/false));
  }
  const bool all_connected = wait_until([&] {
    return std::all_of(endpoints.begin(), endpoints.end(),
                       [](const auto& e) { return e->is_connected(); });
  }, std::chrono::seconds(60));
  const double connect_ms = milliseconds(Clock::now() - start);
  // Give the peer's workers their connections before weighing memory.
  wait_until([&] { return peer.accepted() == count; }, std::chrono::seconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::optional<std::uint64_t> rss_after = resident_bytes();

  const std::vector<ThreadId> endpoint_threads =
      new_threads(threads_before, list_threads());
  const double idle_seconds = options.quick ? 0.5 : 2.0;
  const auto usage_start = thread_usage(endpoint_threads);
  const Clock::time_point idle_start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(idle_seconds));
  const auto usage_end = thread_usage(endpoint_threads);
  const double idle_elapsed = std::chrono::duration<double>(Clock::now() - idle_start).count();

  // Aggregate throughput: the host thread visits each endpoint in turn and
  // writes while it is ready, up to a burst.
  std::vector<std::uint64_t> written(count, 0);
  const std::uint64_t total = per_endpoint * count;
  const Clock::time_point flow_start = Clock::now();
  std::size_t unfinished = all_connected ? count : 0;
  Clock::time_point last_progress = flow_start;
  std::uint64_t last_payload = 0;
  while (unfinished > 0) {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint64_t& sent = written[i];
      if (sent == per_endpoint) continue;
      ip232::Ip232SerialEndpoint& endpoint = *endpoints[i];
      for (std::size_t burst = 0; burst < kBurstBytes && sent < per_endpoint &&
                                  endpoint.ready_for_byte(); ++burst) {
        endpoint.write_byte(pattern.at(sent++));
      }
      if (sent == per_endpoint) --unfinished;
    }
    const std::uint64_t payload = sink.payload.load();
    if (payload != last_payload) {
      last_payload = payload;
      last_progress = Clock::now();
    } else if (Clock::now() - last_progress > kStallLimit) {
      break;
    }
  }
  const bool drained = unfinished == 0 && wait_until([&] {
    return sink.streams_done.load() == count;
  }, std::chrono::seconds(60), std::chrono::microseconds(200));
  const Clock::duration flow_time = Clock::now() - flow_start;

  const Clock::time_point stopping = Clock::now();
  endpoints.clear();
  const double stop_ms = milliseconds(Clock::now() - stopping);

  report.number("scale_endpoints", "endpoints", static_cast<double>(count), "", 0);
  report.number("scale_connect_ms", "construction to all connected", connect_ms,
                "ms", 1, "<= 5000", all_connected && connect_ms <= 5000);
  if (rss_before && rss_after) {
    const double per_kib = (static_cast<double>(*rss_after) - static_cast<double>(*rss_before)) /
                           1024.0 / static_cast<double>(count);
    report.number("scale_rss_kib_per_endpoint", "resident memory per endpoint", per_kib,
                  "KiB", 1, "< 200", per_kib < 200);
  } else {
    report.missing("scale_rss_kib_per_endpoint", "resident memory per endpoint", "KiB", "< 200");
  }
  if (usage_start && usage_end && !endpoint_threads.empty()) {
    report.number("scale_idle_wakeups_per_s", "idle wakeups, all endpoints",
                  static_cast<double>(usage_end->switches - usage_start->switches) / idle_elapsed,
                  "1/s", 0);
    report.number("scale_idle_cpu_percent", "idle CPU, all endpoints (of one core)",
                  static_cast<double>(usage_end->cpu_ns - usage_start->cpu_ns) / 1e7 / idle_elapsed,
                  "%", 2);
  } else {
    report.missing("scale_idle_wakeups_per_s", "idle wakeups, all endpoints", "1/s");
    report.missing("scale_idle_cpu_percent", "idle CPU, all endpoints (of one core)", "%");
  }
  if (drained) {
    report.number("scale_mbps", "aggregate throughput, host -> peer",
                  megabytes_per_second(total, flow_time), "MB/s", 1);
  } else {
    report.missing("scale_mbps", "aggregate throughput, host -> peer (FAILED)", "MB/s");
  }
  report.number("scale_stop_ms", "destruction of all endpoints", stop_ms, "ms", 1);
  const bool verified = all_connected && drained && sink.mismatches.load() == 0;
  report.flag("scale_verified", "all connected, every byte arrived unchanged", verified,
              "yes", verified);
}

}  // namespace quorvex::bench
