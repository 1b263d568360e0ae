// LoopbackServer: a TCP server on a loopback address for tests. A thread
// accepts every incoming connection and queues it; the test takes the
// connections in order and reads, writes, closes or resets them itself
// through TcpStream.
//
// All operations are for the test's own thread; the accepting thread only
// fills the queue. The destructor stops accepting and closes the listener
// and every connection not yet taken.

#ifndef QUORVEX_TESTS_SUPPORT_LOOPBACK_SERVER_H_
#define QUORVEX_TESTS_SUPPORT_LOOPBACK_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/net/tcp_stream.h"
#include "tests/support/waiting.h"

namespace quorvex::test {

inline constexpr char kLoopbackIpv4[] = "127.0.0.1";
inline constexpr char kLoopbackIpv6[] = "::1";

class LoopbackServer {
 public:
  struct Options {
    std::string address = kLoopbackIpv4;
    int backlog = 16;
    // Above 0: SO_RCVBUF of every accepted connection, set before the
    // handshake (a small one makes a peer that never reads fill up fast).
    int receive_buffer_bytes = 0;
  };

  // Listens on a free port of `options.address` and starts accepting;
  // check ok(), and error() for the reason of a failure.
  explicit LoopbackServer(Options options);
  LoopbackServer() : LoopbackServer(Options{}) {}
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool ok() const { return listening_; }
  const std::string& error() const { return error_; }
  const std::string& address() const { return address_; }
  std::uint16_t port() const { return port_; }

  // Hands over the oldest accepted connection not yet taken, waiting up to
  // `timeout_ms` for one to arrive; nothing if none came.
  std::optional<net::TcpStream> take_connection(int timeout_ms = kPatientWaitMs);
  // How many connections have been accepted so far.
  std::size_t accepted_count() const;
  // Stops accepting and closes the listening socket; later connection
  // attempts are refused. Connections already accepted stay queued.
  void stop();

 private:
  void accept_loop();

  std::string address_;
  std::string error_;
  std::uint16_t port_ = 0;
  bool listening_ = false;
  net::TcpListener listener_;  // used by the accepting thread until joined
  std::atomic<bool> stopping_{false};  // set by stop(), read by the thread
  std::thread acceptor_;

  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable arrived_;
  std::deque<net::TcpStream> pending_;
  std::size_t accepted_ = 0;
};

// Whether a listener can be bound on `address` (e.g. ::1 where IPv6 is
// switched off).
bool can_listen_on(const std::string& address);

// Receives until `count` bytes have arrived, the stream ends or
// `timeout_ms` passes in all; returns what arrived.
std::vector<std::uint8_t> receive_bytes(net::TcpStream& stream,
                                        std::size_t count,
                                        int timeout_ms = kPatientWaitMs);

// Whether the peer closed `stream` (or it failed) within `timeout_ms`,
// discarding any data that arrives first.
bool wait_for_end(net::TcpStream& stream, int timeout_ms = kPatientWaitMs);

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_LOOPBACK_SERVER_H_
