// Linux: threads from /proc/self/task, heap from the sanitizer allocator
// when one is linked in, else from glibc's mallinfo2().

#include <malloc.h>

#include <filesystem>
#include <system_error>

#include "tests/support/process_stats.h"

// Provided by the ASan and TSan runtimes; null without them.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes()
    __attribute__((weak));

namespace quorvex::test {

std::optional<std::size_t> process_thread_count() {
  std::error_code error;
  std::filesystem::directory_iterator it("/proc/self/task", error);
  if (error) return std::nullopt;
  std::size_t count = 0;
  for (const auto& entry : it) {
    (void)entry;
    ++count;
  }
  return count;
}

std::optional<std::size_t> heap_bytes_in_use() {
  if (__sanitizer_get_current_allocated_bytes != nullptr) {
    return __sanitizer_get_current_allocated_bytes();
  }
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace quorvex::test
