#include <utility>

#include "host/extension_library.h"

namespace quorvex::host {

ExtensionLibrary::ExtensionLibrary(ExtensionLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      factory_(std::exchange(other.factory_, nullptr)) {}

ExtensionLibrary& ExtensionLibrary::operator=(
    ExtensionLibrary&& other) noexcept {
  if (this != &other) {
    ExtensionLibrary old(std::move(*this));
    handle_ = std::exchange(other.handle_, nullptr);
    factory_ = std::exchange(other.factory_, nullptr);
  }
  return *this;
}

}  // namespace quorvex::host
