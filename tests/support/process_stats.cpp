#include "tests/support/process_stats.h"

#include <thread>

#include "tests/support/waiting.h"

namespace quorvex::test {

std::optional<std::size_t> baseline_thread_count() {
  std::thread([] {}).join();
  return process_thread_count();
}

std::optional<std::size_t> settled_thread_count(std::size_t expected,
                                                int timeout_ms) {
  std::optional<std::size_t> count;
  wait_until([&] {
    count = process_thread_count();
    return !count || *count <= expected;
  }, timeout_ms);
  return count;
}

}  // namespace quorvex::test
