#include "tests/support/bridge_line.h"

#include <gtest/gtest.h>

#include <utility>

#include "tests/support/waiting.h"

namespace quorvex::test {

ip232::EndpointConfig endpoint_config(EndpointSetup setup) {
  ip232::EndpointConfig config;
  config.host = std::move(setup.address);
  config.port = setup.port;
  config.raw = setup.raw;
  config.handshake = setup.handshake;
  config.tx_buffer = setup.tx_buffer;
  config.on_change = std::move(setup.on_change);
  return config;
}

std::unique_ptr<ip232::Ip232SerialEndpoint> make_endpoint(EndpointSetup setup) {
  return std::make_unique<ip232::Ip232SerialEndpoint>(
      endpoint_config(std::move(setup)));
}

std::vector<std::uint8_t> host_read(SerialDataSource& source, std::size_t count,
                                    int timeout_ms) {
  std::vector<std::uint8_t> out;
  wait_until(
      [&] {
        while (out.size() < count && source.has_byte()) {
          out.push_back(source.read_byte());
        }
        return out.size() == count;
      },
      timeout_ms);
  return out;
}

void host_write(SerialDataSink& sink, const std::vector<std::uint8_t>& bytes) {
  for (const std::uint8_t b : bytes) sink.write_byte(b);
}

BridgeLine::BridgeLine(EndpointSetup setup, LoopbackServer::Options options)
    : server(std::move(options)) {
  setup.address = server.address();
  setup.port = server.port();
  endpoint = make_endpoint(std::move(setup));
}

void BridgeLine::connect() {
  ASSERT_TRUE(server.ok()) << server.error();
  peer = server.take_connection();
  ASSERT_TRUE(peer.has_value()) << "no connection";
  ASSERT_TRUE(wait_until([&] { return endpoint->is_connected(); }));
}

}  // namespace quorvex::test
