// The bridge's view of the far end of the serial line: a byte transport
// that can be read with a short wait, written without blocking, asked
// whether it is still usable, and shut down from any thread.
//
// Implementations are shared between threads: read() and write() may run
// on different threads at once, and shutdown() may be called from any
// thread at any time, also while a read() waits.
//
// A write() that fails for good (the connection is gone) sent nothing;
// read() goes on delivering what the far end sent before that, then
// reports the end without waiting. A write() that should be tried later
// sent nothing and ends nothing.

#ifndef QUORVEX_SERIAL_HOST_SERIAL_PORT_H_
#define QUORVEX_SERIAL_HOST_SERIAL_PORT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorvex::serial {

// Outcome of one read. At most one flag is set, and both are clear exactly
// when count is above 0.
struct ReadResult {
  std::size_t count = 0;     // bytes placed at the start of the span
  bool would_block = false;  // nothing arrived in time; still usable
  bool closed = false;       // ended, or never open: no more data will come
};

// Outcome of one write. At most one flag is set.
struct WriteResult {
  std::size_t count = 0;     // bytes accepted; may be fewer than given, or 0
  bool failed = false;       // not open, or the connection is gone for good:
                             // nothing was sent, nor will be on this port
  bool retry_later = false;  // nothing was sent for a reason that may pass
                             // (a soft network error): the connection stands
};

class HostSerialPort {
 public:
  virtual ~HostSerialPort() = default;

  // Receives what has arrived into `buffer`, waiting a short while (at most
  // 100 ms) when nothing has.
  virtual ReadResult read(std::span<std::uint8_t> buffer) = 0;
  // Hands as much of `data` to the transport as it takes now; never waits.
  virtual WriteResult write(std::span<const std::uint8_t> data) = 0;
  // Whether the transport is connected and not shut down; false once a
  // write() found the connection gone.
  virtual bool is_open() const = 0;
  // Ends the connection: a read() in progress returns within its wait and
  // every later read() or write() reports closed or failed at once.
  virtual void shutdown() = 0;
  // Pushes out anything the transport itself holds back. Transports that
  // hold nothing back do nothing.
  virtual void flush() = 0;
  // Why the connection could not be made; empty after a successful one.
  virtual std::string_view last_error() const = 0;
  // Ends the sending direction in order: what write() handed over still
  // goes out, followed by the end of the stream, and reading goes on.
  // Later writes fail.
  virtual void end_sending() = 0;
  // Whether, after end_sending(), the far end has acknowledged everything
  // sent and the end of the stream. False while it has not, and where the
  // platform cannot tell.
  virtual bool sending_acknowledged() const = 0;
};

}  // namespace quorvex::serial

#endif  // QUORVEX_SERIAL_HOST_SERIAL_PORT_H_
