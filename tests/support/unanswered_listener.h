// UnansweredListener: a loopback listener whose accept queue is full, so
// that a new connection request to it stays unanswered (the request is
// dropped and the connecting side waits). Nothing is ever accepted.

#ifndef QUORVEX_TESTS_SUPPORT_UNANSWERED_LISTENER_H_
#define QUORVEX_TESTS_SUPPORT_UNANSWERED_LISTENER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/net/tcp_stream.h"
#include "tests/support/loopback_server.h"

namespace quorvex::test {

class UnansweredListener {
 public:
  // Listens on `port` (0: a free one) of `address` with the smallest
  // backlog and connects to it until a connection attempt times out.
  explicit UnansweredListener(const std::string& address = kLoopbackIpv4,
                              std::uint16_t port = 0);

  // False when no listener could be opened, or when the system answers
  // every connection even with a full queue; reason() says which.
  bool ok() const { return ok_; }
  const std::string& reason() const { return reason_; }
  std::uint16_t port() const { return listener_ ? listener_->port() : 0; }

 private:
  std::optional<net::TcpListener> listener_;
  std::vector<net::TcpStream> fillers_;  // connected, never accepted
  bool ok_ = false;
  std::string reason_;
};

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_UNANSWERED_LISTENER_H_
