#include "ip232/ip232_serial_endpoint.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <system_error>
#include <utility>

#include "net/tcp_client_serial_port.h"

namespace quorvex::ip232 {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The receive queue is refilled once it has room for a whole read again, so
// a host that reads slowly wakes the connector once per read, not per byte.
constexpr std::size_t kRxResumeLevel =
    Ip232SerialEndpoint::kRxQueueLimit - Ip232SerialEndpoint::kReadChunkBytes;
// Longest single wait of the connector for room in the receive queue; it
// looks at request-to-send again after each.
constexpr milliseconds kRxRoomWait{100};
// Pause of the sender after a pass that found a connection published but
// not yet marked connected.
constexpr milliseconds kSenderRetryPause{10};
// Longest single wait handed to the platform; longer intervals loop.
constexpr milliseconds kLongestSingleWait{24 * 60 * 60 * 1000};

// Now + `interval_ms` on the steady clock, or the largest representable
// time when that would overflow.
Clock::time_point deadline_after(std::int64_t interval_ms) {
  const Clock::time_point now = Clock::now();
  const auto room = std::chrono::duration_cast<milliseconds>(
      Clock::time_point::max() - now);
  if (interval_ms >= room.count()) return Clock::time_point::max();
  return now + milliseconds(std::max<std::int64_t>(interval_ms, 0));
}

// Time left until `deadline` in whole milliseconds, rounded up; zero once
// it has passed.
milliseconds remaining_until(Clock::time_point deadline) {
  const Clock::time_point now = Clock::now();
  if (now >= deadline) return milliseconds::zero();
  return std::min(std::chrono::ceil<milliseconds>(deadline - now),
                  kLongestSingleWait);
}

std::size_t saturating_add(std::size_t a, std::size_t b) {
  return a > std::numeric_limits<std::size_t>::max() - b
             ? std::numeric_limits<std::size_t>::max()
             : a + b;
}

template <typename Body>
std::thread start_thread(Body body) {
  try {
    return std::thread(std::move(body));
  } catch (const std::system_error&) {
    throw std::system_error(
        std::make_error_code(std::errc::resource_unavailable_try_again),
        "ip232-serial: cannot start a bridge thread");
  }
}

}  // namespace

Ip232SerialEndpoint::Ip232SerialEndpoint(EndpointConfig config)
    : host_(std::move(config.host)),
      port_number_(config.port),
      gate_by_rts_(config.raw),
      handshake_(config.handshake),
      line_decoder_(config.raw),
      tx_ready_limit_(config.tx_buffer),
      tx_hard_limit_(saturating_add(config.tx_buffer, kTxOverrunBytes)),
      on_change_(std::move(config.on_change)) {
  connector_ = start_thread([this] { connector_main(); });
  try {
    sender_ = start_thread([this] { sender_main(); });
  } catch (...) {
    // The destructor does not run for a constructor that throws: the
    // connector must be gone before its members are.
    wake_and_shut_down();
    connector_.join();
    throw;
  }
}

Ip232SerialEndpoint::~Ip232SerialEndpoint() {
  wake_and_shut_down();
  connector_.join();
  sender_.join();
}

void Ip232SerialEndpoint::wake_and_shut_down() {
  stop_.store(true);
  // Each waiter checks stop under its own lock; taking the lock before the
  // notification means none of them can miss it between check and wait.
  { std::lock_guard<std::mutex> lock(tx_lock_); }
  tx_wake_.notify_all();
  { std::lock_guard<std::mutex> lock(backoff_lock_); }
  backoff_wake_.notify_all();
  { std::lock_guard<std::mutex> lock(rx_lock_); }
  rx_room_.notify_all();
  std::shared_ptr<serial::HostSerialPort> current;
  {
    std::lock_guard<std::mutex> lock(port_lock_);
    current = port_;
  }
  // Makes a read in progress return within its wait.
  if (current) current->shutdown();
}

void Ip232SerialEndpoint::notify_change() const {
  if (on_change_) on_change_();
}

// --- Source face --------------------------------------------------------

bool Ip232SerialEndpoint::has_byte() {
  // Only the host removes bytes, so a byte seen here is still there for
  // read_byte().
  return rx_batch_next_ < rx_batch_end_ ||
         rx_queued_.load(std::memory_order_acquire) > 0;
}

std::uint8_t Ip232SerialEndpoint::read_byte() {
  if (rx_batch_next_ < rx_batch_end_) {
    const std::uint8_t byte = rx_batch_[rx_batch_next_++];
    rx_batch_left_.store(rx_batch_end_ - rx_batch_next_, std::memory_order_release);
    return byte;
  }
  bool wake_connector = false;
  {
    std::lock_guard<std::mutex> lock(rx_lock_);
    if (rx_queue_.empty()) return 0;
    // The oldest bytes, in order; the first one is returned now.
    const std::size_t count = std::min(rx_queue_.size(), rx_batch_.size());
    const auto end = rx_queue_.begin() + static_cast<std::ptrdiff_t>(count);
    std::copy(rx_queue_.begin(), end, rx_batch_.begin());
    rx_queue_.erase(rx_queue_.begin(), end);
    rx_queued_.store(rx_queue_.size(), std::memory_order_release);
    rx_batch_next_ = 1;
    rx_batch_end_ = count;
    rx_batch_left_.store(count - 1, std::memory_order_release);
    // Looked at once per batch, not per byte: a connector waiting for room
    // is woken by the first batch taken at or below the resume level.
    wake_connector = rx_connector_waiting_ &&
                     rx_queue_.size() + count - 1 <= kRxResumeLevel;
  }
  if (wake_connector) rx_room_.notify_one();
  return rx_batch_[0];
}

bool Ip232SerialEndpoint::carrier_detect() { return false; }

// --- Sink face ----------------------------------------------------------

void Ip232SerialEndpoint::write_byte(std::uint8_t byte) {
  bool wake_sender = false;
  {
    std::lock_guard<std::mutex> lock(tx_lock_);
    // A doubled 0xFF is not tested separately, so the buffer may end one
    // byte above the hard limit. The sender's batch counts too: putting it
    // back does not change the sum, so a host that honours ready_for_byte()
    // never has a byte refused.
    if (tx_pending_.size() + tx_in_flight_ >= tx_hard_limit_) {
      ++tx_dropped_;
      return;
    }
    // A sender waiting with bytes pending waits for a connection, not for
    // bytes: only the first byte into an empty buffer needs to wake it.
    wake_sender = tx_sender_waiting_ && tx_pending_.empty();
    append_data_byte(line_decoder_.raw(), byte, tx_pending_);
    tx_tail_is_line_state_ = false;
    tx_queued_.store(tx_pending_.size() + tx_in_flight_, std::memory_order_release);
  }
  if (wake_sender) tx_wake_.notify_one();
}

bool Ip232SerialEndpoint::ready_for_byte() {
  if (!connected_.load()) return false;
  // The size as it stood after the last change under tx_lock_.
  return tx_queued_.load(std::memory_order_acquire) < tx_ready_limit_;
}

void Ip232SerialEndpoint::set_rts(bool asserted) {
  // Stored first, so that whoever is woken below sees the new state.
  rts_.store(asserted);
  if (gate_by_rts_) {
    {
      std::lock_guard<std::mutex> lock(backoff_lock_);
      backoff_rts_changed_ = true;
    }
    backoff_wake_.notify_all();
    return;
  }
  if (!handshake_) return;
  bool wake_sender = false;
  {
    std::lock_guard<std::mutex> lock(tx_lock_);
    // The pair goes in whole. Without room for it, a pair that still ends
    // the buffer takes the new state (the change in between is never
    // sent); otherwise this one goes in past the limit, once, since data
    // bytes are refused after it and further changes replace it. Either
    // way the peer ends up with the current state, after the data that
    // came before it.
    const bool room = tx_pending_.size() + tx_in_flight_ + 2 <= tx_hard_limit_;
    if (!room && tx_tail_is_line_state_) {
      tx_pending_.back() = rts_change(asserted)[1];
      return;
    }
    wake_sender = tx_sender_waiting_ && tx_pending_.empty();
    append_rts_change(asserted, tx_pending_);
    tx_tail_is_line_state_ = true;
    tx_queued_.store(tx_pending_.size() + tx_in_flight_, std::memory_order_release);
  }
  if (wake_sender) tx_wake_.notify_one();
}

void Ip232SerialEndpoint::set_break(bool) {}

// --- Observers ----------------------------------------------------------

bool Ip232SerialEndpoint::is_connected() const { return connected_.load(); }

std::string Ip232SerialEndpoint::status_text() const {
  std::lock_guard<std::mutex> lock(status_lock_);
  return status_text_;
}

std::uint64_t Ip232SerialEndpoint::tx_dropped() const {
  std::lock_guard<std::mutex> lock(tx_lock_);
  return tx_dropped_;
}

std::size_t Ip232SerialEndpoint::tx_pending_size() const {
  std::lock_guard<std::mutex> lock(tx_lock_);
  return tx_pending_.size() + tx_in_flight_;
}

std::size_t Ip232SerialEndpoint::rx_queue_size() const {
  std::lock_guard<std::mutex> lock(rx_lock_);
  return rx_queue_.size() + rx_batch_left_.load(std::memory_order_acquire);
}

// --- Connector thread ---------------------------------------------------

void Ip232SerialEndpoint::connector_main() {
  std::array<std::uint8_t, kReadChunkBytes> chunk{};
  // Data bytes of the last read; those from `delivered` on did not fit in
  // the receive queue yet. While any are left the socket is not read, so
  // TCP flow control holds the peer back and nothing received is lost.
  std::vector<std::uint8_t> decoded;
  decoded.reserve(kReadChunkBytes);
  std::size_t delivered = 0;

  while (!stop_.load()) {
    if (gate_by_rts_) {
      // Changes from here on end the next wait early.
      std::lock_guard<std::mutex> lock(backoff_lock_);
      backoff_rts_changed_ = false;
    }
    const bool wanted = !gate_by_rts_ || rts_.load();
    std::shared_ptr<serial::HostSerialPort> current;
    {
      std::lock_guard<std::mutex> lock(port_lock_);
      current = port_;
    }
    if (delivered < decoded.size()) {
      delivered += deliver_received(
          std::span<const std::uint8_t>(decoded).subspan(delivered));
    }
    const bool backlog = delivered < decoded.size();

    if (wanted && !current) {
      if (!connect_and_publish()) return;
    } else if (wanted) {
      if (backlog) {
        // The socket is not read while the queue is full; its end, even a
        // reset that failed a write meanwhile, is seen once the bytes
        // before it have been read.
        wait_for_rx_room();
        continue;
      }
      const serial::ReadResult result = current->read(chunk);
      if (result.closed) {
        drop_connection(*current);
        current.reset();
        backoff_wait(kBackoffMs);
      } else if (result.count > 0) {
        decoded.clear();
        line_decoder_.decode(
            std::span<const std::uint8_t>(chunk.data(), result.count),
            decoded);
        delivered = deliver_received(decoded);
      }
    } else if (current) {
      hang_up(*current, chunk, backlog);
      current.reset();
    } else if (backlog) {
      wait_for_rx_room();
    } else {
      backoff_wait(kIdlePollMs);
    }
  }
}

bool Ip232SerialEndpoint::connect_and_publish() {
  // Resolves and connects before it returns: up to the connect timeout per
  // address, without any lock held.
  std::shared_ptr<serial::HostSerialPort> fresh =
      std::make_shared<net::TcpClientSerialPort>(host_, port_number_,
                                                 kConnectTimeoutMs, &stop_);
  if (stop_.load()) return false;
  if (!fresh->is_open()) {
    {
      std::lock_guard<std::mutex> lock(status_lock_);
      status_text_.assign(fresh->last_error());
    }
    notify_change();
    backoff_wait(kBackoffMs);
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(status_lock_);
    status_text_.clear();
  }
  // An escape left over from the previous connection must not pair with
  // the first byte of this one.
  line_decoder_.reset();
  std::shared_ptr<serial::HostSerialPort> previous;
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(port_lock_);
    // Checked under the lock: the destructor sets stop before it looks for
    // a port to shut down, so a port is either published before that look
    // (and shut down by it) or not at all.
    if (stop_.load()) return false;
    previous = std::exchange(port_, fresh);
    generation = ++port_generation_;
  }
  previous.reset();
  connected_.store(true);
  {
    std::lock_guard<std::mutex> lock(tx_lock_);
    tx_generation_ = generation;
  }
  tx_wake_.notify_all();
  notify_change();
  return true;
}

void Ip232SerialEndpoint::unpublish() {
  std::shared_ptr<serial::HostSerialPort> previous;
  {
    std::lock_guard<std::mutex> lock(port_lock_);
    previous = std::move(port_);
  }
  // The last owner closes the socket; that may be the connector, outside
  // the lock, or the sender after its pass.
  previous.reset();
  connected_.store(false);
}

void Ip232SerialEndpoint::drop_connection(serial::HostSerialPort& current) {
  current.shutdown();
  unpublish();
  notify_change();
}

void Ip232SerialEndpoint::hang_up(serial::HostSerialPort& current,
                                  std::span<std::uint8_t> chunk, bool backlog) {
  // Unpublished first: the sender takes no more bytes for this connection,
  // and what it has not written yet goes back for the next one.
  unpublish();
  // What the system already took still goes out, then the end of the
  // stream. Closing now, with the server's bytes unread, would make the
  // system reset the connection and throw away what it has not sent.
  current.end_sending();
  const Clock::time_point deadline = deadline_after(kHangUpDrainMs);
  std::vector<std::uint8_t> decoded;
  while (!stop_.load() && Clock::now() < deadline) {
    const serial::ReadResult result = current.read(chunk);
    if (result.closed) break;
    if (result.count > 0) {
      // Bytes that do not fit are dropped: the server must not be held up
      // while it still has to take what was sent. Decoded bytes of an
      // earlier read that still wait for room stay ahead of these.
      decoded.clear();
      line_decoder_.decode(std::span<const std::uint8_t>(chunk.data(), result.count),
                           decoded);
      if (!backlog) deliver_received(decoded);
    } else if (current.sending_acknowledged()) {
      break;
    }
  }
  current.shutdown();
  notify_change();
}

std::size_t Ip232SerialEndpoint::deliver_received(
    std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  std::lock_guard<std::mutex> lock(rx_lock_);
  // The host's batch only shrinks without the lock, so this count errs on
  // the safe side.
  const std::size_t held =
      rx_queue_.size() + rx_batch_left_.load(std::memory_order_acquire);
  const std::size_t room = kRxQueueLimit - std::min(held, kRxQueueLimit);
  const std::size_t count = std::min(room, bytes.size());
  rx_queue_.insert(rx_queue_.end(), bytes.begin(),
                   bytes.begin() + static_cast<std::ptrdiff_t>(count));
  rx_queued_.store(rx_queue_.size(), std::memory_order_release);
  return count;
}

void Ip232SerialEndpoint::wait_for_rx_room() {
  std::unique_lock<std::mutex> lock(rx_lock_);
  const auto ready = [this] {
    return stop_.load() ||
           rx_queue_.size() + rx_batch_left_.load(std::memory_order_acquire) <=
               kRxResumeLevel;
  };
  if (ready()) return;
  rx_connector_waiting_ = true;
  rx_room_.wait_for(lock, kRxRoomWait, ready);
  rx_connector_waiting_ = false;
}

void Ip232SerialEndpoint::backoff_wait(std::int64_t interval_ms) {
  const Clock::time_point deadline = deadline_after(interval_ms);
  std::unique_lock<std::mutex> lock(backoff_lock_);
  // A notification that finds neither stop nor (in mode "raw") a change of
  // request-to-send resumes the wait until the deadline.
  while (!stop_.load() && !(gate_by_rts_ && backoff_rts_changed_)) {
    const milliseconds left = remaining_until(deadline);
    if (left == milliseconds::zero()) return;
    backoff_wake_.wait_for(lock, left);
  }
}

// --- Sender thread ------------------------------------------------------

void Ip232SerialEndpoint::sender_main() {
  // Reused from pass to pass; it trades storage with tx_pending_.
  std::vector<std::uint8_t> batch;
  // The connection this thread last wrote to (0: none yet). A different
  // one has not yet been told the line state.
  std::uint64_t written_generation = 0;
  // A connection found gone: the sender takes no more bytes until a newer
  // one is published, so bytes go back at most once per connection.
  std::uint64_t abandoned_generation = 0;
  bool batch_ends_with_line_state = false;

  for (;;) {
    {
      std::unique_lock<std::mutex> lock(tx_lock_);
      // The last batch is written (or was put back): it no longer counts.
      if (tx_in_flight_ != 0) {
        tx_in_flight_ = 0;
        tx_queued_.store(tx_pending_.size(), std::memory_order_release);
      }
      tx_sender_waiting_ = true;
      tx_wake_.wait(lock, [&] {
        return stop_.load() ||
               (connected_.load() && tx_generation_ != abandoned_generation &&
                (!tx_pending_.empty() || tx_generation_ != written_generation));
      });
      tx_sender_waiting_ = false;
      if (stop_.load()) return;  // pending bytes are not sent
      batch.clear();
      batch.swap(tx_pending_);
      // Still held: tx_queued_ keeps counting these bytes until they are
      // written or put back.
      tx_in_flight_ = batch.size();
      batch_ends_with_line_state = tx_tail_is_line_state_;
      tx_tail_is_line_state_ = false;
    }

    std::shared_ptr<serial::HostSerialPort> current;
    std::uint64_t generation = 0;
    {
      std::lock_guard<std::mutex> lock(port_lock_);
      current = port_;
      generation = port_generation_;
    }
    const auto usable = [&] {
      return !stop_.load() && connected_.load() && current->is_open();
    };
    std::size_t data_start = 0;
    std::size_t sent = 0;
    bool written = false;
    bool send_failed = false;
    if (current && usable()) {
      if (generation != written_generation) {
        // Every connection after the first starts with the line state,
        // ahead of the bytes that waited for it; the first is told by the
        // pair that set_rts() queued when the endpoint was attached.
        if (generation > 1 && !line_decoder_.raw() && handshake_) {
          const auto pair = rts_change(rts_.load());
          batch.insert(batch.begin(), pair.begin(), pair.end());
          data_start = pair.size();
        }
        written_generation = generation;
      }
      while (sent < batch.size()) {
        const serial::WriteResult result = current->write(
            std::span<const std::uint8_t>(batch).subspan(sent));
        if (result.failed) {
          // Nothing of this call went out, and nothing more will on this
          // connection; the connector reads on until its end.
          send_failed = true;
          break;
        }
        sent += result.count;
        if (sent == batch.size()) break;
        // Partly taken (or not at all: the socket's buffer is full).
        std::this_thread::sleep_for(milliseconds(kPartialWritePauseMs));
        if (!usable()) break;
      }
      written = sent == batch.size();
    }
    if (written || stop_.load()) continue;

    // What no connection took waits, in order, for the next one (pending
    // bytes are not sent after stop anyway).
    put_back(batch, data_start, sent, batch_ends_with_line_state);
    if (send_failed || !current || !current->is_open()) {
      abandoned_generation = generation;
    } else {
      // Published but not yet marked connected: look again shortly.
      std::unique_lock<std::mutex> lock(tx_lock_);
      tx_wake_.wait_for(lock, kSenderRetryPause,
                        [this] { return stop_.load(); });
    }
  }
}

void Ip232SerialEndpoint::put_back(const std::vector<std::uint8_t>& batch,
                                   std::size_t data_start, std::size_t sent,
                                   bool ends_with_line_state) {
  // The batch holds whole sequences from `data_start` on. One that was cut
  // (only its escape byte went out) goes back whole: the old connection
  // could not decode a lone escape, and the next one must not begin with
  // the second half of a pair.
  const std::span<const std::uint8_t> data =
      std::span<const std::uint8_t>(batch).subspan(data_start);
  const std::size_t from =
      data_start +
      resume_point(line_decoder_.raw(), data,
                   sent > data_start ? sent - data_start : 0);
  std::lock_guard<std::mutex> lock(tx_lock_);
  if (from < batch.size()) {
    // The returned bytes end where the batch ended: the pair that may end
    // them is the tail only when nothing was written after them.
    if (tx_pending_.empty()) tx_tail_is_line_state_ = ends_with_line_state;
    tx_pending_.insert(tx_pending_.begin(),
                       batch.begin() + static_cast<std::ptrdiff_t>(from),
                       batch.end());
  }
  tx_in_flight_ = 0;
  tx_queued_.store(tx_pending_.size(), std::memory_order_release);
}

}  // namespace quorvex::ip232
