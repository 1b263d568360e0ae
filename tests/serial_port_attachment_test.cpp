// The attach and detach sequences on a machine's serial port.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/extension.h"
#include "extension/serial_port_attachment.h"
#include "host/serial_controller.h"
#include "tests/support/extension_helpers.h"

namespace quorvex {
namespace {

// Records the sink calls in order.
class RecordingDevice final : public test::OtherDevice {
 public:
  void set_rts(bool asserted) override {
    calls.push_back(asserted ? "rts+" : "rts-");
  }
  void set_break(bool active) override {
    calls.push_back(active ? "brk+" : "brk-");
  }

  std::vector<std::string> calls;
};

TEST(SerialPortAttachment, DerivesLineStateFromControlBits) {
  struct Case {
    std::uint8_t control;
    std::vector<std::string> calls;
  };
  // Bits 6..5: 00 and 01 assert request-to-send, 10 deasserts it, 11 asserts
  // it and sends a break. Other bits do not matter.
  const Case cases[] = {
      {0x00, {"rts+", "brk-"}}, {0x20, {"rts+", "brk-"}},
      {0x40, {"rts-", "brk-"}}, {0x60, {"rts+", "brk+"}},
      {0x9F, {"rts+", "brk-"}}, {0xDF, {"rts-", "brk-"}},
  };
  for (const Case& c : cases) {
    SerialPort port;
    port.controller.registers[0] = c.control;
    RecordingDevice device;
    attach_serial_device(port, device);
    EXPECT_EQ(device.calls, c.calls) << "control " << int{c.control};
    EXPECT_EQ(port.device, &device);
    EXPECT_EQ(port.controller.source, &device);
    EXPECT_EQ(port.controller.sink, &device);
    EXPECT_EQ(port.controller.rts, c.calls[0] == "rts+");
    EXPECT_EQ(port.controller.brk, c.calls[1] == "brk+");
  }
}

TEST(SerialPortAttachment, DetachClearsDeviceAndRegisterTwo) {
  SerialPort port;
  port.controller.registers = {0x11, 0x22, 0x33, 0x44};
  RecordingDevice device;
  attach_serial_device(port, device);
  detach_serial_device(port);
  EXPECT_EQ(port.device, nullptr);
  EXPECT_EQ(port.controller.source, nullptr);
  EXPECT_EQ(port.controller.sink, nullptr);
  EXPECT_EQ(port.controller.registers[2], 0);
  EXPECT_EQ(port.controller.registers[0], 0x11);
  EXPECT_EQ(port.controller.registers[3], 0x44);
}

TEST(SerialController, ControlWritesPassOnlyChangesToTheSink) {
  SerialPort port;
  RecordingDevice device;
  attach_serial_device(port, device);  // control 0x00: rts+, brk-
  device.calls.clear();
  host::write_control(port.controller, 0x00);
  host::write_control(port.controller, 0x40);
  host::write_control(port.controller, 0x40);
  host::write_control(port.controller, 0x60);
  host::write_control(port.controller, 0x00);
  EXPECT_EQ(device.calls,
            (std::vector<std::string>{"rts-", "rts+", "brk+", "brk-"}));
}

}  // namespace
}  // namespace quorvex
