// The platform's socket handle as it crosses the neutral headers: a file
// descriptor on POSIX, a SOCKET on Windows, both carried in an unsigned
// integer wide enough for either.

#ifndef QUORVEX_NET_SOCKET_HANDLE_H_
#define QUORVEX_NET_SOCKET_HANDLE_H_

#include <cstdint>

namespace quorvex::net {

using SocketHandle = std::uintptr_t;

// No socket: all bits set (INVALID_SOCKET on Windows, -1 on POSIX).
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// Makes sure the platform's socket library is started (once per process;
// nothing to do on POSIX). Safe from any thread.
void ensure_socket_startup();

}  // namespace quorvex::net

#endif  // QUORVEX_NET_SOCKET_HANDLE_H_
