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
// The destructor stops and joins both.
//
// The receive queue holds at most 4096 bytes; when it is full the connector
// stops reading the socket until the host takes bytes, so nothing received
// is lost. The transmit buffer holds coded bytes: ready_for_byte() turns
// false at tx_buffer bytes, write_byte() keeps accepting up to tx_buffer + 64
// and counts what it refuses beyond that. Both count the batch the sender is
// writing as well as the bytes waiting, so the endpoint never holds more than
// tx_bound() bytes for the network. Bytes that no connection took (the
// connection went away first) go back, in order, for the next one; each
// connection after the first begins with the current request-to-send state
// when that is sent in-band. A request-to-send change is never refused: when
// the buffer is full it goes in past the limit, and further changes replace
// it until data follows, so the peer always ends up with the current state.
//
// The ends of a connection lose nothing that the endpoint holds:
// - when the server hangs up (in order or with a reset), every byte it sent
//   before that and that the system still holds reaches the receive queue;
//   a failed write ends sending on that connection only, and what was not
//   written waits for the next connection;
// - in mode "raw", dropping request-to-send ends sending in order (a
//   half-close) and keeps reading until the server has acknowledged what
//   was sent and gone quiet (nothing for one read's wait), has closed its
//   side, or kHangUpDrainMs have passed; bytes
//   that arrive meanwhile go to the receive queue while it has room and are
//   discarded after that.
// Only the stop sequence ends a connection without waiting.

#ifndef QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_
#define QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "api/serial_device.h"
#include "ip232/line_coding.h"
#include "serial/host_serial_port.h"

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
  static constexpr std::size_t kTxOverrunBytes = 64;
  // Longest wait, after request-to-send was dropped in mode "raw", for the
  // server to take what was sent before the connection is closed.
  static constexpr std::int64_t kHangUpDrainMs = 3000;
  // Most coded bytes the endpoint ever holds for the network (waiting and
  // being written) with a transmit threshold of `tx_buffer`: the hard
  // limit, one byte of a doubled 0xFF past it, and one line-state pair that
  // is never refused.
  static constexpr std::size_t tx_bound(std::size_t tx_buffer) {
    return tx_buffer + kTxOverrunBytes + 3;
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
  std::uint8_t read_byte() override;  // 0, queue unchanged, when empty
  bool carrier_detect() override;     // always false

  // SerialDataSink.
  void write_byte(std::uint8_t byte) override;
  bool ready_for_byte() override;
  void set_rts(bool asserted) override;
  void set_break(bool active) override;  // ignored

  // Observers, safe from any thread.
  bool is_connected() const;
  std::string status_text() const;  // last connection error; empty when ok
  std::uint64_t tx_dropped() const;
  // Coded bytes held for the network: waiting, and in the sender's batch.
  std::size_t tx_pending_size() const;
  std::size_t rx_queue_size() const;  // received, not yet read by the host

 private:
  // Thread bodies.
  void connector_main();
  void sender_main();

  // Connector steps. Creates a port and publishes it when it is open;
  // records the error and backs off when it is not. False when stop was
  // set meanwhile (nothing is published then).
  bool connect_and_publish();
  // Clears the published port and `connected`; the caller holds a copy.
  void unpublish();
  // Shuts `current` (the published port) down and unpublishes it.
  void drop_connection(serial::HostSerialPort& current);
  // Mode "raw", request-to-send dropped: unpublishes `current`, ends its
  // sending in order and reads on (into `chunk`, delivering what fits of
  // the data into the receive queue) until the server has taken what was
  // sent, closes, kHangUpDrainMs pass or stop is set; then shuts it down.
  // `backlog` holds decoded bytes still waiting for room; they stay first.
  void hang_up(serial::HostSerialPort& current, std::span<std::uint8_t> chunk,
               bool backlog);
  // Appends what fits of `bytes` to the receive queue; returns how many.
  std::size_t deliver_received(std::span<const std::uint8_t> bytes);
  // Waits, at most a short while, until the receive queue has room for a
  // whole read or stop is set.
  void wait_for_rx_room();
  // Waits `interval_ms` on backoff_wake_; ends early on stop and, in mode
  // "raw", on a change of request-to-send.
  void backoff_wait(std::int64_t interval_ms);

  // Sender step: puts the part of `batch` that no connection took back at
  // the front of tx_pending_. `data_start` is where the bytes taken from
  // tx_pending_ begin (after a line-state pair for the connection), `sent`
  // how many bytes of the batch went out; `ends_with_line_state` whether
  // the batch ends with a request-to-send pair.
  void put_back(const std::vector<std::uint8_t>& batch, std::size_t data_start,
                std::size_t sent, bool ends_with_line_state);

  // The first steps of the stop sequence: sets stop, wakes every waiting
  // thread and shuts the published port down. Joining is left to the caller.
  void wake_and_shut_down();
  void notify_change() const;

  // Set at construction, read-only afterwards.
  const std::string host_;
  const std::uint16_t port_number_;
  const bool gate_by_rts_;  // mode "raw": connect only while rts_ is set
  const bool handshake_;    // send request-to-send changes in-band
  // The receiving side of the line coding (mode flag and half-received
  // escape). Its mode flag is read by every thread; the escape state is
  // used by the connector thread only and lives as long as the endpoint.
  LineDecoder line_decoder_;
  const std::size_t tx_ready_limit_;
  const std::size_t tx_hard_limit_;

  std::atomic<bool> stop_{false};       // written by the destructor only
  std::atomic<bool> connected_{false};  // written by the connector only
  std::atomic<bool> rts_{false};        // written by set_rts() only

  mutable std::mutex port_lock_;
  // State below is protected by port_lock_.
  std::shared_ptr<serial::HostSerialPort> port_;  // empty when not connected
  std::uint64_t port_generation_ = 0;  // number of ports published so far

  mutable std::mutex rx_lock_;
  std::condition_variable rx_room_;  // waited on by the connector only
  // State below is protected by rx_lock_.
  std::deque<std::uint8_t> rx_queue_;  // at most kRxQueueLimit bytes
  bool rx_connector_waiting_ = false;  // the connector waits for room
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

  mutable std::mutex tx_lock_;
  std::condition_variable tx_wake_;  // waited on by the sender only
  // State below is protected by tx_lock_.
  std::vector<std::uint8_t> tx_pending_;  // coded bytes not yet sent
  std::uint64_t tx_dropped_ = 0;  // bytes refused because the buffer was full
  // Bytes the sender took out of tx_pending_ and has not finished with:
  // they count against the limits until they are written or put back.
  std::size_t tx_in_flight_ = 0;
  // The last bytes of tx_pending_ are a request-to-send pair that a later
  // change may replace when there is no room for another.
  bool tx_tail_is_line_state_ = false;
  bool tx_sender_waiting_ = false;   // the sender waits on tx_wake_
  // tx_pending_.size() + tx_in_flight_, stored under tx_lock_ after every
  // change, so that ready_for_byte(), which the host asks before every
  // byte, needs no lock.
  std::atomic<std::size_t> tx_queued_{0};
  std::uint64_t tx_generation_ = 0;  // number of the newest published port

  std::mutex backoff_lock_;
  std::condition_variable backoff_wake_;  // waited on by the connector only
  // State below is protected by backoff_lock_.
  bool backoff_rts_changed_ = false;  // set_rts() ran since the last check

  mutable std::mutex status_lock_;
  // State below is protected by status_lock_.
  std::string status_text_;  // last connection error; empty after a connect

  const std::function<void()> on_change_;

  std::thread connector_;
  std::thread sender_;
};

}  // namespace quorvex::ip232

#endif  // QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_
