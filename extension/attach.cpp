// Applying the extension to a machine.

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "extension/ip232_serial_extension.h"
#include "extension/options.h"
#include "extension/serial_port_attachment.h"

namespace quorvex {

void Ip232SerialExtension::attach(ExtensionContext& context) {
  // Every check that can fail comes before the endpoint exists: a failed
  // attach starts no thread, opens no connection and leaves this extension
  // as it was (still attached, if it was).
  BridgeSettings settings = read_bridge_settings(*this);

  SerialPort* const port = context.serial_port;
  if (port == nullptr) {
    throw std::runtime_error(
        "ExtensionContext: serial port not available on this machine");
  }
  // Our own endpoint on this port is not in the way: it is replaced below.
  const bool ours = endpoint_ != nullptr && port->device == endpoint_.get();
  if (port->device != nullptr && !ours) {
    throw std::runtime_error(
        "SerialPort: a device is already attached to the serial port");
  }

  // Attached without a detach in between: take the old endpoint off its
  // port before destroying it, so that no port refers to a dead device.
  detach();

  const std::string line = bridge_line(settings);
  endpoint_ = std::make_unique<ip232::Ip232SerialEndpoint>(
      std::move(settings.endpoint));
  attach_serial_device(*port, *endpoint_);
  // Remembered only now, so that detach() never touches a port whose device
  // this extension did not attach.
  attached_port_ = port;

  std::cout << line;
}

}  // namespace quorvex
