// Idle cost of one endpoint: connected to a peer that sends nothing, and
// retrying against a port where nothing listens; beside it, for scale, the
// cost of carrying a serial line at 115200 baud (the host writing 11520
// bytes a second, paced as an emulator running in real time would). Counted
// on the endpoint's own two threads only (they are the threads that appear
// when it is constructed): how often they were switched out (wakeups) and
// how long they ran.

#include <thread>

#include "bench/bench_support.h"
#include "bench/peer.h"
#include "bench/process_stats.h"

namespace quorvex::bench {
namespace {

// Lets the endpoint reach its steady state before counting.
constexpr auto kSettle = std::chrono::milliseconds(500);
// 115200 baud with one start and one stop bit: 11520 bytes a second.
constexpr std::int64_t kPacedBytesPerSecond = 11520;

using Activity = std::function<void(ip232::Ip232SerialEndpoint&, Clock::time_point)>;

// What the host does while an idle endpoint is counted: nothing.
void stay_idle(ip232::Ip232SerialEndpoint&, Clock::time_point until) {
  std::this_thread::sleep_until(until);
}

// Writes one byte every 1/kPacedBytesPerSecond s until `until`.
void write_paced(ip232::Ip232SerialEndpoint& endpoint, Clock::time_point until) {
  const auto gap = std::chrono::nanoseconds(1'000'000'000 / kPacedBytesPerSecond);
  std::uint8_t next_byte = 0;
  for (Clock::time_point next = Clock::now(); next < until; next += gap) {
    if (endpoint.ready_for_byte()) endpoint.write_byte(next_byte++);
    std::this_thread::sleep_until(next);
  }
}

struct IdleCost {
  bool measured = false;
  double wakeups_per_second = 0;
  double cpu_ms = 0;
};

// Counts the endpoint's threads over `seconds` once `ready` holds, while
// the host does `activity`.
IdleCost idle_cost(std::uint16_t port, double seconds,
                   const std::function<bool(ip232::Ip232SerialEndpoint&)>& ready,
                   const Activity& activity = stay_idle) {
  std::vector<ThreadId> threads;
  auto endpoint = make_endpoint(port, /*raw=*/false, &threads);
  if (!wait_until([&] { return ready(*endpoint); }, std::chrono::seconds(10))) {
    return {};
  }
  std::this_thread::sleep_for(kSettle);
  const auto start = thread_usage(threads);
  const Clock::time_point t0 = Clock::now();
  activity(*endpoint, t0 + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(seconds)));
  const auto end = thread_usage(threads);
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  if (threads.empty() || !start || !end) return {};
  return {true, static_cast<double>(end->switches - start->switches) / elapsed,
          static_cast<double>(end->cpu_ns - start->cpu_ns) / 1e6};
}

void add(Report& report, const std::string& prefix, const std::string& what,
         double seconds, const IdleCost& cost, const std::string& wakeup_target) {
  const std::string wakeups_key = prefix + "_wakeups_per_s";
  const std::string cpu_key = prefix + "_cpu_ms";
  if (!cost.measured) {
    report.missing(wakeups_key, what + ", wakeups", "1/s", wakeup_target);
    report.missing(cpu_key, what + ", CPU time", "ms");
    report.missing(prefix + "_cpu_percent", what + ", CPU (of one core)", "%");
    return;
  }
  std::optional<bool> met;
  if (!wakeup_target.empty()) met = cost.wakeups_per_second <= 11;
  report.number(wakeups_key, what + ", wakeups", cost.wakeups_per_second, "1/s",
                1, wakeup_target, met);
  report.number(cpu_key, what + ", CPU time", cost.cpu_ms, "ms", 2);
  report.number(prefix + "_cpu_percent", what + ", CPU (of one core)",
                cost.cpu_ms / 10.0 / seconds, "%", 3);
}

}  // namespace

void measure_idle(const Options& options, Report& report) {
  report.section("Idle cost of one endpoint (its two threads, over the interval)");
  report.number("idle_seconds", "interval", options.idle_seconds, "s", 1);
  {
    Peer peer(hold);
    const IdleCost connected = idle_cost(peer.port(), options.idle_seconds,
        [](ip232::Ip232SerialEndpoint& e) { return e.is_connected(); });
    add(report, "idle_connected", "connected, nothing to carry", options.idle_seconds,
        connected, "<= 11");
  }
  const IdleCost refused = idle_cost(refused_port(), options.idle_seconds,
      [](ip232::Ip232SerialEndpoint& e) { return !e.status_text().empty(); });
  add(report, "idle_refused", "retrying against a refused port", options.idle_seconds,
      refused, {});
  Peer peer(hold);
  const IdleCost paced = idle_cost(peer.port(), options.idle_seconds,
      [](ip232::Ip232SerialEndpoint& e) { return e.is_connected(); }, write_paced);
  add(report, "paced_115200", "carrying 11520 bytes/s host -> peer", options.idle_seconds,
      paced, {});
}

}  // namespace quorvex::bench
