// The host's side of the emulated serial controller: what happens when the
// emulated machine writes the control register. This is host code, compiled
// into the host program; the extension only reads the register when it
// attaches.

#ifndef QUORVEX_HOST_SERIAL_CONTROLLER_H_
#define QUORVEX_HOST_SERIAL_CONTROLLER_H_

#include <cstdint>

#include "api/extension.h"

namespace quorvex::host {

// The register takes `value`; request-to-send (asserted unless bits 6..5
// are binary 10) and break (both bits set) are derived from it, and each one
// that changed is passed to the sink, request-to-send first.
inline void write_control(SerialController& controller, std::uint8_t value) {
  controller.registers[SerialController::kControlRegister] = value;
  const bool rts = SerialController::rts_in(value);
  const bool brk = SerialController::break_in(value);
  if (rts != controller.rts) {
    controller.rts = rts;
    if (controller.sink != nullptr) controller.sink->set_rts(rts);
  }
  if (brk != controller.brk) {
    controller.brk = brk;
    if (controller.sink != nullptr) controller.sink->set_break(brk);
  }
}

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_SERIAL_CONTROLLER_H_
