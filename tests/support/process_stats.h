// Figures of the test process itself, for the fault and soak tests: how
// many threads it runs and how many heap bytes it holds. Each is absent on
// a platform where the tests do not measure it (the checks are skipped
// there). One implementation per platform, chosen by the build.

#ifndef QUORVEX_TESTS_SUPPORT_PROCESS_STATS_H_
#define QUORVEX_TESTS_SUPPORT_PROCESS_STATS_H_

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorvex::test {

// Threads of this process now, the calling one included.
std::optional<std::size_t> process_thread_count();

// Heap bytes allocated and not yet freed: the sanitizer allocator's count
// under ASan or TSan, the C library's otherwise.
std::optional<std::size_t> heap_bytes_in_use();

// TCP sockets of this process connected to `port` on a loopback address,
// whatever their state (Linux: /proc/net/tcp and tcp6 against this
// process's descriptors); absent where not measured.
std::optional<std::size_t> open_sockets_to(std::uint16_t port);

// The thread count to compare with later: taken after one thread has been
// started and joined, so that a runtime that starts a helper thread of its
// own with the first new thread (ThreadSanitizer does) has done so.
std::optional<std::size_t> baseline_thread_count();

// Waits up to `timeout_ms` for the thread count to come back to at most
// `expected` (a joined thread may linger in the system's list for a
// moment) and returns the last count seen; absent where not measured.
std::optional<std::size_t> settled_thread_count(std::size_t expected,
                                                int timeout_ms);

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_PROCESS_STATS_H_
