// The host's extension API library: the parts of the extension interface
// that live in the host rather than in each extension.

#include "api/extension.h"

#include <utility>

namespace quorvex {

SerialDataSource::~SerialDataSource() = default;
SerialDataSink::~SerialDataSink() = default;
SerialPortDevice::~SerialPortDevice() = default;

ExtensionManifest::ExtensionManifest() = default;
ExtensionManifest::ExtensionManifest(std::string manifest_name,
                                     std::string manifest_instance_id)
    : name(std::move(manifest_name)),
      instance_id(std::move(manifest_instance_id)) {}
ExtensionManifest::ExtensionManifest(const ExtensionManifest& other) = default;
ExtensionManifest& ExtensionManifest::operator=(
    ExtensionManifest&& other) noexcept = default;
ExtensionManifest::~ExtensionManifest() = default;

bool SerialController::rts_for(std::uint8_t control) {
  return (control & kLineStateMask) != 0x40;
}

bool SerialController::break_for(std::uint8_t control) {
  return (control & kLineStateMask) == kLineStateMask;
}

void SerialController::write_control(std::uint8_t value) {
  registers[kControlRegister] = value;
  const bool new_rts = rts_for(value);
  const bool new_brk = break_for(value);
  if (new_rts != rts) {
    rts = new_rts;
    if (sink != nullptr) sink->set_rts(rts);
  }
  if (new_brk != brk) {
    brk = new_brk;
    if (sink != nullptr) sink->set_break(brk);
  }
}

Extension::Extension() = default;
Extension::~Extension() = default;

void Extension::set_option(std::string key, std::string value) {
  options_.insert_or_assign(std::move(key), std::move(value));
}

std::optional<std::string_view> Extension::find_option(
    std::string_view key) const {
  const auto it = options_.find(std::string(key));
  if (it == options_.end()) return std::nullopt;
  return std::string_view(it->second);
}

PeripheralExtension::PeripheralExtension() = default;
PeripheralExtension::~PeripheralExtension() = default;

}  // namespace quorvex
