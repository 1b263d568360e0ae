#include <windows.h>

#include <cstring>

#include "host/extension_library.h"
#include "sys/error_text.h"

namespace quorvex::host {

std::optional<ExtensionLibrary> ExtensionLibrary::load(const std::string& path,
                                                       std::string& error) {
  HMODULE module = ::LoadLibraryA(path.c_str());
  if (module == nullptr) {
    const DWORD code = ::GetLastError();
    error = "cannot load extension '" + path + "': " + sys::error_text(code) +
            " (error " + std::to_string(code) + ")";
    return std::nullopt;
  }
  FARPROC symbol = ::GetProcAddress(module, kQuorvexCreateExtensionSymbol);
  if (symbol == nullptr) {
    error = "cannot load extension '" + path + "': no export '" +
            kQuorvexCreateExtensionSymbol + "'";
    ::FreeLibrary(module);
    return std::nullopt;
  }
  QuorvexCreateExtensionFn factory;
  static_assert(sizeof(factory) == sizeof(symbol));
  std::memcpy(&factory, &symbol, sizeof(factory));
  return ExtensionLibrary(module, factory);
}

ExtensionLibrary::~ExtensionLibrary() {
  if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

std::string extension_module_file_name() { return "ip232-serial.dll"; }

std::vector<std::string> extension_search_folders() {
  return {"", "..\\extensions\\"};
}

std::string program_directory() {
  char buffer[MAX_PATH + 1] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  std::string path(buffer, n);
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? ".\\" : path.substr(0, slash + 1);
}

bool is_regular_file(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace quorvex::host
