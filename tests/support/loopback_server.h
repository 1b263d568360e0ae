// LoopbackServer: the tests' TCP server on a loopback address. A thread
// accepts every incoming connection. By default it queues each one and the
// test takes the connections in order and reads, writes, closes or resets
// them itself through TcpStream. With a handler the server serves them
// itself instead: a second thread hands each connection, in the order they
// came, to the handler (ready-made ones below and in bridge_driver.h).
//
// take_connection(), accepted_count() and stop() are for the test's own
// thread. The destructor stops accepting, tells the handler to stop, waits
// for it and closes the listener and every connection it still holds.

#ifndef QUORVEX_TESTS_SUPPORT_LOOPBACK_SERVER_H_
#define QUORVEX_TESTS_SUPPORT_LOOPBACK_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
  // Serves one connection on the server's serving thread; `stopping` turns
  // true when the server is being destroyed, and a handler that loops must
  // watch it. The server keeps the connection open after the handler
  // returns, until the server goes, unless the handler ended it. A handler
  // may block in a send: whatever connects to the server is destroyed
  // before it (declare the server first), and its close ends the send.
  using Handler =
      std::function<void(net::TcpStream& connection, const std::atomic<bool>& stopping)>;

  struct Options {
    std::string address = kLoopbackIpv4;
    std::uint16_t port = 0;  // 0: a free one
    int backlog = 16;
    // Above 0: SO_RCVBUF of every accepted connection, set before the
    // handshake (a small one makes a peer that never reads fill up fast).
    int receive_buffer_bytes = 0;
    // Empty: every connection waits for take_connection().
    Handler serve = nullptr;
    // How many connections, the first ones, go to `serve`; the later ones
    // wait for take_connection().
    std::size_t served = SIZE_MAX;
  };

  // Listens on `options.address` and starts accepting; check ok(), and
  // error() for the reason of a failure.
  explicit LoopbackServer(Options options);
  LoopbackServer() : LoopbackServer(Options{}) {}
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool ok() const { return listening_; }
  const std::string& error() const { return error_; }
  const std::string& address() const { return address_; }
  std::uint16_t port() const { return port_; }

  // Hands over the oldest accepted connection not yet taken (and not for
  // the handler), waiting up to `timeout_ms` for one to arrive; nothing if
  // none came.
  std::optional<net::TcpStream> take_connection(int timeout_ms = kPatientWaitMs);
  // How many connections have been accepted so far, served ones included.
  std::size_t accepted_count() const;
  // Stops accepting and closes the listening socket; later connection
  // attempts are refused. Connections already accepted stay where they are.
  void stop();

 private:
  void accept_loop();
  void serve_loop();

  std::string address_;
  std::string error_;
  std::uint16_t port_ = 0;
  bool listening_ = false;
  const Handler serve_;
  const std::size_t served_;
  net::TcpListener listener_;  // used by the accepting thread until joined
  std::atomic<bool> stopping_{false};  // set by stop(), read by the thread
  std::atomic<bool> destroying_{false};  // what the handler watches
  std::vector<net::TcpStream> served_streams_;  // the serving thread's only
  std::thread acceptor_;
  std::thread server_;

  mutable std::mutex mutex_;  // guards the members below
  std::condition_variable arrived_;
  std::deque<net::TcpStream> pending_;  // for take_connection()
  std::deque<net::TcpStream> to_serve_;  // for the handler
  std::size_t accepted_ = 0;
};

// Ready-made handlers: the connection is closed, reset (RST) at once, or
// held open and never read or written.
LoopbackServer::Handler close_at_once();
LoopbackServer::Handler reset_at_once();
LoopbackServer::Handler never_read();

// Whether a listener can be bound on `address` (e.g. ::1 where IPv6 is
// switched off).
bool can_listen_on(const std::string& address);

// A port on `address` where nothing listens any more: bound once, then
// released.
std::uint16_t refused_port(const std::string& address = kLoopbackIpv4);

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
