// Ip232SerialExtension: the peripheral extension that the host creates
// through quorvex_create_extension(). Applied to a machine it attaches an
// Ip232SerialEndpoint to the machine's serial port; detach() or destruction
// stops the endpoint. The host calls every operation from one thread.

#ifndef QUORVEX_EXTENSION_IP232_SERIAL_EXTENSION_H_
#define QUORVEX_EXTENSION_IP232_SERIAL_EXTENSION_H_

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/extension.h"
#include "ip232/ip232_serial_endpoint.h"

namespace quorvex {

class Ip232SerialExtension final : public PeripheralExtension {
 public:
  // The resource this extension occupies on a machine.
  static constexpr std::string_view kSerialPortResource = "serial-port";

  explicit Ip232SerialExtension(const ExtensionManifest& manifest);
  // Stops an endpoint that is still owned. Does not touch the serial port:
  // the host detaches an attached extension before deleting it.
  ~Ip232SerialExtension() override;

  // The manifest's instance id when set, else the option "id", else empty.
  std::string instance_id() const override;
  std::string_view name() const override;
  bool provides_ui() const override;
  bool requires_cold_start() const override;
  std::vector<std::string> dependencies() const override;
  std::span<const std::string_view> resources() const override;
  std::span<const std::byte> snapshot_state() const override;

  // Reads and validates the options, creates the endpoint, attaches it to
  // the machine's serial port and prints the bridge line. Throws
  // std::runtime_error with a message naming the bad value; a failed attach
  // leaves nothing running and the extension as it was.
  void attach(ExtensionContext& context) override;
  // Detaches the endpoint from the port and destroys it; does nothing when
  // not attached.
  void detach() override;

  // The owned endpoint, null when none (tests).
  ip232::Ip232SerialEndpoint* endpoint() const { return endpoint_.get(); }

 private:
  std::unique_ptr<ip232::Ip232SerialEndpoint> endpoint_;
  SerialPort* attached_port_ = nullptr;  // not owned
};

}  // namespace quorvex

#endif  // QUORVEX_EXTENSION_IP232_SERIAL_EXTENSION_H_
