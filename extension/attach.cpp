#include <stdexcept>

#include "extension/ip232_serial_extension.h"

namespace quorvex {

// Placeholder until options and attach land.
void Ip232SerialExtension::attach(ExtensionContext&) {
  throw std::runtime_error("ip232-serial: attach is not available yet");
}

}  // namespace quorvex
