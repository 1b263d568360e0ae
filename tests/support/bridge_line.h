// A bridge endpoint as the bridge tests set it up: its construction record
// with the settings attach would choose, a loopback server for it to reach,
// and the machine's reads through the device's source face.

#ifndef QUORVEX_TESTS_SUPPORT_BRIDGE_LINE_H_
#define QUORVEX_TESTS_SUPPORT_BRIDGE_LINE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/serial_device.h"
#include "ip232/ip232_serial_endpoint.h"
#include "tools/net/tcp_stream.h"
#include "tests/support/loopback_server.h"

namespace quorvex::test {

// What a test chooses about an endpoint.
struct EndpointSetup {
  std::string address = kLoopbackIpv4;
  std::uint16_t port = 0;
  bool raw = false;
  bool handshake = true;
  std::size_t tx_buffer = 4096;
  std::function<void()> on_change = nullptr;
};

ip232::EndpointConfig endpoint_config(EndpointSetup setup);
std::unique_ptr<ip232::Ip232SerialEndpoint> make_endpoint(EndpointSetup setup);

// What the machine reads through has_byte()/read_byte() until `count`
// bytes have come or `timeout_ms` has passed.
std::vector<std::uint8_t> host_read(SerialDataSource& source, std::size_t count,
                                    int timeout_ms = kPatientWaitMs);
void host_write(SerialDataSink& sink, const std::vector<std::uint8_t>& bytes);

// A loopback server and an endpoint aimed at it (setup.port is ignored).
struct BridgeLine {
  explicit BridgeLine(EndpointSetup setup = {},
                      LoopbackServer::Options options = {});

  // Takes the endpoint's first connection as `peer` and waits until the
  // endpoint counts itself connected (in mode "raw" request-to-send must
  // be asserted first); a fatal failure when either does not come.
  void connect();

  LoopbackServer server;
  std::unique_ptr<ip232::Ip232SerialEndpoint> endpoint;
  std::optional<net::TcpStream> peer;
};

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_BRIDGE_LINE_H_
