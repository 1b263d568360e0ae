// The host's extension API library: the parts of the extension interface
// that live in the host rather than in each extension. It exports exactly
// the symbols in extension_api.exports; what the host program and the tests
// need beyond that is their own code.

#include "api/extension.h"

namespace quorvex {

ExtensionManifest::ExtensionManifest(const ExtensionManifest& other) = default;
ExtensionManifest& ExtensionManifest::operator=(
    ExtensionManifest&& other) noexcept = default;
ExtensionManifest::~ExtensionManifest() = default;

// The key function: Extension's vtable and type information are emitted
// here. Not exported: only ~PeripheralExtension() calls it.
Extension::~Extension() = default;

PeripheralExtension::PeripheralExtension() = default;
PeripheralExtension::~PeripheralExtension() = default;

}  // namespace quorvex
