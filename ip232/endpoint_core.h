// EndpointCore: the state and the threads of an Ip232SerialEndpoint
// (ip232/ip232_serial_endpoint.h says what the endpoint promises). Only the
// endpoint and its own sources include this header.
//
// Locks: each shared member has its own mutex, and no path holds two at
// once. Values that the host's thread reads in its tight loops have a
// lock-free copy (Mirrored), written with every change under their lock.

#ifndef QUORVEX_IP232_ENDPOINT_CORE_H_
#define QUORVEX_IP232_ENDPOINT_CORE_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "api/connection_status.h"
#include "ip232/connection_log.h"
#include "ip232/ip232_serial_endpoint.h"
#include "ip232/line_coding.h"
#include "ip232/tx_buffer.h"
#include "serial/host_serial_port.h"
#include "sync/mirrored.h"
#include "sync/mutex.h"

namespace quorvex::ip232 {

class EndpointCore : public EndpointLimits {
 public:
  // Starts the connector and the sender; see Ip232SerialEndpoint.
  explicit EndpointCore(EndpointConfig config);
  ~EndpointCore();
  EndpointCore(const EndpointCore&) = delete;
  EndpointCore& operator=(const EndpointCore&) = delete;

  // The host's faces and the observers, as Ip232SerialEndpoint's.
  // SerialDataSource.
  bool has_byte();
  std::uint8_t read_byte() EXCLUDES(rx_lock_);  // 0 when empty
  bool carrier_detect();                         // always false

  // SerialDataSink.
  void write_byte(std::uint8_t byte) EXCLUDES(tx_lock_);
  bool ready_for_byte();
  void set_rts(bool asserted) EXCLUDES(tx_lock_, backoff_lock_);
  void set_break(bool active);  // ignored

  // Observers, safe from any thread.
  bool is_connected() const;
  std::string status_text() const EXCLUDES(status_lock_);
  std::uint64_t tx_dropped() const EXCLUDES(tx_lock_);
  // Coded bytes held for the network: waiting, and in the sender's batch.
  std::size_t tx_pending_size() const EXCLUDES(tx_lock_);
  // Received, not yet read by the host.
  std::size_t rx_queue_size() const EXCLUDES(rx_lock_);
  ConnectionStatus connection_status() const EXCLUDES(status_lock_);

 private:
  using Clock = std::chrono::steady_clock;
  // The receive queue is refilled once it has room for a whole read again,
  // so a host that reads slowly wakes the connector once per read, not per
  // byte.
  static constexpr std::size_t kRxResumeLevel = kRxQueueLimit - kReadChunkBytes;

  // The published connection: its port (empty when there is none) and its
  // number (1 for the first; 0 for none).
  struct Connection {
    std::shared_ptr<serial::HostSerialPort> port;
    std::uint64_t generation = 0;
  };
  // The connection being finished after a raw-mode hang-up, until the
  // server has acknowledged what was sent (and, while it is read, gone
  // quiet), it ends, or `deadline`. It is read while nothing newer is
  // wanted, and delivers until its first byte that does not fit (the cut)
  // or until something newer is asked for.
  struct FinishingConnection {
    std::shared_ptr<serial::HostSerialPort> port;
    std::uint64_t number = 0;  // its generation
    Clock::time_point deadline;
    bool delivers = true;
    // Where its data ends in the received stream, so far.
    std::uint64_t received_to = 0;
  };
  // Bytes taken out of the receive queue for the host to read one by one.
  struct HostBatch {
    std::array<std::uint8_t, kReadChunkBytes> bytes{};
    std::size_t next = 0;
    std::size_t end = 0;
  };
  enum class ConnectOutcome { kPublished, kFailed, kStopped };
  enum class ReadOutcome { kData, kQuiet, kEnded };

  // --- Connector thread (endpoint_connector.cpp) ---
  void connector_main() EXCLUDES(port_lock_, rx_lock_, status_lock_, backoff_lock_);
  // Whether a connection is wanted now: always in mode "ip232", while
  // request-to-send is asserted in mode "raw". Also arms the back-off: a
  // change of request-to-send from here on ends the next wait early.
  bool take_connection_wish() EXCLUDES(backoff_lock_);
  // Creates a port and publishes it when it is open; records the error and
  // backs off when it is not. Publishes nothing once stop is set.
  ConnectOutcome connect_and_publish() EXCLUDES(port_lock_, status_lock_, tx_lock_);
  // One read of the published connection: its data goes to the receive
  // queue (the rest waits as the backlog; the socket is not read while
  // there is one). Ends the connection when it closed.
  void serve(const Connection& current) EXCLUDES(port_lock_, rx_lock_);
  // Shuts the published `current` down, unpublishes it, backs off.
  void end_connection(const Connection& current) EXCLUDES(port_lock_);
  // Mode "raw", request-to-send dropped: unpublishes `current`, ends its
  // sending in order and keeps it for finishing, in place of the one being
  // finished before, which ends at once (its data cut there).
  void begin_hang_up(const Connection& current) EXCLUDES(port_lock_);
  // Reads the finishing connection once (waiting up to a read's wait),
  // delivering up to the cut; ends it when it is done.
  void drain_finishing() EXCLUDES(rx_lock_);
  // Stops the finishing connection from delivering (something newer was
  // asked for) and ends it when it is done, without reading.
  void tend_finishing();
  // Whether the finishing connection may end: its time is up, or the
  // server has acknowledged all that was sent and, when it is read, its
  // last read found nothing (`quiet`).
  bool finishing_done(bool quiet) const;
  // Shuts the finishing connection down and forgets it; nothing when there
  // is none.
  void end_finishing();
  // Reads connection `number`'s `port` once into rx_chunk_ (waiting up to
  // a read's wait) and decodes what came into `decoded` (emptied first).
  ReadOutcome read_and_decode(serial::HostSerialPort& port, std::uint64_t number,
                              std::vector<std::uint8_t>& decoded) EXCLUDES(status_lock_);
  // Clears the record of the published connection.
  void unpublish() EXCLUDES(port_lock_);
  // Appends what fits of `bytes` to the receive queue; returns how many.
  std::size_t deliver_received(std::span<const std::uint8_t> bytes) EXCLUDES(rx_lock_);
  // Delivers what fits of the backlog; whether some is still left.
  bool deliver_backlog() EXCLUDES(rx_lock_);
  // The offset in the received stream of the next byte read: past what
  // was delivered and the backlog.
  std::uint64_t next_received_offset() const {
    return rx_delivered_total_ + (rx_decoded_.size() - rx_delivered_);
  }
  // Records in the log that connection `number` carries no more data.
  void log_closed(std::uint64_t number, std::uint64_t received_to) EXCLUDES(status_lock_);
  // Waits, at most a short while, until the receive queue has room for a
  // whole read or stop is set.
  void wait_for_rx_room() EXCLUDES(rx_lock_);
  // Waits `interval`; ends early on stop and, in mode "raw", on a change
  // of request-to-send.
  void backoff_wait(std::chrono::milliseconds interval) EXCLUDES(backoff_lock_);
  void set_status(std::string_view text) EXCLUDES(status_lock_);

  // --- Sender thread (endpoint_sender.cpp) ---
  void sender_main() EXCLUDES(tx_lock_, port_lock_);
  // Waits until stop, or until a connection other than `given_up` is
  // published and there is something to write to it (waiting bytes, or
  // the start of a connection other than `opened`). False on stop.
  bool wait_for_work(std::uint64_t opened, std::uint64_t given_up) EXCLUDES(tx_lock_);
  // Writes `batch` to `connection` while it stays published and open,
  // pausing between partial writes and longer after one that must be
  // tried later; stops at one that failed for good. Returns how many bytes
  // went out.
  std::size_t write_batch(const Connection& connection,
                          std::span<const std::uint8_t> batch) EXCLUDES(status_lock_);
  // Waits `pause`, or less when stop is set.
  void pause_writing(std::chrono::milliseconds pause) EXCLUDES(tx_lock_);

  // --- Shared ---
  // A copy of the published connection's record.
  Connection published() const EXCLUDES(port_lock_);
  // The first steps of the stop sequence: sets stop, wakes every waiting
  // thread and shuts the published port down. Joining is left to the caller.
  void wake_and_shut_down() EXCLUDES(tx_lock_, backoff_lock_, rx_lock_, port_lock_);
  void notify_change() const;

  // Set at construction, read-only afterwards.
  const std::string host_;
  const std::uint16_t port_number_;
  // Mode "raw": data bytes uncoded, and the connection held only while
  // request-to-send is asserted.
  const bool raw_;
  // Mode "ip232" with handshake: request-to-send changes go in-band.
  const bool line_state_in_band_;

  std::atomic<bool> stop_{false};  // written by the destructor only
  std::atomic<bool> rts_{false};   // written by set_rts() only

  // The lock-free copies' sources.
  static std::uint64_t generation_of(const Connection& connection) {
    return connection.generation;
  }
  static std::size_t size_of(const std::deque<std::uint8_t>& queue) { return queue.size(); }
  static std::size_t left_of(const HostBatch& batch) { return batch.end - batch.next; }
  static bool ready_of(const TransmitBuffer& buffer) { return buffer.ready(); }

  mutable sync::Mutex port_lock_;
  // The published connection. Its number is copied for ready_for_byte()
  // and the sender's wait, which take no lock: 0 while nothing is
  // published, which is "not connected".
  sync::Mirrored<Connection, std::uint64_t> connection_ GUARDED_BY(port_lock_){generation_of};
  const std::atomic<std::uint64_t>& connected_generation_ = connection_.copy();
  std::uint64_t generations_ = 0;  // ports published; the connector's own

  mutable sync::Mutex rx_lock_;
  sync::CondVar rx_room_;  // waited on by the connector only
  // At most kRxQueueLimit bytes together with the host's batch. Its size
  // is copied for has_byte(), which the host calls in a tight loop.
  sync::Mirrored<std::deque<std::uint8_t>, std::size_t> rx_queue_ GUARDED_BY(rx_lock_){size_of};
  const std::atomic<std::size_t>& rx_queued_ = rx_queue_.copy();
  bool rx_connector_waiting_ GUARDED_BY(rx_lock_) = false;

  // The host's batch: read_byte() moves up to a read's worth of bytes out
  // of rx_queue_ under rx_lock_ at once and hands them out one by one
  // without it. Used by the host's thread only; the count of bytes left in
  // it lets the connector count them against the receive queue's limit.
  sync::Mirrored<HostBatch, std::size_t> rx_batch_{left_of};
  const std::atomic<std::size_t>& rx_batch_left_ = rx_batch_.copy();

  mutable sync::Mutex tx_lock_;
  sync::CondVar tx_wake_;  // waited on by the sender only
  // Whether it is ready for a byte is copied for ready_for_byte(), which
  // the host asks before every byte.
  sync::Mirrored<TransmitBuffer, bool> tx_ GUARDED_BY(tx_lock_);
  const std::atomic<bool>& tx_ready_ = tx_.copy();
  bool tx_sender_waiting_ GUARDED_BY(tx_lock_) = false;

  sync::Mutex backoff_lock_;
  sync::CondVar backoff_wake_;  // waited on by the connector only
  bool backoff_rts_changed_ GUARDED_BY(backoff_lock_) = false;

  mutable sync::Mutex status_lock_;
  // The connections' record and the last connect error; written by both
  // threads, read by connection_status() and status_text().
  ConnectionLog log_ GUARDED_BY(status_lock_);

  // The connector's own state; no other thread touches it.
  // The receiving side of the line coding: a half-received escape, kept
  // across reads and forgotten at each new connection.
  LineDecoder line_decoder_;
  std::array<std::uint8_t, kReadChunkBytes> rx_chunk_{};
  // Data bytes of the last read of the published connection; those from
  // rx_delivered_ on did not fit in the receive queue yet (the backlog).
  // While any are left that connection is not read, so TCP flow control
  // holds the server back and nothing received is lost.
  std::vector<std::uint8_t> rx_decoded_;
  std::size_t rx_delivered_ = 0;
  // Data bytes ever delivered to the receive queue.
  std::uint64_t rx_delivered_total_ = 0;
  // Data bytes of the last read of a finishing connection.
  std::vector<std::uint8_t> drain_decoded_;
  // The connection being finished after the last raw-mode hang-up. With
  // it the endpoint holds at most three sockets: the published one, this
  // one and one being connected.
  std::optional<FinishingConnection> finishing_;

  const std::function<void()> on_change_;

  std::thread connector_;
  std::thread sender_;
};

}  // namespace quorvex::ip232

#endif  // QUORVEX_IP232_ENDPOINT_CORE_H_
