// The few platform calls that TcpStream and TcpListener need beyond the
// neutral socket primitives: implemented in tools/net/tcp_stream_posix.cpp and
// tools/net/tcp_stream_windows.cpp. Internal to those classes.

#ifndef QUORVEX_TOOLS_NET_TCP_STREAM_PLATFORM_H_
#define QUORVEX_TOOLS_NET_TCP_STREAM_PLATFORM_H_

#include <cstdint>

#include "net/socket_handle.h"
#include "net/socket_ops.h"

namespace quorvex::net::stream_platform {

// Switches `socket` back to blocking mode.
bool set_blocking(SocketHandle socket, SocketError& error);

// SO_RCVBUF / SO_SNDBUF; failure is ignored.
void set_receive_buffer(SocketHandle socket, int bytes);
void set_send_buffer(SocketHandle socket, int bytes);

// Ends the sending direction only; failure is ignored.
void shutdown_send(SocketHandle socket);

// SO_SNDTIMEO: a blocking send that moves nothing for `timeout_ms` fails.
void set_send_timeout(SocketHandle socket, int timeout_ms);

// SO_LINGER on with a zero time, so that closing sends a reset.
void set_linger_zero(SocketHandle socket);

// Binds the fresh `socket` to `address` and listens with `backlog`.
bool bind_and_listen(SocketHandle socket, const ResolvedAddress& address,
                     int backlog, SocketError& error);

// The local port `socket` is bound to; 0 when it cannot be read.
std::uint16_t local_port(SocketHandle socket);

// Accepts one connection from the listening `socket` (which is ready), as
// a blocking socket; kInvalidSocket with the reason in `error` on failure.
SocketHandle accept_connection(SocketHandle socket, SocketError& error);

}  // namespace quorvex::net::stream_platform

#endif  // QUORVEX_TOOLS_NET_TCP_STREAM_PLATFORM_H_
