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
// The destructor stops and joins both. This header is what callers use;
// the state and the two threads' steps are EndpointCore's
// (ip232/endpoint_core.h), split by role: ip232_serial_endpoint.cpp
// (construction, stop and the host's faces), endpoint_connector.cpp and
// endpoint_sender.cpp (the two threads).
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

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "api/connection_status.h"
#include "api/serial_device.h"
#include "ip232/endpoint_config.h"
#include "ip232/tx_buffer.h"

namespace quorvex::ip232 {

class EndpointCore;

// The endpoint's fixed figures, shared by the endpoint and its core.
struct EndpointLimits {
  static constexpr std::chrono::milliseconds kConnectTimeout{2000};
  static constexpr std::chrono::milliseconds kBackoff{500};
  static constexpr std::chrono::milliseconds kIdlePoll{200};
  static constexpr std::size_t kReadChunkBytes = 256;
  static constexpr std::size_t kRxQueueLimit = 4096;
  static constexpr std::chrono::milliseconds kPartialWritePause{2};
  static constexpr std::size_t kTxOverrunBytes = TransmitBuffer::kOverrunBytes;
  // Longest time a connection is finished after request-to-send was dropped
  // in mode "raw", for the server to take what was sent.
  static constexpr std::chrono::milliseconds kHangUpDrain{3000};
  // Pause of the sender after a failed write before it tries again.
  static constexpr std::chrono::milliseconds kSendRetryPause{100};
  // Most coded bytes the endpoint ever holds for the network (waiting and
  // being written) with a transmit threshold of `tx_buffer`.
  static constexpr std::size_t tx_bound(std::size_t tx_buffer) {
    return TransmitBuffer::bound(tx_buffer);
  }
};

// Besides the device's faces it offers ConnectionStatusSource, which a host
// that knows it reaches with dynamic_cast; the device's own faces and their
// slots stay as they are.
class Ip232SerialEndpoint final : public SerialPortDevice,
                                  public ConnectionStatusSource,
                                  public EndpointLimits {
 public:
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
  std::uint8_t read_byte() override;  // 0 when empty
  bool carrier_detect() override;  // always false

  // SerialDataSink.
  void write_byte(std::uint8_t byte) override;
  bool ready_for_byte() override;
  void set_rts(bool asserted) override;
  void set_break(bool active) override;  // ignored

  // Observers, safe from any thread.
  bool is_connected() const;
  std::string status_text() const;
  std::uint64_t tx_dropped() const;
  // Coded bytes held for the network: waiting, and in the sender's batch.
  std::size_t tx_pending_size() const;
  // Received, not yet read by the host.
  std::size_t rx_queue_size() const;

  // ConnectionStatusSource.
  ConnectionStatus connection_status() const override;

 private:
  // Owns the threads; destroying it runs the stop sequence.
  std::unique_ptr<EndpointCore> core_;
};

}  // namespace quorvex::ip232

#endif  // QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_
