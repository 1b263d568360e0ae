// Ip232SerialEndpoint: the serial device that bridges an emulated machine's
// serial port to a TCP server.
//
// Towards the host it is a SerialPortDevice: the host's emulation thread
// pulls received bytes through the source face and pushes transmitted bytes
// and request-to-send changes through the sink face. Those calls never wait
// for the network, only for the endpoint's short internal locks.
//
// Towards the network it runs two threads for its whole life: the connector
// connects (and reconnects, without limit), reads and decodes into the
// receive queue; the sender drains the transmit buffer into the connection.
// The destructor stops and joins both. The code is split by role:
// ip232_serial_endpoint.cpp (construction, stop and the host's faces),
// endpoint_connector.cpp and endpoint_sender.cpp (the two threads).
//
// The receive queue holds at most 4096 bytes; when it is full the connector
// stops reading the socket until the host takes bytes, so nothing received
// on a connection it holds is lost. The transmit buffer (TransmitBuffer,
// ip232/tx_buffer.h) holds coded bytes, never more than tx_bound(); bytes
// that no connection took (the connection went away first) go back, in
// order, for the next one. Each connection after the first begins with the
// current request-to-send state when that is sent in-band.
//
// The ends of a connection lose nothing that the endpoint holds:
// - when the server hangs up (in order or with a reset), every byte it sent
//   before that and that the system still holds reaches the receive queue;
// - a write that fails for good (the connection was reset, aborted or
//   timed out) ends the connection: the connector delivers what it
//   received before that and then ends it at once, within a read's wait;
//   what was not written waits, in order, for the next connection. A write
//   that fails for a reason that may pass (a soft network error) sends
//   nothing and ends nothing: the sender tries the same bytes again after
//   kSendRetryPauseMs; a shortage of the system's buffers is retried like
//   a full send buffer;
// - in mode "raw", dropping request-to-send unpublishes the connection, ends
//   its sending in order (a half-close) and goes on finishing it beside
//   whatever comes next: it is read until the server has acknowledged what
//   was sent and gone quiet, has closed its side, kHangUpDrainMs have
//   passed, or the next hang-up ends it (one is finished at a time). Its bytes go to the receive queue while they fit and nothing
//   newer has been asked for: the machine gets a prefix of what the server
//   sent, cut at the first byte that did not fit or at the moment
//   request-to-send is raised again, which connects at once.
// Only the stop sequence ends a connection without waiting.

#ifndef QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_
#define QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_

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

#include "api/serial_device.h"
#include "ip232/line_coding.h"
#include "ip232/tx_buffer.h"
#include "serial/host_serial_port.h"
#include "sync/mutex.h"

namespace quorvex::ip232 {

// How an endpoint connects and codes its line.
struct EndpointConfig {
  std::string host;             // name or address, IPv6 without brackets
  std::uint16_t port = 0;       // TCP port
  bool raw = false;             // mode "raw" (else "ip232")
  bool handshake = true;        // send request-to-send changes in-band
  std::size_t tx_buffer = 4096; // transmit threshold in bytes, above 0
  // Called on the connector thread after every change of connection state
  // and after every failed attempt. May be empty.
  std::function<void()> on_change;
};

class Ip232SerialEndpoint final : public SerialPortDevice {
 public:
  static constexpr std::int64_t kConnectTimeoutMs = 2000;
  static constexpr std::int64_t kBackoffMs = 500;
  static constexpr std::int64_t kIdlePollMs = 200;
  static constexpr std::size_t kReadChunkBytes = 256;
  static constexpr std::size_t kRxQueueLimit = 4096;
  static constexpr std::int64_t kPartialWritePauseMs = 2;
  static constexpr std::size_t kTxOverrunBytes = TransmitBuffer::kOverrunBytes;
  // Longest time a connection is finished after request-to-send was dropped
  // in mode "raw", for the server to take what was sent.
  static constexpr std::int64_t kHangUpDrainMs = 3000;
  // Pause of the sender after a failed write before it tries again.
  static constexpr std::int64_t kSendRetryPauseMs = 100;
  // Most coded bytes the endpoint ever holds for the network (waiting and
  // being written) with a transmit threshold of `tx_buffer`.
  static constexpr std::size_t tx_bound(std::size_t tx_buffer) {
    return TransmitBuffer::bound(tx_buffer);
  }

  // Starts the connector and the sender; returns at once. Throws
  // std::system_error when a thread cannot be started (nothing is left
  // running then).
  explicit Ip232SerialEndpoint(EndpointConfig config);
  // Stops both threads: wakes them, shuts the current connection down and
  // joins them. Returns after a connection attempt in progress has ended.
  ~Ip232SerialEndpoint() override;

  Ip232SerialEndpoint(const Ip232SerialEndpoint&) = delete;
  Ip232SerialEndpoint& operator=(const Ip232SerialEndpoint&) = delete;

  // SerialDataSource.
  bool has_byte() override;
  std::uint8_t read_byte() override EXCLUDES(rx_lock_);  // 0 when empty
  bool carrier_detect() override;                         // always false

  // SerialDataSink.
  void write_byte(std::uint8_t byte) override EXCLUDES(tx_lock_);
  bool ready_for_byte() override;
  void set_rts(bool asserted) override EXCLUDES(tx_lock_, backoff_lock_);
  void set_break(bool active) override;  // ignored

  // Observers, safe from any thread.
  bool is_connected() const;
  std::string status_text() const EXCLUDES(status_lock_);
  std::uint64_t tx_dropped() const EXCLUDES(tx_lock_);
  // Coded bytes held for the network: waiting, and in the sender's batch.
  std::size_t tx_pending_size() const EXCLUDES(tx_lock_);
  // Received, not yet read by the host.
  std::size_t rx_queue_size() const EXCLUDES(rx_lock_);

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
    Clock::time_point deadline;
    bool delivers = true;
  };
  enum class ConnectOutcome { kPublished, kFailed, kStopped };
  enum class ReadOutcome { kData, kQuiet, kEnded };

  // --- Connector thread (endpoint_connector.cpp) ---
  void connector_main() EXCLUDES(port_lock_, rx_lock_, status_lock_, backoff_lock_);
  // Whether a connection is wanted now: always in mode "ip232", while
  // request-to-send is asserted in mode "raw". Changes of request-to-send
  // from here on end the next back-off wait early.
  bool connection_wanted() EXCLUDES(backoff_lock_);
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
  // Reads `port` once into rx_chunk_ (waiting up to a read's wait) and
  // decodes what came into `decoded` (emptied first).
  ReadOutcome read_and_decode(serial::HostSerialPort& port,
                              std::vector<std::uint8_t>& decoded);
  // Clears the record of the published connection.
  void unpublish() EXCLUDES(port_lock_);
  // Appends what fits of `bytes` to the receive queue; returns how many.
  std::size_t deliver_received(std::span<const std::uint8_t> bytes) EXCLUDES(rx_lock_);
  // Delivers what fits of the backlog; whether some is still left.
  bool deliver_backlog() EXCLUDES(rx_lock_);
  // Waits, at most a short while, until the receive queue has room for a
  // whole read or stop is set.
  void wait_for_rx_room() EXCLUDES(rx_lock_);
  // Waits `interval_ms`; ends early on stop and, in mode "raw", on a
  // change of request-to-send.
  void backoff_wait(std::int64_t interval_ms) EXCLUDES(backoff_lock_);
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
                          std::span<const std::uint8_t> batch);
  // Waits `pause`, or less when stop is set.
  void pause_writing(std::chrono::milliseconds pause) EXCLUDES(tx_lock_);

  // --- Shared ---
  // A copy of the published connection's record.
  Connection published() const EXCLUDES(port_lock_);
  // The first steps of the stop sequence: sets stop, wakes every waiting
  // thread and shuts the published port down. Joining is left to the caller.
  void wake_and_shut_down() EXCLUDES(tx_lock_, backoff_lock_, rx_lock_, port_lock_);
  void notify_change() const;
  // Stores tx_.ready() for the host's lock-free ready_for_byte().
  void publish_tx_ready() REQUIRES(tx_lock_);

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

  mutable sync::Mutex port_lock_;
  Connection connection_ GUARDED_BY(port_lock_);
  std::uint64_t generations_ GUARDED_BY(port_lock_) = 0;  // ports published
  // connection_.generation, stored under port_lock_ with every change of
  // the record, so that ready_for_byte() and the sender's wait need no
  // lock: 0 while nothing is published, which is "not connected".
  std::atomic<std::uint64_t> connected_generation_{0};

  mutable sync::Mutex rx_lock_;
  sync::CondVar rx_room_;  // waited on by the connector only
  std::deque<std::uint8_t> rx_queue_ GUARDED_BY(rx_lock_);  // at most kRxQueueLimit
  bool rx_connector_waiting_ GUARDED_BY(rx_lock_) = false;
  // rx_queue_.size(), stored under rx_lock_ after every change, so that
  // has_byte(), which the host calls in a tight loop, needs no lock.
  std::atomic<std::size_t> rx_queued_{0};

  // The host's batch: read_byte() moves up to a read's worth of bytes out
  // of rx_queue_ under rx_lock_ at once and hands them out one by one
  // without it. Used by the host's thread only; rx_batch_left_, written by
  // that thread only, lets the connector count these bytes against the
  // receive queue's limit, so queue and batch together never hold more
  // than kRxQueueLimit bytes.
  std::array<std::uint8_t, kReadChunkBytes> rx_batch_{};
  std::size_t rx_batch_next_ = 0;
  std::size_t rx_batch_end_ = 0;
  std::atomic<std::size_t> rx_batch_left_{0};

  mutable sync::Mutex tx_lock_;
  sync::CondVar tx_wake_;  // waited on by the sender only
  TransmitBuffer tx_ GUARDED_BY(tx_lock_);
  bool tx_sender_waiting_ GUARDED_BY(tx_lock_) = false;
  // tx_.ready(), stored under tx_lock_ after every change, so that
  // ready_for_byte(), which the host asks before every byte, needs no lock.
  std::atomic<bool> tx_ready_{true};

  sync::Mutex backoff_lock_;
  sync::CondVar backoff_wake_;  // waited on by the connector only
  bool backoff_rts_changed_ GUARDED_BY(backoff_lock_) = false;

  mutable sync::Mutex status_lock_;
  std::string status_text_ GUARDED_BY(status_lock_);  // empty after a connect

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

#endif  // QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_
