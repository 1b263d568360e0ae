#include "extension/serial_port_attachment.h"

#include <cstddef>
#include <cstdint>

namespace quorvex {

namespace {

constexpr std::size_t kDetachClearedRegister = 2;
// Bits 6..5 of the control register: binary 10 drops request-to-send, 11
// sends a break (with request-to-send asserted).
constexpr std::uint8_t kRtsOffBits = 0x40;

bool rts_for(std::uint8_t control) {
  return (control & SerialController::kLineStateMask) != kRtsOffBits;
}

bool break_for(std::uint8_t control) {
  return (control & SerialController::kLineStateMask) ==
         SerialController::kLineStateMask;
}

}  // namespace

void attach_serial_device(SerialPort& port, SerialPortDevice& device) {
  port.device = &device;
  SerialController& controller = port.controller;
  controller.source = &device;
  controller.sink = &device;
  const std::uint8_t control =
      controller.registers[SerialController::kControlRegister];
  controller.rts = rts_for(control);
  controller.sink->set_rts(controller.rts);
  controller.brk = break_for(control);
  controller.sink->set_break(controller.brk);
}

void detach_serial_device(SerialPort& port) {
  port.device = nullptr;
  port.controller.source = nullptr;
  port.controller.sink = nullptr;
  port.controller.registers[kDetachClearedRegister] = 0;
}

}  // namespace quorvex
