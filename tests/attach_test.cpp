// Applying the extension to a machine: the serial port attach sequence, the
// console line, and failures that leave nothing behind.

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "api/extension.h"
#include "extension/ip232_serial_extension.h"
#include "tests/support/extension_helpers.h"

namespace quorvex {
namespace {

using test::CoutCapture;
using test::make_extension;
using test::occupy;
using Options = test::OptionList;

// Nothing listens on this loopback port in the test environment; a bridge
// aimed at it is refused at once and retries quietly.
const Options kQuietTarget = {{"host", "127.0.0.1"}, {"port", "9"}};

// The message of the runtime_error that `attach` throws, or "" when it
// does not throw.
std::string attach_error(Ip232SerialExtension& extension,
                         ExtensionContext& context) {
  try {
    extension.attach(context);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(Attach, AttachesEndpointAndPrintsTheLine) {
  struct Case {
    Options options;
    std::uint8_t control;
    std::string line;
  };
  const Case cases[] = {
      {{{"host", "127.0.0.1"}, {"port", "9"}}, 0x00,
       "ip232-serial: ip232 bridge to 127.0.0.1:9 (connecting)\n"},
      {{{"url", "tcp://[::1]:9"}}, 0x40,
       "ip232-serial: ip232 bridge to ::1:9 (connecting)\n"},
      {{{"url", "127.0.0.1:9"}, {"mode", "raw"}}, 0x60,
       "ip232-serial: raw bridge to 127.0.0.1:9 (connecting)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto extension = make_extension(c.options);
    SerialPort port;
    port.controller.registers[0] = c.control;
    ExtensionContext context{"machine", &port};
    {
      CoutCapture capture;
      ASSERT_EQ(attach_error(*extension, context), "");
      EXPECT_EQ(capture.text(), c.line);
    }
    ip232::Ip232SerialEndpoint* endpoint = extension->endpoint();
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(port.device, endpoint);
    EXPECT_EQ(port.controller.source, endpoint);
    EXPECT_EQ(port.controller.sink, endpoint);
    EXPECT_EQ(port.controller.rts, c.control != 0x40);
    EXPECT_EQ(port.controller.brk, c.control == 0x60);

    extension->detach();
    EXPECT_EQ(extension->endpoint(), nullptr);
    EXPECT_EQ(port.device, nullptr);
    EXPECT_EQ(port.controller.source, nullptr);
    EXPECT_EQ(port.controller.sink, nullptr);
  }
}

TEST(Attach, FailureLeavesNothingBehind) {
  enum class PortState { kNone, kFree, kBusy };
  struct Case {
    Options options;
    PortState port_state;
    std::string message;
  };
  const Case cases[] = {
      {kQuietTarget, PortState::kNone,
       "ExtensionContext: serial port not available on this machine"},
      {kQuietTarget, PortState::kBusy,
       "SerialPort: a device is already attached to the serial port"},
      // Options are checked before the machine.
      {{{"port", "0"}}, PortState::kNone,
       "ip232-serial: port must be 1..65535, got '0'"},
      {{{"mode", "x"}}, PortState::kBusy,
       "ip232-serial: unknown mode 'x' (expected 'ip232' or 'raw')"},
      {{{"url", "h"}}, PortState::kFree,
       "ip232-serial: invalid url 'h': missing ':port' in 'h'"},
      {{{"url", "h:1"}, {"host", "h"}}, PortState::kFree,
       "ip232-serial: url= cannot be combined with host=/port="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto extension = make_extension(c.options);
    SerialPort port;
    test::OtherDevice foreign;
    if (c.port_state == PortState::kBusy) occupy(port, foreign);
    ExtensionContext context{
        "machine", c.port_state == PortState::kNone ? nullptr : &port};
    {
      CoutCapture capture;
      EXPECT_EQ(attach_error(*extension, context), c.message);
      EXPECT_EQ(capture.text(), "");
    }
    EXPECT_EQ(extension->endpoint(), nullptr);
    SerialPortDevice* const expected =
        c.port_state == PortState::kBusy ? &foreign : nullptr;
    EXPECT_EQ(port.device, expected);
    EXPECT_EQ(port.controller.sink, expected);

    // The port was not remembered: detach leaves the other device alone.
    extension->detach();
    EXPECT_EQ(port.device, expected);
    EXPECT_EQ(port.controller.source, expected);
  }
}

TEST(Attach, FailedAttachKeepsTheEarlierAttachment) {
  auto extension = make_extension(kQuietTarget);
  SerialPort port;
  ExtensionContext context{"machine", &port};
  CoutCapture capture;
  ASSERT_EQ(attach_error(*extension, context), "");
  ip232::Ip232SerialEndpoint* const endpoint = extension->endpoint();

  SerialPort busy;
  test::OtherDevice foreign;
  occupy(busy, foreign);
  ExtensionContext busy_context{"other", &busy};
  ExtensionContext no_port{"bare", nullptr};
  EXPECT_NE(attach_error(*extension, busy_context), "");
  EXPECT_NE(attach_error(*extension, no_port), "");
  extension->options().insert_or_assign("mode", "RAW");
  EXPECT_NE(attach_error(*extension, context), "");

  EXPECT_EQ(extension->endpoint(), endpoint);
  EXPECT_EQ(port.device, endpoint);
  EXPECT_EQ(busy.device, &foreign);
  EXPECT_EQ(capture.text(),
            "ip232-serial: ip232 bridge to 127.0.0.1:9 (connecting)\n");

  extension->detach();
  EXPECT_EQ(port.device, nullptr);
  EXPECT_EQ(busy.device, &foreign);
}

TEST(Attach, SecondAttachReplacesTheFirst) {
  auto extension = make_extension(kQuietTarget);
  SerialPort first;
  SerialPort second;
  ExtensionContext first_context{"one", &first};
  ExtensionContext second_context{"two", &second};
  CoutCapture capture;

  // Again on the same port: the extension's own device is not in the way.
  ASSERT_EQ(attach_error(*extension, first_context), "");
  ASSERT_EQ(attach_error(*extension, first_context), "");
  EXPECT_EQ(first.device, extension->endpoint());

  // On another port: the first port is detached, then the new one attached.
  ASSERT_EQ(attach_error(*extension, second_context), "");
  EXPECT_EQ(first.device, nullptr);
  EXPECT_EQ(first.controller.sink, nullptr);
  EXPECT_EQ(second.device, extension->endpoint());
  EXPECT_NE(extension->endpoint(), nullptr);

  extension->detach();
  EXPECT_EQ(second.device, nullptr);
  EXPECT_EQ(extension->endpoint(), nullptr);

  // Attach after detach works as the first time did.
  ASSERT_EQ(attach_error(*extension, first_context), "");
  EXPECT_EQ(first.device, extension->endpoint());
  extension->detach();
}

}  // namespace
}  // namespace quorvex
