// The extension library's one export.

#include "api/extension.h"
#include "extension/ip232_serial_extension.h"

// QUORVEX_MODULE_EXPORT is set by the build: dllexport on Windows, default
// visibility elsewhere (everything else in the module is hidden).
extern "C" QUORVEX_MODULE_EXPORT quorvex::PeripheralExtension*
quorvex_create_extension(const quorvex::ExtensionManifest& manifest) {
  return new quorvex::Ip232SerialExtension(manifest);
}
