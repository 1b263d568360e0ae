// TcpStream's platform calls on POSIX sockets.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/net/tcp_stream_platform.h"

namespace quorvex::net::stream_platform {
namespace {

int to_fd(SocketHandle socket) { return static_cast<int>(socket); }

SocketError last_error() { return SocketError{SocketError::Domain::kSocket, errno}; }

void set_int_option(SocketHandle socket, int level, int name, int value) {
  ::setsockopt(to_fd(socket), level, name, &value, sizeof value);
}

}  // namespace

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

void shutdown_send(SocketHandle socket) { ::shutdown(to_fd(socket), SHUT_WR); }

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
  // A fixed port can be bound again at once after a previous run.
  set_int_option(socket, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_storage storage{};
  const std::size_t length = std::min(address.address.size(), sizeof storage);
  std::memcpy(&storage, address.address.data(), length);
  if (::bind(to_fd(socket), reinterpret_cast<const sockaddr*>(&storage),
             static_cast<socklen_t>(length)) != 0 ||
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
    if (fd >= 0) return static_cast<SocketHandle>(fd);
    if (errno != EINTR) break;
  }
  error = last_error();
  return kInvalidSocket;
}

}  // namespace quorvex::net::stream_platform
