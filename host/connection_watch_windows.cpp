// The process's own TCP connections on Windows: the system's connection
// table (GetExtendedTcpTable), each row with the process that owns it.
// Windows offers no list of one process's sockets, so the whole table is
// read, one family at a time and only for the families the name resolved
// to.
//
// Wine 8 fills the table but gives every row the owner 0 ("unknown"). A
// row with an unknown owner is taken as this process's own when it goes to
// the watched address and port: another process connected to the same
// server at the same time would then be mistaken for this one.

#include "host/connection_watch.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>

#include "sys/error_text.h"

namespace quorvex::host {
namespace {

constexpr DWORD kUnknownOwner = 0;
// Tries to read a table that keeps growing between the size query and the
// read.
constexpr int kTableReadAttempts = 4;

std::uint16_t row_port(DWORD port) {
  return ntohs(static_cast<u_short>(port & 0xFFFF));
}

// Reads the table of connections (listeners left out) of `family` into
// `buffer`, whose DWORDs keep the rows aligned; false with the reason in
// `error` when the system cannot give it.
bool read_table(ULONG family, std::vector<DWORD>& buffer, std::string& error) {
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < kTableReadAttempts; ++attempt) {
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
    result = ::GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(),
                                   &size, FALSE, family,
                                   TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    if (result == NO_ERROR) return true;
    if (result != ERROR_INSUFFICIENT_BUFFER) break;
    // Room for a few more rows than asked, as the table may grow.
    buffer.resize(size / sizeof(DWORD) + 64);
  }
  error = "the TCP table: " + sys::error_text(result);
  return false;
}

bool owned_here(DWORD owner) {
  return owner == ::GetCurrentProcessId() || owner == kUnknownOwner;
}

bool wanted(std::span<const IpAddress> addresses, const IpAddress& remote) {
  return std::find(addresses.begin(), addresses.end(), remote) !=
         addresses.end();
}

// The local port of the first row in `buffer` (a `Table` as read_table()
// gives it) that is an established connection of this process to one of
// `addresses` at `port`; 0 for none. `remote_of` reads a row's far address.
template <typename Table, typename RemoteOf>
std::uint16_t find_row(const std::vector<DWORD>& buffer,
                       std::span<const IpAddress> addresses,
                       std::uint16_t port, RemoteOf remote_of) {
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const auto& row = table->table[i];
    if (row.dwState == MIB_TCP_STATE_ESTAB && owned_here(row.dwOwningPid) &&
        row_port(row.dwRemotePort) == port &&
        wanted(addresses, remote_of(row))) {
      return row_port(row.dwLocalPort);
    }
  }
  return 0;
}

// The ids of the two families differ in their top bits; the local port
// tells this process's connections to one server apart.
constexpr ConnectionId kV6Id = ConnectionId{1} << 32;

}  // namespace

std::optional<IpAddress> ip_address_of(int family,
                                       std::span<const std::uint8_t> address) {
  if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
    sockaddr_in v4;
    std::memcpy(&v4, address.data(), sizeof(v4));
    return mapped_v4(&v4.sin_addr);
  }
  if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    sockaddr_in6 v6;
    std::memcpy(&v6, address.data(), sizeof(v6));
    IpAddress ip;
    std::memcpy(ip.data(), &v6.sin6_addr, ip.size());
    return ip;
  }
  return std::nullopt;
}

std::optional<ConnectionId> find_own_connection(
    std::span<const IpAddress> addresses, std::uint16_t port,
    std::string& error) {
  // Only the watch's thread calls this; the buffer keeps its size between
  // looks.
  thread_local std::vector<DWORD> buffer;
  const bool any_v4 = std::any_of(addresses.begin(), addresses.end(), is_v4);
  const bool any_v6 = !std::all_of(addresses.begin(), addresses.end(), is_v4);
  if (any_v4) {
    if (!read_table(AF_INET, buffer, error)) return std::nullopt;
    const std::uint16_t local = find_row<MIB_TCPTABLE_OWNER_PID>(
        buffer, addresses, port, [](const MIB_TCPROW_OWNER_PID& row) {
          return mapped_v4(&row.dwRemoteAddr);
        });
    if (local != 0) return ConnectionId{local};
  }
  if (any_v6) {
    if (!read_table(AF_INET6, buffer, error)) return std::nullopt;
    const std::uint16_t local = find_row<MIB_TCP6TABLE_OWNER_PID>(
        buffer, addresses, port, [](const MIB_TCP6ROW_OWNER_PID& row) {
          IpAddress remote;
          std::memcpy(remote.data(), row.ucRemoteAddr, remote.size());
          return remote;
        });
    if (local != 0) return kV6Id | local;
  }
  return ConnectionId{0};
}

}  // namespace quorvex::host
