// Small neutral socket primitives over the platform's sockets (POSIX
// sockets in net/socket_posix.cpp, Winsock in net/socket_windows.cpp).
// TcpClientSerialPort builds its connect procedure and its error texts on
// these, and the plain blocking sockets of tools/net (tests, peer, bench)
// build on the same ones; nothing here keeps state beyond the one-time
// socket start-up.
//
// Every operation reports failure by value: a SocketError carrying the
// platform's own code (an errno value on POSIX, a Winsock code on Windows),
// which socket_error_text() turns into the system's text. No operation
// throws except for exhausted memory. All are safe from any thread.

#ifndef QUORVEX_NET_SOCKET_OPS_H_
#define QUORVEX_NET_SOCKET_OPS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "net/socket_handle.h"

namespace quorvex::net {

// A platform error code. Resolver failures are their own domain on POSIX
// (EAI_* values); on Windows the resolver reports Winsock codes as well.
struct SocketError {
  enum class Domain : std::uint8_t { kSocket, kResolver };
  Domain domain = Domain::kSocket;
  int code = 0;
};

// The system's text for `error`, unchanged (a trailing line break the
// system adds stays); empty when the system has none (sys::system_text).
// Resolver codes on POSIX get the resolver's own texts. Messages for people
// pass it through sys::error_text(text, code).
std::string socket_error_text(const SocketError& error);

// Whether `error` means "nothing can be done right now" (EAGAIN or
// EWOULDBLOCK on POSIX, WSAEWOULDBLOCK on Windows).
bool is_would_block(const SocketError& error);

// Whether a failed send means only that the system is short of something
// for now (ENOBUFS or ENOMEM on POSIX, WSAENOBUFS on Windows): nothing was
// sent, the connection stands, and the same send may succeed later.
bool is_transient_send_error(const SocketError& error);

// Whether a failed send means the connection is gone for good: the far end
// reset or aborted it, it timed out, or its sending side is shut (EPIPE,
// ECONNRESET, ECONNABORTED, ENOTCONN, ESHUTDOWN, ETIMEDOUT on POSIX, and
// their Winsock forms, with WSAENETRESET).
bool is_connection_gone(const SocketError& error);

// One address from the resolver, copied out of the platform's list.
struct ResolvedAddress {
  int family = 0;
  int type = 0;
  int protocol = 0;
  std::vector<std::uint8_t> address;  // the platform's socket address bytes
};

// Copies a resolver's list (the platform's addrinfo entries) into
// `addresses`, in the resolver's order. Shared by the platform files.
template <typename AddrInfo>
void copy_resolved(const AddrInfo* list, std::vector<ResolvedAddress>& addresses) {
  addresses.clear();
  for (const AddrInfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    ResolvedAddress& address = addresses.emplace_back();
    address.family = entry->ai_family;
    address.type = entry->ai_socktype;
    address.protocol = entry->ai_protocol;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(entry->ai_addr);
    address.address.assign(bytes, bytes + entry->ai_addrlen);
  }
}

// Resolves `host` (a name or a numeric address, IPv6 without brackets) and
// `service` (a decimal port) for stream sockets of either family. On
// success fills `addresses` in the resolver's order and returns true; on
// failure returns false with the reason in `error`. A resolver that answers
// with no address reports the resolver's "no such name" (EAI_NONAME, which
// is WSAHOST_NOT_FOUND on Windows) on both platforms.
bool resolve_stream_addresses(const std::string& host,
                              const std::string& service,
                              std::vector<ResolvedAddress>& addresses,
                              SocketError& error);

// Creates a socket for `address` (close-on-exec where the platform has
// such a flag). kInvalidSocket on failure, with the reason in `error`.
SocketHandle create_socket(const ResolvedAddress& address, SocketError& error);

// Switches `socket` to non-blocking mode for the rest of its life.
bool set_non_blocking(SocketHandle socket, SocketError& error);

enum class ConnectStart { kConnected, kInProgress, kFailed };

// Starts connecting the non-blocking `socket` to `address`.
ConnectStart start_connect(SocketHandle socket, const ResolvedAddress& address,
                           SocketError& error);

enum class WaitOutcome { kReady, kTimedOut, kFailed };

// Waits at most `timeout` (negative counts as 0) for a connection in
// progress to finish, successfully or not: kReady once the socket is
// writable or reports an error condition; the outcome of the connection is
// then pending_error().
WaitOutcome wait_connect_done(SocketHandle socket,
                              std::chrono::milliseconds timeout,
                              SocketError& error);

// The socket's pending error (SO_ERROR); code 0 when there is none.
SocketError pending_error(SocketHandle socket);

// Waits at most `timeout` (negative counts as 0) for `socket` to become
// readable (data, end of stream or an error to collect with receive()).
WaitOutcome wait_readable(SocketHandle socket, std::chrono::milliseconds timeout,
                          SocketError& error);

// Outcome of one receive or send.
struct TransferResult {
  bool ok = false;        // on true, `count` bytes moved (receive: 0 = end)
  std::size_t count = 0;
  SocketError error;      // the reason when `ok` is false
};

// Receives once into `buffer` without waiting on a non-blocking socket.
// At most 2^31 - 1 bytes are taken at once.
TransferResult receive_some(SocketHandle socket, std::span<std::uint8_t> buffer);

// Sends once from `data`; a closed peer yields an error, never a signal.
// At most 2^31 - 1 bytes are handed over at once.
TransferResult send_some(SocketHandle socket,
                         std::span<const std::uint8_t> data);

// Disables Nagle's algorithm; failure is ignored.
void set_no_delay(SocketHandle socket);

// Shuts the connection down in both directions; failure is ignored.
void shutdown_both(SocketHandle socket);

// Ends the sending direction after the bytes already queued; failure is
// ignored.
void shutdown_send(SocketHandle socket);

// Whether the far end has acknowledged every byte sent and the end of the
// stream (after shutdown_send()); false where the system cannot tell.
bool send_side_acknowledged(SocketHandle socket);

// Closes `socket`; failure is ignored.
void close_socket(SocketHandle socket);

// Switches `socket` back to blocking mode.
bool set_blocking(SocketHandle socket, SocketError& error);

// SO_RCVBUF / SO_SNDBUF; failure is ignored.
void set_receive_buffer(SocketHandle socket, int bytes);
void set_send_buffer(SocketHandle socket, int bytes);

// SO_SNDTIMEO: a blocking send that moves nothing for `timeout_ms` fails.
// Failure is ignored.
void set_send_timeout(SocketHandle socket, int timeout_ms);

// SO_LINGER on with a zero time, so that closing sends a reset; failure is
// ignored.
void set_linger_zero(SocketHandle socket);

// Binds the fresh `socket` to `address` and listens with `backlog`. On
// POSIX a fixed port can be bound again at once after a previous run
// (SO_REUSEADDR); Windows goes without, where it would let another socket
// take the port.
bool bind_and_listen(SocketHandle socket, const ResolvedAddress& address,
                     int backlog, SocketError& error);

// The local port `socket` is bound to; 0 when it cannot be read.
std::uint16_t local_port(SocketHandle socket);

// Accepts one connection from the listening `socket` (which is ready) as a
// blocking socket (close-on-exec where the platform has such a flag);
// kInvalidSocket with the reason in `error` on failure.
SocketHandle accept_connection(SocketHandle socket, SocketError& error);

}  // namespace quorvex::net

#endif  // QUORVEX_NET_SOCKET_OPS_H_
