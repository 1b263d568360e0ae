#include "bench/peer.h"

#include <stdexcept>
#include <string>
#include <utility>

namespace quorvex::bench {
namespace {

constexpr std::size_t kPeerBufferBytes = 64 * 1024;
constexpr std::size_t kWorkerBufferBytes = 16 * 1024;

net::TcpListener listen_loopback(int backlog) {
  std::string error;
  auto listener = net::TcpListener::open("127.0.0.1", 0, backlog, error);
  if (!listener) throw std::runtime_error(error);  // it names the address
  return std::move(*listener);
}

}  // namespace

Peer::Peer(PeerHandler handler) : handler_(std::move(handler)) {
  net::TcpListener listener = listen_loopback(16);
  port_ = listener.port();
  thread_ = std::thread(&Peer::run, this, std::move(listener));
}

Peer::~Peer() {
  stop_ = true;
  thread_.join();
}

void Peer::run(net::TcpListener listener) {
  std::vector<std::uint8_t> buffer(kPeerBufferBytes);
  while (!stop_) {
    std::optional<net::TcpStream> stream = listener.accept(kPeerPollMs);
    if (!stream) continue;
    ++accepted_;
    stream->set_no_delay();
    handler_(*stream, buffer, stop_);
  }
}

MultiPeer::MultiPeer(std::size_t connections, PeerHandler handler)
    : handler_(std::move(handler)) {
  net::TcpListener listener =
      listen_loopback(static_cast<int>(connections) + 16);
  port_ = listener.port();
  workers_.reserve(connections);
  for (std::size_t i = 0; i < connections; ++i) {
    workers_.emplace_back(&MultiPeer::worker, this);
  }
  {
    std::unique_lock<std::mutex> hold_lock(lock_);
    wake_.wait(hold_lock, [&] { return workers_ready_ == connections; });
  }
  acceptor_ = std::thread(&MultiPeer::accept_loop, this, std::move(listener));
}

MultiPeer::~MultiPeer() {
  {
    std::lock_guard<std::mutex> hold_lock(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
}

void MultiPeer::accept_loop(net::TcpListener listener) {
  while (!stop_ && accepted_ < workers_.size()) {
    std::optional<net::TcpStream> stream = listener.accept(kPeerPollMs);
    if (!stream) continue;
    stream->set_no_delay();
    {
      std::lock_guard<std::mutex> hold_lock(lock_);
      waiting_.push_back(std::move(*stream));
    }
    ++accepted_;
    wake_.notify_one();
  }
}

void MultiPeer::worker() {
  // The buffer is allocated and touched here, before the constructor
  // returns, so it does not count as the endpoints' memory.
  std::vector<std::uint8_t> buffer(kWorkerBufferBytes, 1);
  net::TcpStream stream;
  {
    std::unique_lock<std::mutex> hold_lock(lock_);
    ++workers_ready_;
    wake_.notify_all();
    wake_.wait(hold_lock, [&] { return stop_.load() || !waiting_.empty(); });
    if (waiting_.empty()) return;
    stream = std::move(waiting_.front());
    waiting_.pop_front();
  }
  handler_(stream, buffer, stop_);
}

void echo(net::TcpStream& stream, std::span<std::uint8_t> buffer,
          const std::atomic<bool>& stop) {
  while (!stop) {
    const net::ReceiveResult got = stream.receive(buffer, kPeerPollMs);
    if (got.timed_out) continue;
    if (got.error || got.count == 0) return;
    if (!stream.send_all(buffer.first(got.count))) return;
  }
}

void hold(net::TcpStream& stream, std::span<std::uint8_t> buffer,
          const std::atomic<bool>& stop) {
  while (!stop) {
    const net::ReceiveResult got = stream.receive(buffer, kPeerPollMs);
    if (got.timed_out) continue;
    if (got.error || got.count == 0) return;
  }
}

}  // namespace quorvex::bench
