#include "tests/support/unanswered_listener.h"

#include <utility>

namespace quorvex::test {
namespace {

// How long one filling connection may take before the queue counts as
// full, and how many fillers are tried before giving up.
constexpr int kFillerWaitMs = 300;
constexpr std::size_t kMostFillers = 16;

}  // namespace

UnansweredListener::UnansweredListener(const std::string& address,
                                       std::uint16_t port) {
  std::string error;
  listener_ = net::TcpListener::open(address, port, 0, error);
  if (!listener_) {
    reason_ = error;  // "cannot listen on ADDRESS:PORT: REASON"
    return;
  }
  while (fillers_.size() < kMostFillers) {
    std::optional<net::TcpStream> filler =
        net::TcpStream::connect(address, listener_->port(), error, kFillerWaitMs);
    if (!filler) {
      ok_ = error.find("timed out") != std::string::npos;
      if (!ok_) reason_ = "filling the accept queue failed: " + error;
      return;
    }
    fillers_.push_back(std::move(*filler));
  }
  reason_ =
      "a listener here answers every connection even with a full accept queue";
}

}  // namespace quorvex::test
