// A stand-in for the C library's send(), loaded into the test program with
// LD_PRELOAD (Linux only): it passes every call on, except that a test may
// make the next few sends on connections to one port fail with an error of
// its choosing, leaving the connection itself untouched.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>

namespace {

using SendFunction = ssize_t (*)(int, const void*, size_t, int);

std::atomic<int> armed_port{0};
std::atomic<int> armed_error{0};
std::atomic<int> armed_count{0};

// The port at the other end of `fd`, or 0.
int peer_port(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return 0;
}

bool take_armed_failure(int fd) {
  if (armed_count.load() <= 0 || peer_port(fd) != armed_port.load()) return false;
  int left = armed_count.load();
  while (left > 0 && !armed_count.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

}  // namespace

extern "C" {

// Makes the next `count` sends on connections to `port` fail with
// `error_number` (nothing is sent).
__attribute__((visibility("default"))) void ip232_fail_sends(int port, int error_number,
                                                              int count) {
  armed_port.store(port);
  armed_error.store(error_number);
  armed_count.store(count);
}

__attribute__((visibility("default"))) ssize_t send(int fd, const void* data, size_t length,
                                                     int flags) {
  static const auto next = reinterpret_cast<SendFunction>(::dlsym(RTLD_NEXT, "send"));
  if (take_armed_failure(fd)) {
    errno = armed_error.load();
    return -1;
  }
  return next(fd, data, length, flags);
}

}  // extern "C"
