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
// and counts what it refuses beyond that.

#ifndef QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_
#define QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
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
  std::size_t tx_pending_size() const;
  std::size_t rx_queue_size() const;

 private:
  // (fields and thread bodies: to be written with the bridge)
};

}  // namespace quorvex::ip232

#endif  // QUORVEX_IP232_IP232_SERIAL_ENDPOINT_H_
