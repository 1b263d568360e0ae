// Pieces shared by the benchmark's measurements: the run's options, the
// clock, endpoints set up as a host would, and bounded waits.

#ifndef QUORVEX_BENCH_BENCH_SUPPORT_H_
#define QUORVEX_BENCH_BENCH_SUPPORT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "bench/process_stats.h"
#include "bench/stats.h"
#include "ip232/ip232_serial_endpoint.h"

namespace quorvex::bench {

struct Options {
  bool quick = false;              // seconds-long smoke run
  bool json_only = false;          // print only the JSON line
  std::size_t round_trips = 10000; // per kind of round trip
  std::size_t throughput_bytes = 32u << 20;  // payload per throughput run
  double idle_seconds = 10;        // per idle measurement
  std::size_t lifecycle_samples = 10;
  std::size_t reconnect_samples = 5;
  std::size_t endpoints = 256;     // for the scale run
  std::size_t scale_bytes = 16u << 20;  // payload over all endpoints
};

using Clock = std::chrono::steady_clock;

inline double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}
inline double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}
inline double megabytes_per_second(std::uint64_t bytes, Clock::duration d) {
  const double seconds = std::chrono::duration<double>(d).count();
  return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}

// An endpoint to 127.0.0.1:`port` as the extension would attach it, with
// handshake off (the data is the only thing on the line) and the default
// transmit buffer; request-to-send is asserted, which in mode "raw" lets it
// connect. With `started`, the threads the endpoint started go there (none
// where the platform cannot list threads), for the per-thread CPU figures.
std::unique_ptr<ip232::Ip232SerialEndpoint> make_endpoint(
    std::uint16_t port, bool raw, std::vector<ThreadId>* started = nullptr);

// Calls `done` every `step` until it answers true (then true) or `limit`
// has passed (then false).
bool wait_until(const std::function<bool()>& done, Clock::duration limit,
                Clock::duration step = std::chrono::milliseconds(1));

// The threads in `after` that are not in `before`: the threads of the
// endpoints constructed in between.
std::vector<ThreadId> new_threads(std::vector<ThreadId> before,
                                  std::vector<ThreadId> after);

// A loopback port that nothing listens on (it was free a moment ago).
std::uint16_t refused_port();

// The measurements, each adding its section to `report`.
void measure_round_trip(const Options& options, Report& report);
void measure_throughput(const Options& options, Report& report);
void measure_idle(const Options& options, Report& report);
void measure_lifecycle(const Options& options, Report& report);
void measure_scale(const Options& options, Report& report);

}  // namespace quorvex::bench

#endif  // QUORVEX_BENCH_BENCH_SUPPORT_H_
