// TcpStream's platform calls on Winsock.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

#include "tools/net/tcp_stream_platform.h"

namespace quorvex::net::stream_platform {
namespace {

SOCKET to_socket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

SocketError last_error() {
  return SocketError{SocketError::Domain::kSocket, ::WSAGetLastError()};
}

void set_int_option(SocketHandle socket, int level, int name, int value) {
  ::setsockopt(to_socket(socket), level, name,
               reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

bool set_blocking(SocketHandle socket, SocketError& error) {
  u_long enable = 0;
  if (::ioctlsocket(to_socket(socket), FIONBIO, &enable) != 0) {
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

void shutdown_send(SocketHandle socket) { ::shutdown(to_socket(socket), SD_SEND); }

void set_send_timeout(SocketHandle socket, int timeout_ms) {
  const DWORD limit = static_cast<DWORD>(timeout_ms);
  ::setsockopt(to_socket(socket), SOL_SOCKET, SO_SNDTIMEO,
               reinterpret_cast<const char*>(&limit), sizeof limit);
}

void set_linger_zero(SocketHandle socket) {
  linger option{};
  option.l_onoff = 1;
  option.l_linger = 0;
  ::setsockopt(to_socket(socket), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&option), sizeof option);
}

bool bind_and_listen(SocketHandle socket, const ResolvedAddress& address,
                     int backlog, SocketError& error) {
  // No SO_REUSEADDR: on Windows it would let another socket steal the port.
  sockaddr_storage storage{};
  const std::size_t length = std::min(address.address.size(), sizeof storage);
  std::memcpy(&storage, address.address.data(), length);
  if (::bind(to_socket(socket), reinterpret_cast<const sockaddr*>(&storage),
             static_cast<int>(length)) != 0 ||
      ::listen(to_socket(socket), backlog) != 0) {
    error = last_error();
    return false;
  }
  return true;
}

std::uint16_t local_port(SocketHandle socket) {
  sockaddr_storage storage{};
  int length = sizeof storage;
  if (::getsockname(to_socket(socket), reinterpret_cast<sockaddr*>(&storage),
                    &length) != 0) {
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
  const SOCKET accepted = ::accept(to_socket(socket), nullptr, nullptr);
  const auto handle = static_cast<SocketHandle>(accepted);
  if (handle == kInvalidSocket) {
    error = last_error();
    return kInvalidSocket;
  }
  // A socket accepted from a non-blocking listener inherits that mode.
  SocketError ignored;
  set_blocking(handle, ignored);
  return handle;
}

}  // namespace quorvex::net::stream_platform
