// Waiting in tests. The machine is shared and noisy: every wait is bounded
// generously, and only a wait that makes no progress at all gives up.

#ifndef QUORVEX_TESTS_SUPPORT_WAITING_H_
#define QUORVEX_TESTS_SUPPORT_WAITING_H_

#include <chrono>
#include <cstdint>
#include <functional>

namespace quorvex::test {

using Clock = std::chrono::steady_clock;

// Generous bound for anything a test waits for on loopback.
inline constexpr int kPatientWaitMs = 5000;

std::int64_t ms_since(Clock::time_point start);

// Polls `condition` every millisecond or so until it holds or `timeout_ms`
// has passed; returns the last answer.
bool wait_until(const std::function<bool()>& condition,
                int timeout_ms = kPatientWaitMs);

// Calls `step` without pause until it answers true, or until `progress()`
// has not grown for `stall_ms` (a slow line on a loaded machine may take
// long in all, but it keeps moving); returns the last answer of `step`.
bool until_done_or_stalled(const std::function<bool()>& step,
                           const std::function<std::uint64_t()>& progress,
                           int stall_ms = 2 * kPatientWaitMs);

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_WAITING_H_
