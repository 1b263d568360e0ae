// The extension library's one export.

#include "api/extension.h"
#include "extension/ip232_serial_extension.h"

// The release, set by the build (IP232_SERIAL_VERSION), kept in the binary
// for tools and people to find: "ip232-serial 1.2.3". Not exported.
extern const char kIp232SerialVersion[];
const char kIp232SerialVersion[] = "ip232-serial " IP232_SERIAL_VERSION;

// QUORVEX_MODULE_EXPORT is set by the build: dllexport on Windows, default
// visibility elsewhere (everything else in the module is hidden).
extern "C" QUORVEX_MODULE_EXPORT quorvex::PeripheralExtension*
quorvex_create_extension(const quorvex::ExtensionManifest& manifest) {
  return new quorvex::Ip232SerialExtension(manifest);
}
