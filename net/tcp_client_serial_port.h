// TcpClientSerialPort: the far end of the serial line as a TCP client
// connection to one host and port.
//
// Construction makes the whole connection attempt on the constructing
// thread: it resolves the host, tries each address in the resolver's order
// with a bounded wait, and leaves the object either open (holding a
// connected non-blocking socket) or not open (holding a text that says
// why). A port that was shut down or lost its connection never reopens.
//
// A failed write() sent nothing and ends nothing: the caller may try again,
// and read() still hands out what the far end sent before it closed or
// reset, then reports the end. A send the system refuses for a passing
// shortage (of buffers or memory) is no failure at all: write() answers 0
// bytes, as for a full send buffer. end_sending() closes the sending
// direction in order (a half-close).
//
// Thread safety: read(), write(), is_open() and last_error() take no lock
// and may run concurrently on different threads; shutdown() may be called
// from any thread at any time. The socket is closed only by the destructor,
// so a read() or write() racing with shutdown() works on a handle that is
// shut down but never closed or reused.

#ifndef QUORVEX_NET_TCP_CLIENT_SERIAL_PORT_H_
#define QUORVEX_NET_TCP_CLIENT_SERIAL_PORT_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "net/socket_handle.h"
#include "serial/host_serial_port.h"
#include "sync/mutex.h"

namespace quorvex::net {

class TcpClientSerialPort final : public serial::HostSerialPort {
 public:
  // The longest wait of read() for data.
  static constexpr std::chrono::milliseconds kReadWait{100};

  // How often a connect in progress looks at its cancel flag.
  static constexpr std::chrono::milliseconds kCancelCheck{50};

  // Connects to `host` (a name or a numeric address, IPv6 without brackets)
  // on `port`, waiting at most `connect_timeout` for each address tried.
  // Returns in every network outcome: is_open() tells success, last_error()
  // the reason of a failure. Throws only when memory is exhausted.
  // When `cancel` is given and becomes true, the attempt ends within
  // kCancelCheck of a connect wait, or before the next address; a name
  // lookup in progress cannot be cut short.
  TcpClientSerialPort(const std::string& host, std::uint16_t port,
                      std::chrono::milliseconds connect_timeout,
                      const std::atomic<bool>* cancel = nullptr);
  // Closes a held socket, without shutting it down first.
  ~TcpClientSerialPort() override;

  TcpClientSerialPort(const TcpClientSerialPort&) = delete;
  TcpClientSerialPort& operator=(const TcpClientSerialPort&) = delete;

  serial::ReadResult read(std::span<std::uint8_t> buffer) override;
  serial::WriteResult write(std::span<const std::uint8_t> data) override;
  bool is_open() const override;
  void shutdown() override EXCLUDES(shutdown_lock_);
  void flush() override;
  std::string_view last_error() const override;
  void end_sending() override EXCLUDES(shutdown_lock_);
  bool sending_acknowledged() const override;

 private:
  void connect(const std::string& host, std::uint16_t port,
               std::chrono::milliseconds connect_timeout,
               const std::atomic<bool>* cancel);
  // Marks the connection ended for reading and says so.
  serial::ReadResult end_reading();

  // The connected socket, or kInvalidSocket. Stored by the constructor on
  // success and taken back by the destructor, both by atomic exchange.
  std::atomic<SocketHandle> socket_{kInvalidSocket};
  // Set by the constructor on success; cleared by shutdown() and by a
  // read() that sees the end of the connection, never by write(). Never
  // set again.
  std::atomic<bool> open_{false};
  // Set with open_; cleared by end_sending(), shutdown() and a write that
  // failed for good. Never set again.
  std::atomic<bool> sending_{false};
  // Set by a write() that found the connection gone: read() then ends the
  // port as soon as nothing received is left, without waiting.
  std::atomic<bool> send_gone_{false};
  // Serialises shutdown() and end_sending(), so that a half-close never
  // runs on a socket being shut down in both directions. It guards no
  // member: the flags and the handle are atomics.
  sync::Mutex shutdown_lock_;
  std::string error_text_;  // written only inside the constructor
};

}  // namespace quorvex::net

#endif  // QUORVEX_NET_TCP_CLIENT_SERIAL_PORT_H_
