#include "tests/support/loopback_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <utility>

namespace quorvex::test {
namespace {

// How often the accepting thread looks at its stop flag.
constexpr int kAcceptPollMs = 20;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

LoopbackServer::LoopbackServer(Options options)
    : address_(options.address),
      serve_(std::move(options.serve)),
      served_(serve_ ? options.served : 0) {
  std::optional<net::TcpListener> listener =
      net::TcpListener::open(address_, options.port, options.backlog, error_,
                             options.receive_buffer_bytes);
  if (!listener) return;
  listener_ = std::move(*listener);
  port_ = listener_.port();
  listening_ = true;
  if (serve_) server_ = std::thread([this] { serve_loop(); });
  acceptor_ = std::thread([this] { accept_loop(); });
}

LoopbackServer::~LoopbackServer() {
  stop();
  {
    // Under the lock, so that the serving thread cannot miss the wake-up.
    const std::lock_guard<std::mutex> lock(mutex_);
    destroying_.store(true);
  }
  arrived_.notify_all();
  if (server_.joinable()) server_.join();
}

void LoopbackServer::accept_loop() {
  while (!stopping_.load()) {
    std::optional<net::TcpStream> stream = listener_.accept(kAcceptPollMs);
    if (!stream) continue;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      (accepted_ < served_ ? to_serve_ : pending_).push_back(std::move(*stream));
      ++accepted_;
    }
    arrived_.notify_all();
  }
}

void LoopbackServer::serve_loop() {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [this] { return destroying_.load() || !to_serve_.empty(); });
    if (destroying_.load()) return;
    served_streams_.push_back(std::move(to_serve_.front()));
    to_serve_.pop_front();
    lock.unlock();
    serve_(served_streams_.back(), destroying_);
  }
}

std::optional<net::TcpStream> LoopbackServer::take_connection(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [this] { return !pending_.empty(); })) {
    return std::nullopt;
  }
  net::TcpStream stream = std::move(pending_.front());
  pending_.pop_front();
  return stream;
}

std::size_t LoopbackServer::accepted_count() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

void LoopbackServer::stop() {
  stopping_.store(true);
  if (acceptor_.joinable()) acceptor_.join();
  listener_.close();
}

LoopbackServer::Handler close_at_once() {
  return [](net::TcpStream& connection, const std::atomic<bool>&) { connection.close(); };
}

LoopbackServer::Handler reset_at_once() {
  return [](net::TcpStream& connection, const std::atomic<bool>&) { connection.reset(); };
}

LoopbackServer::Handler never_read() {
  return [](net::TcpStream&, const std::atomic<bool>&) {};
}

bool can_listen_on(const std::string& address) {
  std::string error;
  return net::TcpListener::open(address, 0, 1, error).has_value();
}

std::uint16_t refused_port(const std::string& address) {
  std::string error;
  std::optional<net::TcpListener> listener = net::TcpListener::open(address, 0, 1, error);
  EXPECT_TRUE(listener.has_value()) << error;
  return listener ? listener->port() : 0;
}

std::vector<std::uint8_t> receive_bytes(net::TcpStream& stream,
                                        std::size_t count, int timeout_ms) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<std::uint8_t> received(count);
  std::size_t filled = 0;
  while (filled < count) {
    const net::ReceiveResult result = stream.receive(
        std::span<std::uint8_t>(received).subspan(filled), remaining_ms(deadline));
    if (result.count == 0) break;  // timed out, closed or failed
    filled += result.count;
  }
  received.resize(filled);
  return received;
}

bool wait_for_end(net::TcpStream& stream, int timeout_ms) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::uint8_t buffer[4096];
  for (;;) {
    const net::ReceiveResult result = stream.receive(buffer, remaining_ms(deadline));
    if (result.timed_out) return false;
    if (result.count == 0) return true;
  }
}

}  // namespace quorvex::test
