#include "tests/support/process_stats.h"

#include <chrono>
#include <thread>

namespace quorvex::test {

std::optional<std::size_t> baseline_thread_count() {
  std::thread([] {}).join();
  return process_thread_count();
}

std::optional<std::size_t> settled_thread_count(std::size_t expected,
                                                int timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::optional<std::size_t> count = process_thread_count();
  while (count && *count > expected &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    count = process_thread_count();
  }
  return count;
}

}  // namespace quorvex::test
