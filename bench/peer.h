// The far end of the line for the benchmark: loopback TCP servers that run
// on their own threads inside the benchmark process, built on the plain
// blocking sockets of tools/net/tcp_stream.h.
//
// A handler serves one accepted connection. It runs on a peer thread, gets
// a receive buffer that the peer allocated beforehand, and returns when
// the connection ends or `stop` is set; it must not wait longer than about
// 100 ms without looking at `stop`.

#ifndef QUORVEX_BENCH_PEER_H_
#define QUORVEX_BENCH_PEER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "tools/net/tcp_stream.h"

namespace quorvex::bench {

using PeerHandler = std::function<void(
    net::TcpStream& stream, std::span<std::uint8_t> buffer,
    const std::atomic<bool>& stop)>;

// The longest a handler waits in one receive before it looks at `stop`.
inline constexpr int kPeerPollMs = 100;

// Serves connections one after the other on one thread.
class Peer {
 public:
  // Listens on 127.0.0.1 on a free port. Throws std::runtime_error when it
  // cannot.
  explicit Peer(PeerHandler handler);
  // Stops accepting, waits for the handler to return and joins.
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  std::uint16_t port() const { return port_; }
  std::size_t accepted() const { return accepted_.load(); }

 private:
  void run(net::TcpListener listener);

  PeerHandler handler_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};          // written by the destructor
  std::atomic<std::size_t> accepted_{0};   // written by the peer thread
  std::thread thread_;
};

// Serves up to `connections` connections at once: one thread accepts, and
// each connection is handed to a worker thread started (with its buffer)
// before the constructor returns, so that the peer's own memory is in place
// before the endpoints' is measured.
class MultiPeer {
 public:
  MultiPeer(std::size_t connections, PeerHandler handler);
  ~MultiPeer();
  MultiPeer(const MultiPeer&) = delete;
  MultiPeer& operator=(const MultiPeer&) = delete;

  std::uint16_t port() const { return port_; }
  std::size_t accepted() const { return accepted_.load(); }

 private:
  void accept_loop(net::TcpListener listener);
  void worker();

  PeerHandler handler_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> accepted_{0};

  std::mutex lock_;
  std::condition_variable wake_;
  // State below is protected by lock_.
  std::deque<net::TcpStream> waiting_;  // accepted, not yet taken by a worker
  std::size_t workers_ready_ = 0;

  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// Sends back whatever arrives.
void echo(net::TcpStream& stream, std::span<std::uint8_t> buffer,
          const std::atomic<bool>& stop);
// Receives and discards until the connection ends.
void hold(net::TcpStream& stream, std::span<std::uint8_t> buffer,
          const std::atomic<bool>& stop);

}  // namespace quorvex::bench

#endif  // QUORVEX_BENCH_PEER_H_
