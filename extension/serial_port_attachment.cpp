#include "extension/serial_port_attachment.h"

#include <cstddef>
#include <cstdint>

namespace quorvex {

namespace {

constexpr std::size_t kDetachClearedRegister = 2;

}  // namespace

void attach_serial_device(SerialPort& port, SerialPortDevice& device) {
  port.device = &device;
  SerialController& controller = port.controller;
  controller.source = &device;
  controller.sink = &device;
  const std::uint8_t control =
      controller.registers[SerialController::kControlRegister];
  controller.rts = SerialController::rts_in(control);
  controller.sink->set_rts(controller.rts);
  controller.brk = SerialController::break_in(control);
  controller.sink->set_break(controller.brk);
}

void detach_serial_device(SerialPort& port) {
  port.device = nullptr;
  port.controller.source = nullptr;
  port.controller.sink = nullptr;
  port.controller.registers[kDetachClearedRegister] = 0;
}

}  // namespace quorvex
