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
#include <memory>

#include "sys/error_text.h"

namespace quorvex::host {
namespace {

constexpr DWORD kUnknownOwner = 0;
// Tries to read a table that keeps growing between the size query and the
// read.
constexpr int kTableReadAttempts = 4;

bool start_sockets() {
  // Once per process, never cleaned up: the extension uses Winsock as well.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

IpAddress mapped_v4(const void* address) {
  IpAddress ip{};
  ip[10] = 0xFF;
  ip[11] = 0xFF;
  std::memcpy(ip.data() + 12, address, 4);
  return ip;
}

bool is_v4(const IpAddress& ip) {
  static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0,
                                               0, 0, 0, 0, 0xFF, 0xFF};
  return std::equal(std::begin(kPrefix), std::end(kPrefix), ip.begin());
}

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

// The ids of the two families differ in their top bits; the local port
// tells this process's connections to one server apart.
constexpr ConnectionId kV6Id = ConnectionId{1} << 32;

}  // namespace

bool resolve_host_addresses(const std::string& host,
                            std::vector<IpAddress>& addresses,
                            std::string& error) {
  if (!start_sockets()) {
    error = sys::error_text(static_cast<unsigned long>(::WSAGetLastError()));
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (result != 0) {
    // The resolver's result is a Winsock error code.
    error = sys::error_text(static_cast<unsigned long>(result));
    return false;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(
      list, &::freeaddrinfo);
  addresses.clear();
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) {
      addresses.push_back(mapped_v4(
          &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr));
    } else if (entry->ai_family == AF_INET6) {
      IpAddress ip;
      std::memcpy(
          ip.data(),
          &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr,
          ip.size());
      addresses.push_back(ip);
    }
  }
  if (addresses.empty()) {
    error = sys::error_text(WSAHOST_NOT_FOUND);
    return false;
  }
  return true;
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
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(
        buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = table->table[i];
      if (row.dwState == MIB_TCP_STATE_ESTAB && owned_here(row.dwOwningPid) &&
          row_port(row.dwRemotePort) == port &&
          wanted(addresses, mapped_v4(&row.dwRemoteAddr))) {
        return ConnectionId{row_port(row.dwLocalPort)};
      }
    }
  }
  if (any_v6) {
    if (!read_table(AF_INET6, buffer, error)) return std::nullopt;
    const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(
        buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
      IpAddress remote;
      std::memcpy(remote.data(), row.ucRemoteAddr, remote.size());
      if (row.dwState == MIB_TCP_STATE_ESTAB && owned_here(row.dwOwningPid) &&
          row_port(row.dwRemotePort) == port && wanted(addresses, remote)) {
        return kV6Id | row_port(row.dwLocalPort);
      }
    }
  }
  return ConnectionId{0};
}

}  // namespace quorvex::host
