// The process's own TCP connections on Linux: the socket inodes named by
// the links in /proc/self/fd, matched with the kernel's socket diagnostics
// (sock_diag over netlink). The request asks for established TCP sockets
// to the watched port only, and the kernel filters them, so a system with
// a great many sockets sends back a few records, not its whole table as
// /proc/net/tcp would. The descriptors themselves are never touched: the
// extension's threads may close them at any moment.

#include "host/connection_watch.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sys/error_text.h"

namespace quorvex::host {
namespace {

struct CloseDirectory {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Closes a descriptor at the end of its scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// The inodes of the process's sockets, from the links in /proc/self/fd
// ("socket:[INODE]").
std::vector<std::uint32_t> own_socket_inodes() {
  std::vector<std::uint32_t> inodes;
  const std::unique_ptr<DIR, CloseDirectory> dir(::opendir("/proc/self/fd"));
  if (!dir) return inodes;
  constexpr std::string_view kSocket = "socket:[";
  std::string path;
  char target[64];
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    path = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = ::readlink(path.c_str(), target, sizeof(target) - 1);
    if (n <= static_cast<ssize_t>(kSocket.size())) continue;
    target[n] = '\0';
    if (std::string_view(target, kSocket.size()) != kSocket) continue;
    inodes.push_back(static_cast<std::uint32_t>(
        std::strtoul(target + kSocket.size(), nullptr, 10)));
  }
  return inodes;
}

// A dump request for established TCP sockets of one family whose far port
// is `port`: the kernel runs the filter program on each socket (far port
// >= port, then far port <= port; a jump past the end rejects).
struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 request;
  nlattr filter_header;
  inet_diag_bc_op filter[4];
};
static_assert(sizeof(DiagRequest) ==
              sizeof(nlmsghdr) + sizeof(inet_diag_req_v2) + sizeof(nlattr) +
                  4 * sizeof(inet_diag_bc_op));

DiagRequest diag_request(std::uint8_t family, std::uint16_t port) {
  DiagRequest r{};
  r.header.nlmsg_len = sizeof(r);
  r.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  r.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  r.header.nlmsg_seq = 1;
  r.request.sdiag_family = family;
  r.request.sdiag_protocol = IPPROTO_TCP;
  r.request.idiag_states = 1U << TCP_ESTABLISHED;
  r.filter_header.nla_len = sizeof(r.filter_header) + sizeof(r.filter);
  r.filter_header.nla_type = INET_DIAG_REQ_BYTECODE;
  constexpr auto kOpSize = static_cast<unsigned char>(sizeof(inet_diag_bc_op));
  r.filter[0] = {INET_DIAG_BC_D_GE, kOpSize * 2, kOpSize * 5};
  r.filter[1] = {0, 0, port};
  r.filter[2] = {INET_DIAG_BC_D_LE, kOpSize * 2, kOpSize * 3};
  r.filter[3] = {0, 0, port};
  return r;
}

// Asks the kernel for `family`'s matching sockets and looks for one of
// `inodes` going to one of `addresses`. Fills `found` (0: none); false
// with the reason in `error` when the kernel cannot be asked.
bool find_in_family(std::uint8_t family, std::span<const IpAddress> addresses,
                    std::uint16_t port, std::span<const std::uint32_t> inodes,
                    ConnectionId& found, std::string& error) {
  found = 0;
  // One socket for all the looks of the calling thread (the watch's); it
  // is closed after a failure, so that the next look starts clean.
  thread_local Descriptor netlink;
  if (netlink.fd < 0) {
    netlink.fd =
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  }
  const int fd = netlink.fd;
  if (fd < 0) {
    error = sys::error_text(errno);
    return false;
  }
  const auto fail = [&](std::string reason) {
    error = std::move(reason);
    ::close(netlink.fd);
    netlink.fd = -1;
    return false;
  };
  const DiagRequest request = diag_request(family, port);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, &request, sizeof(request), 0,
               reinterpret_cast<const sockaddr*>(&kernel),
               sizeof(kernel)) < 0) {
    return fail(sys::error_text(errno));
  }
  // Aligned for the headers read in place.
  alignas(nlmsghdr) std::byte buffer[16384];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(sys::error_text(errno));
    }
    std::size_t at = 0;
    const auto size = static_cast<std::size_t>(n);
    while (at + sizeof(nlmsghdr) <= size) {
      const auto* header = reinterpret_cast<const nlmsghdr*>(buffer + at);
      if (header->nlmsg_len < sizeof(nlmsghdr) ||
          header->nlmsg_len > size - at) {
        return fail("a malformed answer from the kernel");
      }
      if (header->nlmsg_type == NLMSG_DONE) return true;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* failure = reinterpret_cast<const nlmsgerr*>(
            buffer + at + NLMSG_ALIGN(sizeof(nlmsghdr)));
        return fail(sys::error_text(-failure->error));
      }
      if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
          header->nlmsg_len >=
              NLMSG_ALIGN(sizeof(nlmsghdr)) + sizeof(inet_diag_msg)) {
        const auto* socket = reinterpret_cast<const inet_diag_msg*>(
            buffer + at + NLMSG_ALIGN(sizeof(nlmsghdr)));
        IpAddress remote{};
        if (family == AF_INET) {
          remote = mapped_v4(socket->id.idiag_dst);
        } else {
          std::memcpy(remote.data(), socket->id.idiag_dst, remote.size());
        }
        if (ntohs(socket->id.idiag_dport) == port &&
            std::find(inodes.begin(), inodes.end(), socket->idiag_inode) !=
                inodes.end() &&
            std::find(addresses.begin(), addresses.end(), remote) !=
                addresses.end()) {
          // The rest of the answer is still read: the socket is reused.
          found = socket->idiag_inode;
        }
      }
      at += NLMSG_ALIGN(header->nlmsg_len);
    }
  }
}

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
  const std::vector<std::uint32_t> inodes = own_socket_inodes();
  if (inodes.empty()) return ConnectionId{0};
  const bool any_v4 = std::any_of(addresses.begin(), addresses.end(), is_v4);
  const bool any_v6 = !std::all_of(addresses.begin(), addresses.end(), is_v4);
  ConnectionId found = 0;
  if (any_v4 &&
      !find_in_family(AF_INET, addresses, port, inodes, found, error)) {
    return std::nullopt;
  }
  if (found == 0 && any_v6 &&
      !find_in_family(AF_INET6, addresses, port, inodes, found, error)) {
    return std::nullopt;
  }
  return found;
}

}  // namespace quorvex::host
