// Loading an extension library the way a host does: open the shared
// library, look up quorvex_create_extension, and keep the library loaded
// for as long as extensions made by it live.

#ifndef QUORVEX_HOST_EXTENSION_LIBRARY_H_
#define QUORVEX_HOST_EXTENSION_LIBRARY_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/extension.h"

namespace quorvex::host {

class ExtensionLibrary {
 public:
  // Opens `path` and finds the factory; nothing on failure, with a message
  // naming the path and the reason in `error`. On Windows a module built
  // for the other C++ ABI is refused unopened; the message names both
  // ABIs, this program's as `host_name`'s.
  static std::optional<ExtensionLibrary> load(
      const std::string& path, std::string& error,
      std::string_view host_name = "host");

  ExtensionLibrary(ExtensionLibrary&& other) noexcept;
  ExtensionLibrary& operator=(ExtensionLibrary&& other) noexcept;
  ExtensionLibrary(const ExtensionLibrary&) = delete;
  ExtensionLibrary& operator=(const ExtensionLibrary&) = delete;
  // Unloads the library; every extension it made must be gone by then.
  ~ExtensionLibrary();

  QuorvexCreateExtensionFn factory() const { return factory_; }

 private:
  ExtensionLibrary(void* handle, QuorvexCreateExtensionFn factory)
      : handle_(handle), factory_(factory) {}

  void* handle_ = nullptr;
  QuorvexCreateExtensionFn factory_ = nullptr;
};

// The file name of the extension module on this platform
// ("ip232-serial.so" or "ip232-serial.dll").
std::string extension_module_file_name();

// Whether `path` names a regular file (not a folder) that exists.
bool is_regular_file(const std::string& path);

// The folder holding the running program, with a trailing separator.
std::string program_directory();

// Where a host program looks for the module when none is named, relative
// to its own folder, in order: beside it (the build tree), then where an
// install puts the module (the tools and the module in sibling folders).
std::vector<std::string> extension_search_folders();

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_EXTENSION_LIBRARY_H_
