// Attach against a real loopback server: the settings reach the bridge, and
// a failed attach never opens a connection.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "api/extension.h"
#include "extension/ip232_serial_extension.h"
#include "tests/support/extension_helpers.h"
#include "tests/support/bridge_line.h"
#include "tests/support/loopback_server.h"

namespace quorvex {
namespace {

using test::CoutCapture;
using test::make_extension;
using Options = test::OptionList;
using Bytes = std::vector<std::uint8_t>;

// Long enough for a bridge that wrongly started to have connected on
// loopback; only a test that expects nothing waits this long.
constexpr int kNoConnectionWaitMs = 1000;

TEST(AttachConnection, FailedAttachOpensNoConnection) {
  test::LoopbackServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  const Options target = {{"host", test::kLoopbackIpv4},
                          {"port", std::to_string(server.port())}};
  SerialPort busy;
  test::OtherDevice other;
  test::occupy(busy, other);
  ExtensionContext no_port{"bare", nullptr};
  ExtensionContext busy_port{"busy", &busy};

  CoutCapture capture;
  for (ExtensionContext* context : {&no_port, &busy_port}) {
    auto extension = make_extension(target);
    EXPECT_THROW(extension->attach(*context), std::runtime_error);
    EXPECT_EQ(extension->endpoint(), nullptr);
  }
  EXPECT_FALSE(server.take_connection(kNoConnectionWaitMs).has_value());
  EXPECT_EQ(server.accepted_count(), 0u);
  EXPECT_EQ(capture.text(), "");
}

TEST(AttachConnection, SettingsReachTheBridge) {
  struct Case {
    const char* label;
    Options options;  // the target is added by the test
    bool use_url;
    Bytes sent;       // what the server receives after the machine sends 0xFF
    Bytes received;   // what the machine receives when the server sends
                      // 0xFF 0xFF 0x41
  };
  const Case cases[] = {
      {"ip232 with handshake", {}, false, {0xFF, 0x01, 0xFF, 0xFF},
       {0xFF, 0x41}},
      {"ip232 via url", {}, true, {0xFF, 0x01, 0xFF, 0xFF}, {0xFF, 0x41}},
      {"no handshake", {{"handshake", "0"}}, false, {0xFF, 0xFF},
       {0xFF, 0x41}},
      {"raw", {{"mode", "raw"}}, true, {0xFF}, {0xFF, 0xFF, 0x41}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    test::LoopbackServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    Options options = c.options;
    if (c.use_url) {
      options.emplace_back("url", "tcp://127.0.0.1:" +
                                      std::to_string(server.port()));
    } else {
      options.emplace_back("host", "127.0.0.1");
      options.emplace_back("port", std::to_string(server.port()));
    }
    auto extension = make_extension(options);
    SerialPort port;
    ExtensionContext context{"machine", &port};
    CoutCapture capture;
    ASSERT_NO_THROW(extension->attach(context));

    std::optional<net::TcpStream> stream = server.take_connection();
    ASSERT_TRUE(stream.has_value()) << "no connection";
    port.controller.sink->write_byte(0xFF);
    EXPECT_EQ(test::receive_bytes(*stream, c.sent.size()), c.sent);

    // And back: the decoded bytes reach the machine's receiver.
    const Bytes answer = {0xFF, 0xFF, 0x41};
    ASSERT_TRUE(stream->send_all(answer));
    EXPECT_EQ(test::host_read(*port.controller.source, c.received.size()),
              c.received);
    extension->detach();
  }
}

}  // namespace
}  // namespace quorvex
