// Attaching a device to a machine's serial port, and detaching it.

#ifndef QUORVEX_EXTENSION_SERIAL_PORT_ATTACHMENT_H_
#define QUORVEX_EXTENSION_SERIAL_PORT_ATTACHMENT_H_

#include "api/extension.h"

namespace quorvex {

// Records `device` as the port's device, makes its faces the controller's
// source and sink, then derives request-to-send and break from bits 6..5 of
// the control register, stores them in the controller and hands them to the
// device: set_rts() first, then set_break(). The port must be free.
void attach_serial_device(SerialPort& port, SerialPortDevice& device);

// Clears the port's device and the controller's source and sink, and sets
// byte 2 of the register block to 0.
void detach_serial_device(SerialPort& port);

}  // namespace quorvex

#endif  // QUORVEX_EXTENSION_SERIAL_PORT_ATTACHMENT_H_
