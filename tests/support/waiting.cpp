#include "tests/support/waiting.h"

#include <thread>

namespace quorvex::test {

std::int64_t ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
      .count();
}

bool wait_until(const std::function<bool()>& condition, int timeout_ms) {
  const Clock::time_point start = Clock::now();
  while (!condition()) {
    if (ms_since(start) >= timeout_ms) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool until_done_or_stalled(const std::function<bool()>& step,
                           const std::function<std::uint64_t()>& progress,
                           int stall_ms) {
  std::uint64_t last = progress();
  Clock::time_point moved = Clock::now();
  while (!step()) {
    if (const std::uint64_t now = progress(); now != last) {
      last = now;
      moved = Clock::now();
    } else if (ms_since(moved) >= stall_ms) {
      return false;
    }
  }
  return true;
}

}  // namespace quorvex::test
