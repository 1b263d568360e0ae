#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "host/extension_library.h"

namespace quorvex::host {

std::optional<ExtensionLibrary> ExtensionLibrary::load(
    const std::string& path, std::string& error, std::string_view) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    error = "cannot load extension '" + path + "': " +
            (why != nullptr ? why : "unknown error");
    return std::nullopt;
  }
  ::dlerror();
  void* symbol = ::dlsym(handle, kQuorvexCreateExtensionSymbol);
  if (symbol == nullptr) {
    error = "cannot load extension '" + path + "': no export '" +
            kQuorvexCreateExtensionSymbol + "'";
    ::dlclose(handle);
    return std::nullopt;
  }
  QuorvexCreateExtensionFn factory;
  static_assert(sizeof(factory) == sizeof(symbol));
  std::memcpy(&factory, &symbol, sizeof(factory));
  return ExtensionLibrary(handle, factory);
}

ExtensionLibrary::~ExtensionLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

std::string extension_module_file_name() { return "ip232-serial.so"; }

std::vector<std::string> extension_search_folders() {
  return {"", "../lib/quorvex/extensions/"};
}

std::string program_directory() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return "./";
  std::string path(buffer, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

bool is_regular_file(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace quorvex::host
