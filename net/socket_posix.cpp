// The socket primitives on POSIX sockets.
//
// Careful habits throughout: every call that a signal can interrupt is
// retried on EINTR; waits use poll(), which has no FD_SETSIZE ceiling;
// sockets are created close-on-exec so that a program the host starts does
// not inherit a connection; send() passes MSG_NOSIGNAL so that a peer that
// has gone cannot kill the host process with SIGPIPE.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>

#include "net/socket_handle.h"
#include "net/socket_ops.h"
#include "sys/error_text.h"

namespace quorvex::net {
namespace {

int to_fd(SocketHandle socket) { return static_cast<int>(socket); }

SocketHandle from_fd(int fd) {
  return fd < 0 ? kInvalidSocket : static_cast<SocketHandle>(fd);
}

SocketError last_error() { return SocketError{SocketError::Domain::kSocket, errno}; }

// Copies `address` into `storage`; the length to hand to the system.
socklen_t socket_address(const ResolvedAddress& address, sockaddr_storage& storage) {
  storage = sockaddr_storage{};
  const std::size_t length = std::min(address.address.size(), sizeof storage);
  std::memcpy(&storage, address.address.data(), length);
  return static_cast<socklen_t>(length);
}

void set_int_option(SocketHandle socket, int level, int name, int value) {
  ::setsockopt(to_fd(socket), level, name, &value, sizeof value);
}

// Longest wait: far from the clock's range, so that the deadline cannot
// overflow; poll() itself takes at most INT_MAX milliseconds a call.
constexpr std::chrono::milliseconds kLongestWait{std::int64_t{1} << 40};
constexpr std::chrono::milliseconds kLongestPoll{INT_MAX};

// Waits for `events` on `fd` until `timeout` has passed, across signal
// interruptions.
WaitOutcome poll_until(int fd, short events, std::chrono::milliseconds timeout,
                       SocketError& error) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::clamp(timeout, std::chrono::milliseconds::zero(), kLongestWait);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{};
    entry.fd = fd;
    entry.events = events;
    const int ready = ::poll(&entry, 1, static_cast<int>(std::clamp(
        left, std::chrono::milliseconds::zero(), kLongestPoll).count()));
    if (ready > 0) {
      if ((entry.revents & POLLNVAL) != 0) {
        error = SocketError{SocketError::Domain::kSocket, EBADF};
        return WaitOutcome::kFailed;
      }
      // POLLERR and POLLHUP count as ready too: the caller collects the
      // error or the end of stream from the socket itself.
      return WaitOutcome::kReady;
    }
    if (ready == 0) {
      // A wait longer than poll() can express comes back early.
      if (Clock::now() >= deadline) return WaitOutcome::kTimedOut;
      continue;
    }
    if (errno == EINTR) continue;
    error = last_error();
    return WaitOutcome::kFailed;
  }
}

}  // namespace

void ensure_socket_startup() {
  // POSIX sockets need no start-up.
}

std::string socket_error_text(const SocketError& error) {
  if (error.domain == SocketError::Domain::kResolver) {
    return ::gai_strerror(error.code);
  }
  return sys::system_text(error.code);
}

bool is_would_block(const SocketError& error) {
  return error.domain == SocketError::Domain::kSocket &&
         (error.code == EAGAIN || error.code == EWOULDBLOCK);
}

bool is_connection_gone(const SocketError& error) {
  if (error.domain != SocketError::Domain::kSocket) return false;
  switch (error.code) {
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
    case ENOTCONN:
    case ESHUTDOWN:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

bool is_transient_send_error(const SocketError& error) {
  return error.domain == SocketError::Domain::kSocket &&
         (error.code == ENOBUFS || error.code == ENOMEM);
}

bool resolve_stream_addresses(const std::string& host,
                              const std::string& service,
                              std::vector<ResolvedAddress>& addresses,
                              SocketError& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int result = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (result != 0) {
    // EAI_SYSTEM leaves the real reason in errno.
    error = result == EAI_SYSTEM
                ? last_error()
                : SocketError{SocketError::Domain::kResolver, result};
    return false;
  }
  if (list == nullptr) {
    error = SocketError{SocketError::Domain::kResolver, EAI_NONAME};
    return false;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(
      list, &::freeaddrinfo);
  copy_resolved(list, addresses);
  return true;
}

SocketHandle create_socket(const ResolvedAddress& address, SocketError& error) {
  const int fd = ::socket(address.family, address.type | SOCK_CLOEXEC, address.protocol);
  if (fd < 0) error = last_error();
  return from_fd(fd);
}

bool set_non_blocking(SocketHandle socket, SocketError& error) {
  const int flags = ::fcntl(to_fd(socket), F_GETFL);
  if (flags < 0 || ::fcntl(to_fd(socket), F_SETFL, flags | O_NONBLOCK) < 0) {
    error = last_error();
    return false;
  }
  return true;
}

ConnectStart start_connect(SocketHandle socket, const ResolvedAddress& address,
                           SocketError& error) {
  sockaddr_storage storage;
  const socklen_t length = socket_address(address, storage);
  if (::connect(to_fd(socket), reinterpret_cast<const sockaddr*>(&storage),
                length) == 0) {
    return ConnectStart::kConnected;
  }
  // An interrupted connect goes on in the background, like one in progress;
  // calling connect() again would only answer EALREADY.
  if (errno == EINPROGRESS || errno == EINTR) return ConnectStart::kInProgress;
  error = last_error();
  return ConnectStart::kFailed;
}

WaitOutcome wait_connect_done(SocketHandle socket,
                              std::chrono::milliseconds timeout,
                              SocketError& error) {
  // A refused connect shows as POLLERR/POLLHUP (with POLLOUT on Linux);
  // poll_until treats all of them as ready.
  return poll_until(to_fd(socket), POLLOUT, timeout, error);
}

SocketError pending_error(SocketHandle socket) {
  int code = 0;
  socklen_t length = sizeof code;
  if (::getsockopt(to_fd(socket), SOL_SOCKET, SO_ERROR, &code, &length) != 0) {
    return last_error();
  }
  return SocketError{SocketError::Domain::kSocket, code};
}

WaitOutcome wait_readable(SocketHandle socket, std::chrono::milliseconds timeout,
                          SocketError& error) {
  return poll_until(to_fd(socket), POLLIN, timeout, error);
}

TransferResult receive_some(SocketHandle socket, std::span<std::uint8_t> buffer) {
  const std::size_t length = std::min<std::size_t>(buffer.size(), INT_MAX);
  for (;;) {
    const ssize_t received = ::recv(to_fd(socket), buffer.data(), length, 0);
    if (received >= 0) return TransferResult{true, static_cast<std::size_t>(received), {}};
    if (errno != EINTR) return TransferResult{false, 0, last_error()};
  }
}

TransferResult send_some(SocketHandle socket, std::span<const std::uint8_t> data) {
  const std::size_t length = std::min<std::size_t>(data.size(), INT_MAX);
  for (;;) {
    const ssize_t sent = ::send(to_fd(socket), data.data(), length, MSG_NOSIGNAL);
    if (sent >= 0) return TransferResult{true, static_cast<std::size_t>(sent), {}};
    if (errno != EINTR) return TransferResult{false, 0, last_error()};
  }
}

void set_no_delay(SocketHandle socket) {
  set_int_option(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

void shutdown_both(SocketHandle socket) { ::shutdown(to_fd(socket), SHUT_RDWR); }

void shutdown_send(SocketHandle socket) { ::shutdown(to_fd(socket), SHUT_WR); }

bool send_side_acknowledged(SocketHandle socket) {
  // The send queue's count (TIOCOUTQ, Linux and the BSDs) includes bytes
  // sent but not yet acknowledged, and the end of the stream takes one
  // sequence number too: 0 after shutdown_send() means all of it arrived.
  int unacknowledged = 0;
  return ::ioctl(to_fd(socket), TIOCOUTQ, &unacknowledged) == 0 &&
         unacknowledged == 0;
}

void close_socket(SocketHandle socket) {
  // Not retried on EINTR: Linux releases the descriptor even then, and a
  // second close could hit a descriptor another thread has just opened.
  ::close(to_fd(socket));
}

bool set_blocking(SocketHandle socket, SocketError& error) {
  const int flags = ::fcntl(to_fd(socket), F_GETFL);
  if (flags < 0 || ::fcntl(to_fd(socket), F_SETFL, flags & ~O_NONBLOCK) < 0) {
    error = last_error();
    return false;
  }
  return true;
}

void set_receive_buffer(SocketHandle socket, int bytes) {
  set_int_option(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

void set_send_buffer(SocketHandle socket, int bytes) {
  set_int_option(socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

void set_send_timeout(SocketHandle socket, int timeout_ms) {
  timeval limit{};
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_usec = (timeout_ms % 1000) * 1000;
  ::setsockopt(to_fd(socket), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void set_linger_zero(SocketHandle socket) {
  linger option{};
  option.l_onoff = 1;
  option.l_linger = 0;
  ::setsockopt(to_fd(socket), SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

bool bind_and_listen(SocketHandle socket, const ResolvedAddress& address,
                     int backlog, SocketError& error) {
  set_int_option(socket, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_storage storage;
  const socklen_t length = socket_address(address, storage);
  if (::bind(to_fd(socket), reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
      ::listen(to_fd(socket), backlog) != 0) {
    error = last_error();
    return false;
  }
  return true;
}

std::uint16_t local_port(SocketHandle socket) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(to_fd(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return 0;
  }
  if (storage.ss_family == AF_INET) {
    sockaddr_in address{};
    std::memcpy(&address, &storage, sizeof address);
    return ntohs(address.sin_port);
  }
  if (storage.ss_family == AF_INET6) {
    sockaddr_in6 address{};
    std::memcpy(&address, &storage, sizeof address);
    return ntohs(address.sin6_port);
  }
  return 0;
}

SocketHandle accept_connection(SocketHandle socket, SocketError& error) {
  for (;;) {
    const int fd = ::accept4(to_fd(socket), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return from_fd(fd);
    if (errno != EINTR) break;
  }
  error = last_error();
  return kInvalidSocket;
}

}  // namespace quorvex::net
