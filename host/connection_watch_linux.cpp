// The process's own TCP connections on Linux: the socket descriptors listed
// in /proc/self/fd, asked directly for their state and far end. The
// system-wide tables (/proc/net/tcp, sock_diag) would cost in proportion to
// every socket of the machine; this costs in proportion to the process's
// own descriptors, a handful here.

#include "host/connection_watch.h"

#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace quorvex::host {
namespace {

struct CloseDirectory {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// The address and port of an IPv4 or IPv6 socket address; false for any
// other family.
bool split_address(const sockaddr* address, IpAddress& ip,
                   std::uint16_t& port) {
  ip = {};
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    ip[10] = 0xFF;
    ip[11] = 0xFF;
    std::memcpy(ip.data() + 12, &v4->sin_addr, 4);
    port = ntohs(v4->sin_port);
    return true;
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    std::memcpy(ip.data(), &v6->sin6_addr, ip.size());
    port = ntohs(v6->sin6_port);
    return true;
  }
  return false;
}

}  // namespace

bool resolve_host_addresses(const std::string& host,
                            std::vector<IpAddress>& addresses,
                            std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (result != 0) {
    // EAI_SYSTEM leaves the real reason in errno.
    error = result == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(result);
    return false;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(
      list, &::freeaddrinfo);
  addresses.clear();
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    IpAddress ip;
    std::uint16_t unused_port = 0;
    if (split_address(entry->ai_addr, ip, unused_port)) addresses.push_back(ip);
  }
  if (addresses.empty()) {
    error = ::gai_strerror(EAI_NONAME);
    return false;
  }
  return true;
}

ConnectionId find_own_connection(std::span<const IpAddress> addresses,
                                 std::uint16_t port) {
  const std::unique_ptr<DIR, CloseDirectory> dir(::opendir("/proc/self/fd"));
  if (!dir) return 0;
  const int own = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    char* end = nullptr;
    const long number = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || number == own) continue;
    // Another thread may close this descriptor, and the number may be
    // reused, while it is looked at: every call below only reads, and a
    // wrong answer lasts until the next look.
    const int fd = static_cast<int>(number);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) continue;
    // Fails for sockets that are not TCP.
    tcp_info info{};
    socklen_t info_size = sizeof(info);
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &info_size) != 0 ||
        info.tcpi_state != TCP_ESTABLISHED) {
      continue;
    }
    sockaddr_storage peer{};
    socklen_t peer_size = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0) {
      continue;
    }
    IpAddress remote;
    std::uint16_t remote_port = 0;
    if (!split_address(reinterpret_cast<const sockaddr*>(&peer), remote,
                       remote_port) ||
        remote_port != port ||
        std::find(addresses.begin(), addresses.end(), remote) ==
            addresses.end()) {
      continue;
    }
    return static_cast<ConnectionId>(status.st_ino);
  }
  return 0;
}

}  // namespace quorvex::host
