// The socket primitives on Windows Sockets 2.
//
// Winsock must be started once per process before the first call; the
// start-up object lives until the module is unloaded, when its destructor
// runs WSACleanup. Errors come from WSAGetLastError() right after the
// failing call; socket_error_text() turns them into the system's text
// (sys::system_text()).

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "net/socket_handle.h"
#include "net/socket_ops.h"
#include "sys/error_text.h"

namespace quorvex::net {
namespace {

static_assert(sizeof(SOCKET) == sizeof(SocketHandle),
              "a SOCKET must travel in a SocketHandle unchanged");

SOCKET to_socket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

SocketError last_error() {
  return SocketError{SocketError::Domain::kSocket, ::WSAGetLastError()};
}

// Copies `address` into `storage`; the length to hand to the system.
int socket_address(const ResolvedAddress& address, sockaddr_storage& storage) {
  storage = sockaddr_storage{};
  const std::size_t length = std::min(address.address.size(), sizeof storage);
  std::memcpy(&storage, address.address.data(), length);
  return static_cast<int>(length);
}

void set_int_option(SocketHandle socket, int level, int name, int value) {
  ::setsockopt(to_socket(socket), level, name,
               reinterpret_cast<const char*>(&value), sizeof value);
}

// Starts Winsock 2.2 on construction and cleans it up when the module is
// unloaded (static destructors of a DLL run then). The start-up result is
// not checked: if it failed, every later socket call fails with a reason.
class WinsockStartup {
 public:
  WinsockStartup() {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockStartup() { ::WSACleanup(); }
  WinsockStartup(const WinsockStartup&) = delete;
  WinsockStartup& operator=(const WinsockStartup&) = delete;
};

// An fd_set holding just `socket`.
fd_set single_set(SocketHandle socket) {
  fd_set set{};
  set.fd_count = 1;
  set.fd_array[0] = to_socket(socket);
  return set;
}

// A select() time limit; waits beyond the range of its seconds are cut.
timeval time_limit(std::chrono::milliseconds timeout) {
  using std::chrono::milliseconds;
  const auto bounded =
      std::clamp(timeout, milliseconds::zero(), milliseconds{std::int64_t{LONG_MAX} * 1000});
  const auto seconds = std::chrono::floor<std::chrono::seconds>(bounded);
  timeval limit{};
  limit.tv_sec = static_cast<long>(seconds.count());
  limit.tv_usec = static_cast<long>(
      std::chrono::microseconds(bounded - seconds).count());
  return limit;
}

// SIO_TCP_INFO and what it fills for version 0 (TCP_INFO_v0, whose state
// counts CLOSED 0 ... FIN_WAIT_2 6 ... TIME_WAIT 10); the system's headers
// declare them only for builds aimed at Windows 10 1703 and later.
constexpr DWORD kSioTcpInfo = _WSAIORW(IOC_VENDOR, 39);
constexpr ULONG kTcpStateClosed = 0;
constexpr ULONG kTcpStateFinWait2 = 6;
constexpr ULONG kTcpStateTimeWait = 10;
struct TcpInfoVersion0 {
  ULONG State;
  ULONG Mss;
  ULONG64 ConnectionTimeMs;
  BOOLEAN TimestampsEnabled;
  ULONG RttUs;
  ULONG MinRttUs;
  ULONG BytesInFlight;
  ULONG Cwnd;
  ULONG SndWnd;
  ULONG RcvWnd;
  ULONG RcvBuf;
  ULONG64 BytesOut;
  ULONG64 BytesIn;
  ULONG BytesReordered;
  ULONG BytesRetrans;
  ULONG FastRetrans;
  ULONG DupAcksIn;
  ULONG TimeoutEpisodes;
  UCHAR SynRetrans;
};

}  // namespace

void ensure_socket_startup() {
  // Thread-safe one-time construction.
  static WinsockStartup winsock_startup;
}

std::string socket_error_text(const SocketError& error) {
  // The resolver reports Winsock codes too, so both domains share the
  // system's message table.
  return sys::system_text(error.code);
}

bool is_would_block(const SocketError& error) {
  return error.code == WSAEWOULDBLOCK;
}

bool is_connection_gone(const SocketError& error) {
  switch (error.code) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
    case WSAETIMEDOUT:
      return true;
    default:
      return false;
  }
}

bool is_transient_send_error(const SocketError& error) {
  return error.code == WSAENOBUFS;
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
    error = SocketError{SocketError::Domain::kResolver, result};
    return false;
  }
  if (list == nullptr) {
    // Success without an address leaves no error to collect: report the
    // resolver's "no such name", as on POSIX.
    error = SocketError{SocketError::Domain::kResolver, EAI_NONAME};
    return false;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(
      list, &::freeaddrinfo);
  copy_resolved(list, addresses);
  return true;
}

SocketHandle create_socket(const ResolvedAddress& address, SocketError& error) {
  const SOCKET socket = ::socket(address.family, address.type, address.protocol);
  const auto handle = static_cast<SocketHandle>(socket);
  if (handle == kInvalidSocket) {
    error = last_error();
    return handle;
  }
  if (address.family == AF_INET6) {
    // Windows makes IPv6 sockets IPv6-only; an IPv4-mapped address
    // (::ffff:a.b.c.d) is reached through IPv4 only by a dual-stack one,
    // as it is on Linux by default.
    DWORD v6_only = 0;
    ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY,
                 reinterpret_cast<const char*>(&v6_only), sizeof v6_only);
  }
  return handle;
}

bool set_non_blocking(SocketHandle socket, SocketError& error) {
  u_long enable = 1;
  if (::ioctlsocket(to_socket(socket), FIONBIO, &enable) != 0) {
    error = last_error();
    return false;
  }
  return true;
}

ConnectStart start_connect(SocketHandle socket, const ResolvedAddress& address,
                           SocketError& error) {
  sockaddr_storage storage;
  const int length = socket_address(address, storage);
  if (::connect(to_socket(socket), reinterpret_cast<const sockaddr*>(&storage),
                length) == 0) {
    return ConnectStart::kConnected;
  }
  error = last_error();
  return error.code == WSAEWOULDBLOCK ? ConnectStart::kInProgress
                                      : ConnectStart::kFailed;
}

WaitOutcome wait_connect_done(SocketHandle socket,
                              std::chrono::milliseconds timeout,
                              SocketError& error) {
  // Success shows as writability, failure only in the exception set.
  fd_set writable = single_set(socket);
  fd_set failed = single_set(socket);
  timeval limit = time_limit(timeout);
  const int ready = ::select(0, nullptr, &writable, &failed, &limit);
  if (ready == SOCKET_ERROR) {
    error = last_error();
    return WaitOutcome::kFailed;
  }
  return ready == 0 ? WaitOutcome::kTimedOut : WaitOutcome::kReady;
}

SocketError pending_error(SocketHandle socket) {
  int code = 0;
  int length = sizeof code;
  if (::getsockopt(to_socket(socket), SOL_SOCKET, SO_ERROR,
                   reinterpret_cast<char*>(&code), &length) != 0) {
    return last_error();
  }
  return SocketError{SocketError::Domain::kSocket, code};
}

WaitOutcome wait_readable(SocketHandle socket, std::chrono::milliseconds timeout,
                          SocketError& error) {
  fd_set readable = single_set(socket);
  timeval limit = time_limit(timeout);
  const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
  if (ready == SOCKET_ERROR) {
    error = last_error();
    return WaitOutcome::kFailed;
  }
  return ready == 0 ? WaitOutcome::kTimedOut : WaitOutcome::kReady;
}

TransferResult receive_some(SocketHandle socket, std::span<std::uint8_t> buffer) {
  const int length = static_cast<int>(std::min<std::size_t>(buffer.size(), INT_MAX));
  const int received =
      ::recv(to_socket(socket), reinterpret_cast<char*>(buffer.data()), length, 0);
  if (received == SOCKET_ERROR) return TransferResult{false, 0, last_error()};
  return TransferResult{true, static_cast<std::size_t>(received), {}};
}

TransferResult send_some(SocketHandle socket, std::span<const std::uint8_t> data) {
  const int length = static_cast<int>(std::min<std::size_t>(data.size(), INT_MAX));
  const int sent = ::send(to_socket(socket),
                          reinterpret_cast<const char*>(data.data()), length, 0);
  if (sent == SOCKET_ERROR) return TransferResult{false, 0, last_error()};
  return TransferResult{true, static_cast<std::size_t>(sent), {}};
}

void set_no_delay(SocketHandle socket) {
  set_int_option(socket, IPPROTO_TCP, TCP_NODELAY, 1);
}

void shutdown_both(SocketHandle socket) { ::shutdown(to_socket(socket), SD_BOTH); }

void shutdown_send(SocketHandle socket) { ::shutdown(to_socket(socket), SD_SEND); }

bool send_side_acknowledged(SocketHandle socket) {
  // Once the far end has acknowledged the end of the stream the connection
  // is in FIN_WAIT_2 (or later); that end follows every byte sent. Systems
  // without SIO_TCP_INFO (before Windows 10 1703, and Wine) cannot tell.
  DWORD version = 0;
  TcpInfoVersion0 info{};
  DWORD returned = 0;
  if (::WSAIoctl(to_socket(socket), kSioTcpInfo, &version, sizeof version, &info,
                 sizeof info, &returned, nullptr, nullptr) != 0) {
    return false;
  }
  return info.State == kTcpStateFinWait2 || info.State == kTcpStateTimeWait ||
         info.State == kTcpStateClosed;
}

void close_socket(SocketHandle socket) { ::closesocket(to_socket(socket)); }

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
  sockaddr_storage storage;
  const int length = socket_address(address, storage);
  if (::bind(to_socket(socket), reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
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
  const auto handle = static_cast<SocketHandle>(::accept(to_socket(socket), nullptr, nullptr));
  if (handle == kInvalidSocket) {
    error = last_error();
    return kInvalidSocket;
  }
  // A socket accepted from a non-blocking listener inherits that mode.
  SocketError ignored;
  set_blocking(handle, ignored);
  return handle;
}

}  // namespace quorvex::net
