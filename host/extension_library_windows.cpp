#include <windows.h>

#include <cstring>

#include "host/extension_library.h"
#include "host/module_abi.h"
#include "sys/error_text.h"

namespace quorvex::host {

std::optional<ExtensionLibrary> ExtensionLibrary::load(
    const std::string& path, std::string& error, std::string_view host_name) {
  // A module of the other C++ ABI is refused before any of it runs.
  const CxxAbi module_abi = module_api_abi(path);
  const CxxAbi own_abi = own_cxx_abi();
  if (module_abi != CxxAbi::kUnknown && module_abi != own_abi) {
    error = path + " is built for the " + std::string(abi_name(module_abi)) +
            " C++ ABI, this " + std::string(host_name) + " for " +
            std::string(abi_name(own_abi)) + "'s";
    return std::nullopt;
  }
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
