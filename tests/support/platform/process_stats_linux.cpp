// Linux: threads from /proc/self/task, heap from the sanitizer allocator
// when one is linked in, else from glibc's mallinfo2().

#include <malloc.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
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

std::optional<std::size_t> open_sockets_to(std::uint16_t port) {
  // The socket inodes this process holds descriptors of.
  std::set<unsigned long> mine;
  std::error_code error;
  std::filesystem::directory_iterator it("/proc/self/fd", error);
  if (error) return std::nullopt;
  for (const auto& entry : it) {
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    unsigned long inode = 0;
    if (!error && std::sscanf(target.c_str(), "socket:[%lu]", &inode) == 1) {
      mine.insert(inode);
    }
  }
  // Each line: slot, local address:port, remote address:port (hex), state,
  // queues, timers, uid, timeout, inode.
  std::size_t count = 0;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream file(table);
    std::string line;
    std::getline(file, line);  // the header
    while (std::getline(file, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timers, retransmits, uid, timeout;
      unsigned long inode = 0;
      fields >> slot >> local >> remote >> state >> queues >> timers >> retransmits >>
          uid >> timeout >> inode;
      const auto colon = remote.rfind(':');
      if (!fields || colon == std::string::npos) continue;
      if (std::stoul(remote.substr(colon + 1), nullptr, 16) == port && mine.count(inode)) {
        ++count;
      }
    }
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
