// Which C++ ABI a Windows extension module speaks with the host's API
// library. The library hands C++ classes and standard-library types across,
// so a module of the MSVC ABI cannot work with a host of MinGW's (GCC's
// Itanium names and libstdc++ layouts), nor the other way round; the
// loader would fail on the missing names, or worse, a module that
// resolved would misread every string and map. The module's import table
// tells which ABI it was built for, before anything of it runs.

#ifndef QUORVEX_HOST_MODULE_ABI_H_
#define QUORVEX_HOST_MODULE_ABI_H_

#include <string>
#include <string_view>

namespace quorvex::host {

enum class CxxAbi {
  kUnknown,  // not a PE image, or it imports nothing from the API library
  kMsvc,     // decorated names: ??0PeripheralExtension@quorvex@@...
  kMinGw,    // Itanium names: _ZN7quorvex19PeripheralExtension...
};

// The ABI of the names the PE image at `path` imports from
// quorvex_extension_api.dll. Reads the file only.
CxxAbi module_api_abi(const std::string& path);

// The ABI this program itself was built for, as its compiler names types.
CxxAbi own_cxx_abi();

// "MSVC" or "MinGW".
std::string_view abi_name(CxxAbi abi);

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_MODULE_ABI_H_
