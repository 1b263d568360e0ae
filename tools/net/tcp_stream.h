// Plain blocking TCP sockets for the programs around the bridge: the test
// servers, the benchmark's peer and ip232-peer. The bridge itself uses
// TcpClientSerialPort. Loopback use only; each object belongs to one thread
// at a time.

#ifndef QUORVEX_TOOLS_NET_TCP_STREAM_H_
#define QUORVEX_TOOLS_NET_TCP_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "net/socket_handle.h"

namespace quorvex::net {

// Outcome of TcpStream::receive().
struct ReceiveResult {
  std::size_t count = 0;   // bytes received; 0 with both flags clear: closed
  bool timed_out = false;  // nothing arrived within the wait
  bool error = false;      // the connection failed (e.g. reset)
};

// A connected socket; closes it on destruction. Move-only.
class TcpStream {
 public:
  TcpStream() = default;
  explicit TcpStream(SocketHandle handle) : handle_(handle) {}
  ~TcpStream();
  TcpStream(TcpStream&& other) noexcept;
  TcpStream& operator=(TcpStream&& other) noexcept;
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Connects to `address` (a numeric IPv4 or IPv6 address) and `port`,
  // blocking, for at most `timeout_ms` (negative: as long as the system
  // tries); nothing on failure, with the reason in `error` ("connection
  // timed out" when the time ran out). The stream is blocking.
  static std::optional<TcpStream> connect(const std::string& address,
                                          std::uint16_t port,
                                          std::string& error,
                                          int timeout_ms = -1);

  bool valid() const { return handle_ != kInvalidSocket; }
  SocketHandle handle() const { return handle_; }

  // Sends all of `data`, blocking; false when the connection failed first.
  bool send_all(std::span<const std::uint8_t> data);
  // Receives at most `buffer.size()` bytes, waiting up to `timeout_ms`
  // (negative: without limit).
  ReceiveResult receive(std::span<std::uint8_t> buffer, int timeout_ms);
  // Disables Nagle's algorithm.
  void set_no_delay();
  // Sets SO_RCVBUF / SO_SNDBUF (before connect or accept for full effect).
  void set_receive_buffer(int bytes);
  void set_send_buffer(int bytes);
  // Makes send_all() fail when the other side takes nothing for
  // `timeout_ms` (the stream is then unusable and only fit for closing).
  void set_send_timeout(int timeout_ms);
  // Ends the sending direction; the peer reads end-of-stream.
  void shutdown_send();
  // Shuts both directions down, so that a receive or send blocked in
  // another thread returns. The only call allowed from another thread.
  void interrupt();
  // Closes with SO_LINGER 0, so the peer sees a reset.
  void reset();
  // Closes in the ordinary way.
  void close();

 private:
  SocketHandle handle_ = kInvalidSocket;
};

// "ADDRESS:PORT", with an IPv6 address in brackets ("[::1]:23").
std::string endpoint_text(const std::string& address, std::uint16_t port);

// A listening socket on a loopback address. Move-only.
class TcpListener {
 public:
  TcpListener() = default;
  ~TcpListener();
  TcpListener(TcpListener&& other) noexcept;
  TcpListener& operator=(TcpListener&& other) noexcept;
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Binds `address` ("127.0.0.1", "::1", ...) and `port` (0: any free
  // port) and listens with `backlog`; nothing on failure, with the reason
  // in `error`. A `receive_buffer_bytes` above 0 sets SO_RCVBUF before
  // listening, so that accepted connections start with that buffer.
  static std::optional<TcpListener> open(const std::string& address,
                                         std::uint16_t port, int backlog,
                                         std::string& error,
                                         int receive_buffer_bytes = 0);

  bool valid() const { return handle_ != kInvalidSocket; }
  std::uint16_t port() const { return port_; }

  // Waits up to `timeout_ms` (negative: without limit) for a connection;
  // the accepted stream is blocking.
  std::optional<TcpStream> accept(int timeout_ms);
  void close();

 private:
  SocketHandle handle_ = kInvalidSocket;
  std::uint16_t port_ = 0;
};

}  // namespace quorvex::net

#endif  // QUORVEX_TOOLS_NET_TCP_STREAM_H_
