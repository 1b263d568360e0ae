#include "net/tcp_client_serial_port.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "net/socket_ops.h"

namespace quorvex::net {
namespace {

constexpr serial::ReadResult kReadWouldBlock{0, true, false};
constexpr serial::ReadResult kReadClosed{0, false, true};

// Waits for a connection in progress to finish, at most `timeout`. When
// `cancel` is given the wait runs in slices of kCancelCheck, and a cancel
// ends it early with kTimedOut.
WaitOutcome wait_connect_cancellable(SocketHandle socket,
                                     std::chrono::milliseconds timeout,
                                     const std::atomic<bool>* cancel,
                                     SocketError& error) {
  if (cancel == nullptr) return wait_connect_done(socket, timeout, error);
  using Clock = std::chrono::steady_clock;
  constexpr auto kSlice = TcpClientSerialPort::kCancelCheck;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const WaitOutcome outcome = wait_connect_done(socket, std::min(left, kSlice), error);
    if (outcome != WaitOutcome::kTimedOut || left <= kSlice || cancel->load()) {
      return outcome;
    }
  }
}

// Tries one resolved address: returns the connected non-blocking socket,
// or kInvalidSocket with the reason in `last` (any socket made is closed).
SocketHandle connect_one(const ResolvedAddress& address,
                         std::chrono::milliseconds connect_timeout,
                         const std::atomic<bool>* cancel, std::string& last) {
  SocketError error;
  const SocketHandle socket = create_socket(address, error);
  if (socket == kInvalidSocket) {
    last = socket_error_text(error);
    return kInvalidSocket;
  }
  // The socket is closed before the text is built, so that running out of
  // memory there cannot leak it.
  const auto fail = [&](const SocketError& reason) {
    close_socket(socket);
    last = socket_error_text(reason);
    return kInvalidSocket;
  };
  if (!set_non_blocking(socket, error)) return fail(error);

  switch (start_connect(socket, address, error)) {
    case ConnectStart::kConnected:
      return socket;
    case ConnectStart::kFailed:
      return fail(error);
    case ConnectStart::kInProgress:
      break;
  }
  // The wait watches the error condition as well as writability: Windows
  // signals a failed non-blocking connect only as an exception, and without
  // it a refused address would cost the whole timeout.
  switch (wait_connect_cancellable(socket, connect_timeout, cancel, error)) {
    case WaitOutcome::kTimedOut:
      close_socket(socket);
      last = cancel != nullptr && cancel->load() ? "cancelled" : "connection timed out";
      return kInvalidSocket;
    case WaitOutcome::kFailed:
      return fail(error);
    case WaitOutcome::kReady:
      break;
  }
  const SocketError outcome = pending_error(socket);
  if (outcome.code != 0) return fail(outcome);
  return socket;
}

}  // namespace

TcpClientSerialPort::TcpClientSerialPort(const std::string& host,
                                         std::uint16_t port,
                                         std::chrono::milliseconds connect_timeout,
                                         const std::atomic<bool>* cancel) {
  ensure_socket_startup();
  connect(host, port, connect_timeout, cancel);
}

TcpClientSerialPort::~TcpClientSerialPort() {
  const SocketHandle socket = socket_.exchange(kInvalidSocket);
  if (socket != kInvalidSocket) close_socket(socket);
}

void TcpClientSerialPort::connect(const std::string& host, std::uint16_t port,
                                  std::chrono::milliseconds connect_timeout,
                                  const std::atomic<bool>* cancel) {
  const std::string service = std::to_string(port);
  std::vector<ResolvedAddress> addresses;
  SocketError error;
  if (!resolve_stream_addresses(host, service, addresses, error)) {
    error_text_ = "cannot resolve " + host + ":" + service + ": " +
                  socket_error_text(error);
    return;
  }
  // Only the failure of the last address tried is reported.
  std::string last;
  for (const ResolvedAddress& address : addresses) {
    if (cancel != nullptr && cancel->load()) {
      last = "cancelled";
      break;
    }
    const SocketHandle socket = connect_one(address, connect_timeout, cancel, last);
    if (socket == kInvalidSocket) continue;
    set_no_delay(socket);
    socket_.exchange(socket);
    sending_.store(true);
    open_.exchange(true);
    return;
  }
  error_text_ = "cannot connect to " + host + ":" + service;
  if (!last.empty()) error_text_ += ": " + last;
}

serial::ReadResult TcpClientSerialPort::read(std::span<std::uint8_t> buffer) {
  const SocketHandle socket = socket_.load();
  if (socket == kInvalidSocket || !open_.load()) return kReadClosed;

  // While data flows it is already there: receive first and wait only when
  // nothing is, which saves a system call per read under load.
  TransferResult received = receive_some(socket, buffer);
  if (received.ok && received.count > 0) return {received.count, false, false};
  if (!received.ok && is_would_block(received.error)) {
    // After a send that failed for good, what arrived before it has now
    // been handed out: that is the end.
    if (send_gone_.load()) return end_reading();
    SocketError error;
    switch (wait_readable(socket, kReadWait, error)) {
      case WaitOutcome::kTimedOut:
        if (send_gone_.load()) return end_reading();
        return kReadWouldBlock;
      case WaitOutcome::kFailed:
        // A failed wait says nothing certain about the connection, so the
        // port keeps its state; the caller drops it on `closed` anyway.
        return is_would_block(error) ? kReadWouldBlock : kReadClosed;
      case WaitOutcome::kReady:
        break;
    }
    received = receive_some(socket, buffer);
    if (received.ok && received.count > 0) return {received.count, false, false};
    if (!received.ok && is_would_block(received.error)) return kReadWouldBlock;
  }
  // The peer's orderly close and a connection error end the port alike.
  return end_reading();
}

serial::ReadResult TcpClientSerialPort::end_reading() {
  open_.store(false);
  return kReadClosed;
}

serial::WriteResult TcpClientSerialPort::write(std::span<const std::uint8_t> data) {
  const SocketHandle socket = socket_.load();
  if (socket == kInvalidSocket || !open_.load() || !sending_.load()) return {0, true};

  const TransferResult sent = send_some(socket, data);
  if (sent.ok) return {sent.count, false, false};
  // A full send buffer, or a passing shortage of the system's buffers, is
  // no failure: nothing was sent and the caller writes again shortly.
  if (is_would_block(sent.error) || is_transient_send_error(sent.error)) {
    return {0, false, false};
  }
  if (is_connection_gone(sent.error)) {
    // Nothing will be sent on this connection again. What the far end sent
    // before it is still to be read: read() hands it out, then reports the
    // end at once instead of waiting for the far end.
    sending_.store(false);
    send_gone_.store(true);
    return {0, true, false};
  }
  // Any other error (a soft network error: unreachable, network down) may
  // pass while the connection stands: the same bytes are tried later.
  return {0, false, true};
}

bool TcpClientSerialPort::is_open() const {
  return open_.load() && !send_gone_.load() && socket_.load() != kInvalidSocket;
}

void TcpClientSerialPort::shutdown() {
  const sync::MutexLock lock(shutdown_lock_);
  open_.exchange(false);
  sending_.store(false);
  // The handle stays held: a read() or write() racing with this call still
  // works on a valid socket, which only the destructor closes.
  const SocketHandle socket = socket_.load();
  if (socket != kInvalidSocket) shutdown_both(socket);
}

void TcpClientSerialPort::flush() {
  // Every write() hands its bytes straight to the socket; nothing is held.
}

std::string_view TcpClientSerialPort::last_error() const { return error_text_; }

void TcpClientSerialPort::end_sending() {
  const sync::MutexLock lock(shutdown_lock_);
  sending_.store(false);
  const SocketHandle socket = socket_.load();
  if (socket != kInvalidSocket && open_.load()) shutdown_send(socket);
}

bool TcpClientSerialPort::sending_acknowledged() const {
  const SocketHandle socket = socket_.load();
  return socket != kInvalidSocket && send_side_acknowledged(socket);
}

}  // namespace quorvex::net
