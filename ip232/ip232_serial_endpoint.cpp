// Ip232SerialEndpoint and its core: construction, the stop sequence and
// the faces the host calls. The two threads live in endpoint_connector.cpp
// and endpoint_sender.cpp.

#include "ip232/ip232_serial_endpoint.h"

#include "ip232/endpoint_core.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace quorvex::ip232 {

namespace {

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

EndpointCore::EndpointCore(EndpointConfig config)
    : host_(std::move(config.host)),
      port_number_(config.port),
      raw_(config.raw),
      line_state_in_band_(!config.raw && config.handshake),
      tx_(ready_of, config.raw, config.tx_buffer),
      line_decoder_(config.raw),
      on_change_(std::move(config.on_change)) {
  rx_decoded_.reserve(kReadChunkBytes);
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

EndpointCore::~EndpointCore() {
  wake_and_shut_down();
  connector_.join();
  sender_.join();
}

void EndpointCore::wake_and_shut_down() {
  stop_.store(true);
  // Each waiter checks stop under its own lock; taking the lock before the
  // notification means none of them can miss it between check and wait.
  { sync::MutexLock lock(tx_lock_); }
  tx_wake_.notify_all();
  { sync::MutexLock lock(backoff_lock_); }
  backoff_wake_.notify_all();
  { sync::MutexLock lock(rx_lock_); }
  rx_room_.notify_all();
  // Makes a read in progress return within its wait. A connection being
  // finished ends at the connector's next turn, within a read's wait too.
  const Connection current = published();
  if (current.port) current.port->shutdown();
}

EndpointCore::Connection EndpointCore::published() const {
  sync::MutexLock lock(port_lock_);
  return connection_.get();
}

void EndpointCore::notify_change() const {
  if (on_change_) on_change_();
}

// --- Source face --------------------------------------------------------

bool EndpointCore::has_byte() {
  // Only the host removes bytes, so a byte seen here is still there for
  // read_byte().
  return rx_batch_left_.load(std::memory_order_relaxed) > 0 ||
         rx_queued_.load(std::memory_order_acquire) > 0;
}

std::uint8_t EndpointCore::read_byte() {
  if (rx_batch_.get().next < rx_batch_.get().end) {
    return rx_batch_.change([](HostBatch& batch) { return batch.bytes[batch.next++]; });
  }
  bool wake_connector = false;
  {
    sync::MutexLock lock(rx_lock_);
    if (rx_queue_.get().empty()) return 0;
    // The oldest bytes, in order; the first one is returned now.
    const std::size_t count = std::min(rx_queue_.get().size(), kReadChunkBytes);
    rx_queue_.change([&](std::deque<std::uint8_t>& queue) {
      const auto end = queue.begin() + static_cast<std::ptrdiff_t>(count);
      rx_batch_.change([&](HostBatch& batch) {
        std::copy(queue.begin(), end, batch.bytes.begin());
        batch.next = 1;
        batch.end = count;
      });
      queue.erase(queue.begin(), end);
    });
    // Looked at once per batch, not per byte: a connector waiting for room
    // is woken by the first batch taken at or below the resume level.
    wake_connector = rx_connector_waiting_ &&
                     rx_queue_.get().size() + count - 1 <= kRxResumeLevel;
  }
  if (wake_connector) rx_room_.notify_one();
  return rx_batch_.get().bytes[0];
}

bool EndpointCore::carrier_detect() { return false; }

// --- Sink face ----------------------------------------------------------

void EndpointCore::write_byte(std::uint8_t byte) {
  bool wake_sender = false;
  {
    sync::MutexLock lock(tx_lock_);
    // A sender waiting with bytes pending waits for a connection, not for
    // bytes: only the first byte into an empty buffer needs to wake it.
    const bool was_empty = !tx_.get().has_waiting();
    if (!tx_.change([&](TransmitBuffer& tx) { return tx.add_data(byte); })) return;
    wake_sender = tx_sender_waiting_ && was_empty;
  }
  if (wake_sender) tx_wake_.notify_one();
}

bool EndpointCore::ready_for_byte() {
  if (connected_generation_.load() == 0) return false;
  // As it stood after the last change under tx_lock_.
  return tx_ready_.load(std::memory_order_acquire);
}

void EndpointCore::set_rts(bool asserted) {
  // Stored first, so that whoever is woken below sees the new state.
  rts_.store(asserted);
  if (raw_) {
    {
      sync::MutexLock lock(backoff_lock_);
      backoff_rts_changed_ = true;
    }
    backoff_wake_.notify_all();
    return;
  }
  if (!line_state_in_band_) return;
  bool wake_sender = false;
  {
    sync::MutexLock lock(tx_lock_);
    const bool was_empty = !tx_.get().has_waiting();
    tx_.change([&](TransmitBuffer& tx) { tx.add_line_state(asserted); });
    wake_sender = tx_sender_waiting_ && was_empty && tx_.get().has_waiting();
  }
  if (wake_sender) tx_wake_.notify_one();
}

void EndpointCore::set_break(bool) {}

// --- Observers ----------------------------------------------------------

bool EndpointCore::is_connected() const {
  return connected_generation_.load() != 0;
}

std::string EndpointCore::status_text() const {
  sync::MutexLock lock(status_lock_);
  return log_.status_text();
}

ConnectionStatus EndpointCore::connection_status() const {
  ConnectionStatus status;
  status.host = host_;
  status.port = port_number_;
  status.held_by_rts = raw_;
  status.connected = is_connected();
  sync::MutexLock lock(status_lock_);
  log_.fill(status, Clock::now());
  return status;
}

std::uint64_t EndpointCore::tx_dropped() const {
  sync::MutexLock lock(tx_lock_);
  return tx_.get().dropped();
}

std::size_t EndpointCore::tx_pending_size() const {
  sync::MutexLock lock(tx_lock_);
  return tx_.get().held();
}

std::size_t EndpointCore::rx_queue_size() const {
  sync::MutexLock lock(rx_lock_);
  return rx_queue_.get().size() + rx_batch_left_.load(std::memory_order_acquire);
}

// --- Ip232SerialEndpoint -------------------------------------------------

Ip232SerialEndpoint::Ip232SerialEndpoint(EndpointConfig config)
    : core_(std::make_unique<EndpointCore>(std::move(config))) {}
Ip232SerialEndpoint::~Ip232SerialEndpoint() = default;

bool Ip232SerialEndpoint::has_byte() { return core_->has_byte(); }
std::uint8_t Ip232SerialEndpoint::read_byte() { return core_->read_byte(); }
bool Ip232SerialEndpoint::carrier_detect() { return core_->carrier_detect(); }
void Ip232SerialEndpoint::write_byte(std::uint8_t byte) { core_->write_byte(byte); }
bool Ip232SerialEndpoint::ready_for_byte() { return core_->ready_for_byte(); }
void Ip232SerialEndpoint::set_rts(bool asserted) { core_->set_rts(asserted); }
void Ip232SerialEndpoint::set_break(bool active) { core_->set_break(active); }
bool Ip232SerialEndpoint::is_connected() const { return core_->is_connected(); }
std::string Ip232SerialEndpoint::status_text() const { return core_->status_text(); }
std::uint64_t Ip232SerialEndpoint::tx_dropped() const { return core_->tx_dropped(); }
std::size_t Ip232SerialEndpoint::tx_pending_size() const { return core_->tx_pending_size(); }
std::size_t Ip232SerialEndpoint::rx_queue_size() const { return core_->rx_queue_size(); }
ConnectionStatus Ip232SerialEndpoint::connection_status() const {
  return core_->connection_status();
}

}  // namespace quorvex::ip232
