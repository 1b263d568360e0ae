// Process statistics where the benchmark has no platform source for them:
// every figure that needs one is reported as not available.

#include "bench/process_stats.h"

namespace quorvex::bench {

std::vector<ThreadId> list_threads() { return {}; }

std::optional<ThreadUsage> thread_usage(std::span<const ThreadId>) {
  return std::nullopt;
}

std::optional<std::uint64_t> resident_bytes() { return std::nullopt; }

std::string cpu_model() { return "unknown"; }

}  // namespace quorvex::bench
