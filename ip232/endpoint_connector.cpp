// The connector thread of Ip232SerialEndpoint: connects and publishes,
// reads and decodes into the receive queue, notices the end of a
// connection, hangs up in mode "raw" and finishes what it hung up.

#include <algorithm>
#include <chrono>
#include <utility>

#include "ip232/endpoint_core.h"
#include "net/tcp_client_serial_port.h"

namespace quorvex::ip232 {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Longest single wait of the connector for room in the receive queue; it
// looks at request-to-send again after each.
constexpr milliseconds kRxRoomWait{100};

}  // namespace

void EndpointCore::connector_main() {
  while (!stop_.load()) {
    const bool wanted = take_connection_wish();
    const Connection current = published();
    const bool backlog = deliver_backlog();
    // A connection being finished may not deliver past anything newer.
    if (wanted || current.port) tend_finishing();

    if (wanted && !current.port) {
      if (connect_and_publish() == ConnectOutcome::kStopped) break;
    } else if (wanted) {
      serve(current);
    } else if (current.port) {
      begin_hang_up(current);
    } else if (finishing_) {
      drain_finishing();
    } else if (backlog) {
      wait_for_rx_room();
    } else {
      backoff_wait(kIdlePoll);
    }
  }
  end_finishing();
  const Connection last = published();
  if (last.port) log_closed(last.generation, next_received_offset());
}

bool EndpointCore::take_connection_wish() {
  if (!raw_) return true;
  {
    sync::MutexLock lock(backoff_lock_);
    backoff_rts_changed_ = false;
  }
  return rts_.load();
}

EndpointCore::ConnectOutcome EndpointCore::connect_and_publish() {
  // Resolves and connects before it returns: up to the connect timeout per
  // address, without any lock held.
  std::shared_ptr<serial::HostSerialPort> fresh =
      std::make_shared<net::TcpClientSerialPort>(host_, port_number_,
                                                 kConnectTimeout, &stop_);
  if (stop_.load()) return ConnectOutcome::kStopped;
  if (!fresh->is_open()) {
    set_status(fresh->last_error());
    notify_change();
    backoff_wait(kBackoff);
    return ConnectOutcome::kFailed;
  }
  // An escape left over from the previous connection must not pair with
  // the first byte of this one.
  line_decoder_.reset();
  const std::uint64_t generation = ++generations_;
  {
    // Logged before it is published, so that the sender finds it there.
    sync::MutexLock lock(status_lock_);
    log_.opened(generation, next_received_offset(), Clock::now());
  }
  {
    sync::MutexLock lock(port_lock_);
    // Checked under the lock: the destructor sets stop before it looks for
    // a port to shut down, so a port is either published before that look
    // (and shut down by it) or not at all.
    if (stop_.load()) return ConnectOutcome::kStopped;
    // Nothing is published here: the connector publishes only when none is.
    connection_.change([&](Connection& record) { record = Connection{fresh, generation}; });
  }
  // The sender checks for a new connection under tx_lock_.
  { sync::MutexLock lock(tx_lock_); }
  tx_wake_.notify_all();
  notify_change();
  return ConnectOutcome::kPublished;
}

void EndpointCore::serve(const Connection& current) {
  if (rx_delivered_ < rx_decoded_.size()) {
    // The socket is not read while the queue is full; its end, even a
    // reset that failed a write meanwhile, is seen once the bytes before
    // it have been read (the system keeps what arrived before a reset).
    wait_for_rx_room();
    return;
  }
  const ReadOutcome outcome = read_and_decode(*current.port, current.generation, rx_decoded_);
  if (outcome == ReadOutcome::kEnded) {
    rx_decoded_.clear();
    rx_delivered_ = 0;
    end_connection(current);
  } else if (outcome == ReadOutcome::kData) {
    rx_delivered_ = deliver_received(rx_decoded_);
  }
}

void EndpointCore::end_connection(const Connection& current) {
  current.port->shutdown();
  unpublish();
  log_closed(current.generation, next_received_offset());
  notify_change();
  backoff_wait(kBackoff);
}

void EndpointCore::begin_hang_up(const Connection& current) {
  // Unpublished first: the sender takes no more bytes for this connection,
  // and what it has not written yet goes back for the next one.
  unpublish();
  // What the system already took still goes out, then the end of the
  // stream. Closing now, with the server's bytes unread, would make the
  // system reset the connection and throw away what it has not sent.
  current.port->end_sending();
  // One connection is finished at a time: a storm of hang-ups must not
  // pile up sockets, each held up to kHangUpDrainMs. The older one ends
  // now; what its server sends from here on is cut, as it would be by
  // raising request-to-send again.
  end_finishing();
  finishing_ = FinishingConnection{current.port, current.generation,
                                   Clock::now() + kHangUpDrain, true,
                                   next_received_offset()};
  notify_change();
}

void EndpointCore::drain_finishing() {
  // Finishing connections exist in mode "raw" only, where decoding keeps
  // no state, so sharing line_decoder_ with the next connection is sound.
  FinishingConnection& finishing = *finishing_;
  const ReadOutcome outcome = read_and_decode(*finishing.port, finishing.number, drain_decoded_);
  if (outcome == ReadOutcome::kData && finishing.delivers) {
    // Bytes that do not fit are dropped, and every later one with them:
    // the server must not be held up while it still has to take what was
    // sent, and the machine must get a prefix of what the server sent, not
    // a stream with holes. A backlog from before the hang-up comes first,
    // so with one left nothing more is delivered.
    const bool backlog = rx_delivered_ < rx_decoded_.size();
    const std::size_t count = backlog ? 0 : deliver_received(drain_decoded_);
    if (count < drain_decoded_.size()) finishing.delivers = false;
    finishing.received_to = next_received_offset();
  }
  if (stop_.load() || outcome == ReadOutcome::kEnded ||
      finishing_done(outcome == ReadOutcome::kQuiet)) {
    end_finishing();
  }
}

void EndpointCore::tend_finishing() {
  if (!finishing_) return;
  finishing_->delivers = false;
  // Not read any more: only its acknowledgement or its time is waited for.
  if (finishing_done(true)) end_finishing();
}

bool EndpointCore::finishing_done(bool quiet) const {
  return Clock::now() >= finishing_->deadline ||
         (quiet && finishing_->port->sending_acknowledged());
}

void EndpointCore::end_finishing() {
  if (!finishing_) return;
  finishing_->port->shutdown();
  log_closed(finishing_->number, finishing_->received_to);
  finishing_.reset();
}

void EndpointCore::log_closed(std::uint64_t number, std::uint64_t received_to) {
  sync::MutexLock lock(status_lock_);
  log_.closed(number, received_to, Clock::now());
}

EndpointCore::ReadOutcome EndpointCore::read_and_decode(
    serial::HostSerialPort& port, std::uint64_t number, std::vector<std::uint8_t>& decoded) {
  const serial::ReadResult result = port.read(rx_chunk_);
  if (result.closed) return ReadOutcome::kEnded;
  if (result.count == 0) return ReadOutcome::kQuiet;
  decoded.clear();
  const std::size_t unknown = line_decoder_.decode(
      std::span<const std::uint8_t>(rx_chunk_.data(), result.count), decoded);
  sync::MutexLock lock(status_lock_);
  log_.received(number, result.count);
  log_.unknown_escapes(unknown);
  return ReadOutcome::kData;
}

void EndpointCore::unpublish() {
  Connection unpublished;
  {
    sync::MutexLock lock(port_lock_);
    connection_.change([&](Connection& record) { unpublished = std::exchange(record, {}); });
  }
  // The last owner closes the socket: this one, here outside the lock, or
  // the sender after its pass.
}

bool EndpointCore::deliver_backlog() {
  if (rx_delivered_ < rx_decoded_.size()) {
    rx_delivered_ += deliver_received(
        std::span<const std::uint8_t>(rx_decoded_).subspan(rx_delivered_));
  }
  return rx_delivered_ < rx_decoded_.size();
}

std::size_t EndpointCore::deliver_received(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  sync::MutexLock lock(rx_lock_);
  // The host's batch only shrinks without the lock, so this count errs on
  // the safe side.
  const std::size_t held =
      rx_queue_.get().size() + rx_batch_left_.load(std::memory_order_acquire);
  const std::size_t room = kRxQueueLimit - std::min(held, kRxQueueLimit);
  const std::size_t count = std::min(room, bytes.size());
  rx_queue_.change([&](std::deque<std::uint8_t>& queue) {
    queue.insert(queue.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
  });
  rx_delivered_total_ += count;
  return count;
}

void EndpointCore::wait_for_rx_room() {
  const Clock::time_point deadline = Clock::now() + kRxRoomWait;
  sync::MutexLock lock(rx_lock_);
  rx_connector_waiting_ = true;
  while (!stop_.load() &&
         rx_queue_.get().size() + rx_batch_left_.load(std::memory_order_acquire) >
             kRxResumeLevel) {
    if (!rx_room_.wait_until(rx_lock_, deadline)) break;
  }
  rx_connector_waiting_ = false;
}

void EndpointCore::backoff_wait(milliseconds interval) {
  const Clock::time_point deadline = Clock::now() + interval;
  sync::MutexLock lock(backoff_lock_);
  // A notification that finds neither stop nor (in mode "raw") a change of
  // request-to-send resumes the wait until the deadline.
  while (!stop_.load() && !(raw_ && backoff_rts_changed_)) {
    if (!backoff_wake_.wait_until(backoff_lock_, deadline)) return;
  }
}

void EndpointCore::set_status(std::string_view text) {
  sync::MutexLock lock(status_lock_);
  log_.set_status(text);
}

}  // namespace quorvex::ip232
