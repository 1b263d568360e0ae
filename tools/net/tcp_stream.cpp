// TcpStream and TcpListener on the neutral socket primitives of
// net/socket_ops.h: the platform code is net's own.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "net/socket_ops.h"
#include "sys/error_text.h"
#include "tools/net/tcp_stream.h"

namespace quorvex::net {
namespace {

// Stands for "no limit" where a wait needs a number: a day.
constexpr int kUnboundedWaitMs = 24 * 60 * 60 * 1000;

// The first address of a numeric `address` and `port`.
bool resolve_first(const std::string& address, std::uint16_t port,
                   ResolvedAddress& first, SocketError& error) {
  std::vector<ResolvedAddress> addresses;
  if (!resolve_stream_addresses(address, std::to_string(port), addresses, error)) {
    return false;
  }
  first = std::move(addresses.front());
  return true;
}

// The system's text for `failure`, on one line for a message.
std::string failure_text(const SocketError& failure) {
  return sys::error_text(socket_error_text(failure), failure.code);
}

}  // namespace

std::string endpoint_text(const std::string& address, std::uint16_t port) {
  const bool ipv6 = address.find(':') != std::string::npos;
  return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}


TcpStream::~TcpStream() { close(); }

TcpStream::TcpStream(TcpStream&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kInvalidSocket);
  }
  return *this;
}

std::optional<TcpStream> TcpStream::connect(const std::string& address,
                                            std::uint16_t port,
                                            std::string& error,
                                            int timeout_ms) {
  ensure_socket_startup();
  const std::string prefix = "cannot connect to " + endpoint_text(address, port) + ": ";
  ResolvedAddress target;
  SocketError failure;
  if (!resolve_first(address, port, target, failure)) {
    error = prefix + failure_text(failure);
    return std::nullopt;
  }
  TcpStream stream(create_socket(target, failure));
  if (!stream.valid()) {
    error = prefix + failure_text(failure);
    return std::nullopt;
  }
  // Connecting without blocking is what makes the time limit possible;
  // the stream blocks again once connected.
  if (!set_non_blocking(stream.handle_, failure)) {
    error = prefix + failure_text(failure);
    return std::nullopt;
  }
  const ConnectStart start = start_connect(stream.handle_, target, failure);
  if (start == ConnectStart::kFailed) {
    error = prefix + failure_text(failure);
    return std::nullopt;
  }
  if (start == ConnectStart::kInProgress) {
    const int limit_ms = timeout_ms < 0 ? kUnboundedWaitMs : timeout_ms;
    switch (wait_connect_done(stream.handle_, std::chrono::milliseconds(limit_ms), failure)) {
      case WaitOutcome::kTimedOut:
        error = prefix + "connection timed out";
        return std::nullopt;
      case WaitOutcome::kFailed:
        error = prefix + failure_text(failure);
        return std::nullopt;
      case WaitOutcome::kReady:
        break;
    }
    failure = pending_error(stream.handle_);
    if (failure.code != 0) {
      error = prefix + failure_text(failure);
      return std::nullopt;
    }
  }
  if (!set_blocking(stream.handle_, failure)) {
    error = prefix + failure_text(failure);
    return std::nullopt;
  }
  return stream;
}

bool TcpStream::send_all(std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    if (!valid()) return false;
    const TransferResult sent = send_some(handle_, data);
    if (!sent.ok) return false;
    data = data.subspan(sent.count);
  }
  return true;
}

ReceiveResult TcpStream::receive(std::span<std::uint8_t> buffer, int timeout_ms) {
  if (!valid()) return ReceiveResult{0, false, true};
  if (timeout_ms >= 0) {
    SocketError failure;
    switch (wait_readable(handle_, std::chrono::milliseconds(timeout_ms), failure)) {
      case WaitOutcome::kTimedOut:
        return ReceiveResult{0, true, false};
      case WaitOutcome::kFailed:
        return ReceiveResult{0, false, true};
      case WaitOutcome::kReady:
        break;
    }
  }
  // Without a limit the blocking receive itself does the waiting.
  const TransferResult received = receive_some(handle_, buffer);
  if (!received.ok) return ReceiveResult{0, false, true};
  return ReceiveResult{received.count, false, false};
}

void TcpStream::set_no_delay() {
  if (valid()) net::set_no_delay(handle_);
}

void TcpStream::set_receive_buffer(int bytes) {
  if (valid()) net::set_receive_buffer(handle_, bytes);
}

void TcpStream::set_send_buffer(int bytes) {
  if (valid()) net::set_send_buffer(handle_, bytes);
}

void TcpStream::set_send_timeout(int timeout_ms) {
  if (valid()) net::set_send_timeout(handle_, timeout_ms);
}

void TcpStream::interrupt() {
  if (valid()) shutdown_both(handle_);
}

void TcpStream::shutdown_send() {
  if (valid()) net::shutdown_send(handle_);
}

void TcpStream::reset() {
  if (!valid()) return;
  set_linger_zero(handle_);
  close();
}

void TcpStream::close() {
  const SocketHandle handle = std::exchange(handle_, kInvalidSocket);
  if (handle != kInvalidSocket) close_socket(handle);
}

TcpListener::~TcpListener() { close(); }

TcpListener::TcpListener(TcpListener&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)),
      port_(std::exchange(other.port_, 0)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kInvalidSocket);
    port_ = std::exchange(other.port_, 0);
  }
  return *this;
}

std::optional<TcpListener> TcpListener::open(const std::string& address,
                                             std::uint16_t port, int backlog,
                                             std::string& error,
                                             int receive_buffer_bytes) {
  ensure_socket_startup();
  const std::string prefix = "cannot listen on " + endpoint_text(address, port) + ": ";
  ResolvedAddress local;
  SocketError failure;
  if (!resolve_first(address, port, local, failure)) {
    error = prefix + failure_text(failure);
    return std::nullopt;
  }
  TcpListener listener;
  listener.handle_ = create_socket(local, failure);
  if (!listener.valid()) {
    error = prefix + failure_text(failure);
    return std::nullopt;
  }
  // Accepted connections take their receive buffer (and with it the window
  // they announce in the handshake) from the listener.
  if (receive_buffer_bytes > 0) {
    set_receive_buffer(listener.handle_, receive_buffer_bytes);
  }
  if (!bind_and_listen(listener.handle_, local, backlog, failure)) {
    error = prefix + failure_text(failure);
    return std::nullopt;
  }
  listener.port_ = local_port(listener.handle_);
  return listener;
}

std::optional<TcpStream> TcpListener::accept(int timeout_ms) {
  if (!valid()) return std::nullopt;
  if (timeout_ms >= 0) {
    SocketError failure;
    if (wait_readable(handle_, std::chrono::milliseconds(timeout_ms), failure) != WaitOutcome::kReady) {
      return std::nullopt;
    }
  }
  SocketError failure;
  TcpStream stream(accept_connection(handle_, failure));
  if (!stream.valid()) return std::nullopt;
  return stream;
}

void TcpListener::close() {
  const SocketHandle handle = std::exchange(handle_, kInvalidSocket);
  if (handle != kInvalidSocket) close_socket(handle);
  port_ = 0;
}

}  // namespace quorvex::net
