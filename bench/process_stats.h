// What the benchmark asks the operating system about its own process:
// which threads it runs, how often they were switched out and how much CPU
// they used, and how much memory is resident. Each platform answers in its
// own file; where a platform has no cheap answer the functions report
// nothing and the benchmark prints "n/a".

#ifndef QUORVEX_BENCH_PROCESS_STATS_H_
#define QUORVEX_BENCH_PROCESS_STATS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvex::bench {

// A thread of this process as the operating system numbers it.
using ThreadId = std::uint64_t;

// The threads of this process now; empty where threads cannot be listed.
std::vector<ThreadId> list_threads();

// Counters summed over a set of threads.
struct ThreadUsage {
  std::uint64_t switches = 0;  // times the threads left the CPU (wakeups)
  std::uint64_t cpu_ns = 0;    // time the threads ran
};

// The counters of `threads` so far; nothing when a thread has gone or the
// platform keeps no such counters.
std::optional<ThreadUsage> thread_usage(std::span<const ThreadId> threads);

// Resident memory of the whole process in bytes.
std::optional<std::uint64_t> resident_bytes();

// The processor's model name, or "unknown".
std::string cpu_model();

}  // namespace quorvex::bench

#endif  // QUORVEX_BENCH_PROCESS_STATS_H_
