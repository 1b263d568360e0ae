// ConnectionStatusSource: an optional face of a serial device that carries
// the line over a network connection. A host that knows this face reaches
// it from the attached device with dynamic_cast and asks what the
// connection does; a host that does not know it sees nothing new. The
// device's own faces (serial_device.h) are unchanged by it.
//
// Like those faces it is complete here: nothing of it lives in the host's
// API library. Its answers are values, safe to keep after the call.

#ifndef QUORVEX_API_CONNECTION_STATUS_H_
#define QUORVEX_API_CONNECTION_STATUS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvex {

// One connection the device made. Byte offsets count the data bytes the
// device has handed to the machine's side (the received stream): a host
// that reads every byte can tell where in it a connection began and ended.
struct ConnectionRecord {
  std::uint64_t number = 0;  // 1 for the device's first connection
  // Still carrying data: published, or finishing after a hang-up.
  bool open = false;
  // How long it has been up, or how long it lasted.
  std::chrono::steady_clock::duration duration{};
  std::uint64_t bytes_sent = 0;      // written to the connection, as coded
  std::uint64_t bytes_received = 0;  // read from the connection, as coded
  // Offsets in the received stream of its first data byte and (once it is
  // no longer open) just past its last.
  std::uint64_t received_from = 0;
  std::uint64_t received_to = 0;
};

struct ConnectionStatus {
  std::string host;  // as given: a name or address, IPv6 without brackets
  std::uint16_t port = 0;
  // The connection is held only while request-to-send is asserted.
  bool held_by_rts = false;
  bool connected = false;           // a connection is up for sending now
  std::uint64_t connections = 0;    // made so far, each one counted
  // Why the last attempt failed, worded by the transport ("cannot connect
  // to ...", "cannot resolve ..."); empty after a successful connect.
  std::string status_text;
  // Escape sequences received that the line coding does not know (a
  // telnet server's negotiation shows up here); over all connections.
  std::uint64_t unknown_escapes = 0;
  // The latest connections, oldest first: at most kRecentConnections.
  std::vector<ConnectionRecord> recent;
};

class ConnectionStatusSource {
 public:
  static constexpr std::size_t kRecentConnections = 16;

  // A consistent picture of the connection now. Any thread; takes only a
  // short lock of the device.
  virtual ConnectionStatus connection_status() const = 0;

 protected:
  ~ConnectionStatusSource() = default;
};

}  // namespace quorvex

#endif  // QUORVEX_API_CONNECTION_STATUS_H_
