#include "extension/ip232_serial_extension.h"

#include <array>
#include <utility>

#include "extension/options.h"
#include "extension/serial_port_attachment.h"

namespace quorvex {

namespace {
constexpr std::array<std::string_view, 1> kResources = {
    Ip232SerialExtension::kSerialPortResource};
}  // namespace

Ip232SerialExtension::Ip232SerialExtension(const ExtensionManifest& manifest) {
  ExtensionManifest copy(manifest);
  manifest_ = std::move(copy);
}

Ip232SerialExtension::~Ip232SerialExtension() = default;

std::string Ip232SerialExtension::instance_id() const {
  if (!manifest_.instance_id.empty()) return manifest_.instance_id;
  if (const auto id = find_option(options(), "id")) return std::string(*id);
  return {};
}

std::string_view Ip232SerialExtension::name() const { return manifest_.name; }

bool Ip232SerialExtension::provides_ui() const { return false; }

bool Ip232SerialExtension::requires_cold_start() const { return false; }

std::vector<std::string> Ip232SerialExtension::dependencies() const {
  return {};
}

std::span<const std::string_view> Ip232SerialExtension::resources() const {
  return kResources;
}

std::span<const std::byte> Ip232SerialExtension::snapshot_state() const {
  return {};
}

void Ip232SerialExtension::detach() {
  if (attached_port_ != nullptr) {
    detach_serial_device(*attached_port_);
    attached_port_ = nullptr;
  }
  // Moved out first so that the extension holds no endpoint while the old
  // one runs its stop sequence.
  std::unique_ptr<ip232::Ip232SerialEndpoint> endpoint = std::move(endpoint_);
  endpoint.reset();
}

}  // namespace quorvex
