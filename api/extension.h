// The host's extension interface, as an extension sees it.
//
// The host loads an extension library, calls its factory with a manifest,
// fills the option map, and applies the extension to a machine with
// attach(); detach() undoes that before the host deletes the extension
// through its virtual destructor. The host makes all these calls from one
// thread.
//
// The host's API library supplies exactly this to an extension: the
// manifest's copy constructor, move assignment and destructor, and
// PeripheralExtension's default constructor and virtual destructor (which,
// as the key function, brings the vtables and type information of Extension
// and PeripheralExtension with it); the three classes that hold them are
// marked QUORVEX_API. Everything else declared here is complete in this
// header, so an extension needs nothing more from the library. Filling the
// option map and emulating the controller's registers are the host's own
// business.

#ifndef QUORVEX_API_EXTENSION_H_
#define QUORVEX_API_EXTENSION_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/api_export.h"
#include "api/serial_device.h"

namespace quorvex {

// The host's description of one extension.
struct QUORVEX_API ExtensionManifest {
  std::string name;
  std::string instance_id;  // empty when the host assigns none
  std::string version;
  std::string description;

  ExtensionManifest() = default;
  ExtensionManifest(std::string manifest_name, std::string manifest_instance_id)
      : name(std::move(manifest_name)),
        instance_id(std::move(manifest_instance_id)) {}
  // In the library.
  ExtensionManifest(const ExtensionManifest& other);
  ExtensionManifest& operator=(ExtensionManifest&& other) noexcept;
  ~ExtensionManifest();
};

// The user's options for one extension: key to value, byte-wise key order.
using OptionMap = std::map<std::string, std::string>;

// The emulated serial controller of a machine's serial port. The byte source
// and sink point at the attached device's two faces (null when free). The
// host emulates the registers; an extension reads them when it attaches.
struct SerialController {
  static constexpr std::size_t kControlRegister = 0;
  static constexpr std::size_t kRegisterCount = 4;
  // Bits 6..5 of the control register select the transmitter's line
  // state: binary 10 drops request-to-send, 11 sends a break (request-to-
  // send stays asserted), anything else asserts request-to-send.
  static constexpr std::uint8_t kLineStateMask = 0x60;
  static constexpr std::uint8_t kRtsOffBits = 0x40;

  static constexpr bool rts_in(std::uint8_t control) {
    return (control & kLineStateMask) != kRtsOffBits;
  }
  static constexpr bool break_in(std::uint8_t control) {
    return (control & kLineStateMask) == kLineStateMask;
  }
  // `control` with bits 6..5 set for `rts` and `brk`.
  static constexpr std::uint8_t with_line_state(std::uint8_t control, bool rts,
                                                bool brk) {
    const std::uint8_t line = brk ? kLineStateMask : rts ? 0 : kRtsOffBits;
    return static_cast<std::uint8_t>((control & ~kLineStateMask) | line);
  }

  SerialDataSource* source = nullptr;
  SerialDataSink* sink = nullptr;
  std::array<std::uint8_t, kRegisterCount> registers{};
  bool rts = false;
  bool brk = false;
};

// A machine's serial port: the attached device (null when free) and the
// emulated controller.
struct SerialPort {
  SerialPortDevice* device = nullptr;
  SerialController controller;
};

// The host's view of the machine an extension is applied to.
struct ExtensionContext {
  std::string machine_name;
  SerialPort* serial_port = nullptr;  // null on a machine without one
};

// Base of all extensions. Holds the manifest and the option map, in that
// order.
class QUORVEX_API Extension {
 public:
  Extension(const Extension&) = delete;
  Extension& operator=(const Extension&) = delete;
  // Defined in the library, which keeps Extension's vtable and type
  // information there; an extension destroys itself through
  // ~PeripheralExtension() and never calls this one directly.
  virtual ~Extension();

  // Identity.
  virtual std::string instance_id() const = 0;
  virtual std::string_view name() const = 0;
  // Whether the extension draws a user interface of its own.
  virtual bool provides_ui() const = 0;
  // Whether the extension must be applied before the machine first starts.
  virtual bool requires_cold_start() const = 0;
  // Names of other extensions this one needs.
  virtual std::vector<std::string> dependencies() const = 0;
  // Names of the machine resources the extension occupies.
  virtual std::span<const std::string_view> resources() const = 0;
  // State the extension wants kept in a machine snapshot.
  virtual std::span<const std::byte> snapshot_state() const = 0;

  const ExtensionManifest& manifest() const { return manifest_; }
  const OptionMap& options() const { return options_; }
  // The host fills the map before attach() and leaves it alone while the
  // extension is attached.
  OptionMap& options() { return options_; }

 protected:
  Extension() = default;

  ExtensionManifest manifest_;
  OptionMap options_;
};

// Base of extensions that are applied to an emulated machine.
class QUORVEX_API PeripheralExtension : public Extension {
 public:
  // In the library.
  PeripheralExtension();
  ~PeripheralExtension() override;

  // Applies the extension to the machine. Configuration failures throw
  // std::runtime_error.
  virtual void attach(ExtensionContext& context) = 0;
  // Undoes attach(); does nothing when not attached.
  virtual void detach() = 0;
};

}  // namespace quorvex

// The one export of an extension library, looked up by this name and
// called with C linkage: manifest in, new extension out (owned by the host).
using QuorvexCreateExtensionFn =
    quorvex::PeripheralExtension* (*)(const quorvex::ExtensionManifest&);
inline constexpr const char kQuorvexCreateExtensionSymbol[] =
    "quorvex_create_extension";

#endif  // QUORVEX_API_EXTENSION_H_
