#include "host/module_abi.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <typeinfo>
#include <vector>

#include "api/extension.h"

namespace quorvex::host {
namespace {

constexpr std::string_view kApiLibrary = "quorvex_extension_api.dll";
constexpr std::uint16_t kPe32PlusMagic = 0x20b;

// A PE image read whole, with bounds-checked little-endian reads.
class PeImage {
 public:
  explicit PeImage(std::vector<char> bytes) : bytes_(std::move(bytes)) {}

  template <typename T>
  std::optional<T> read(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) {
      return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }

  // The NUL-terminated text at `offset`, or nothing past the end.
  std::optional<std::string_view> text(std::size_t offset) const {
    if (offset >= bytes_.size()) return std::nullopt;
    const char* start = bytes_.data() + offset;
    const void* end = std::memchr(start, 0, bytes_.size() - offset);
    if (end == nullptr) return std::nullopt;
    return std::string_view(start, static_cast<const char*>(end) - start);
  }

 private:
  std::vector<char> bytes_;
};

struct Section {
  std::uint32_t address;
  std::uint32_t size;
  std::uint32_t file_offset;
};

std::optional<std::size_t> file_offset(const std::vector<Section>& sections,
                                       std::uint32_t rva) {
  for (const Section& section : sections) {
    if (rva >= section.address && rva - section.address < section.size) {
      return std::size_t{section.file_offset} + (rva - section.address);
    }
  }
  return std::nullopt;
}

bool same_name_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

CxxAbi abi_of_name(std::string_view name) {
  if (name.starts_with("?")) return CxxAbi::kMsvc;
  if (name.starts_with("_Z")) return CxxAbi::kMinGw;
  return CxxAbi::kUnknown;
}

// The ABI of the first name imported by name from the API library.
std::optional<CxxAbi> read_api_abi(const PeImage& image) {
  const auto pe = image.read<std::uint32_t>(0x3c);
  if (!pe || image.read<std::uint32_t>(*pe) != 0x00004550u) return std::nullopt;
  const std::size_t coff = *pe + 4;
  const auto section_count = image.read<std::uint16_t>(coff + 2);
  const auto optional_size = image.read<std::uint16_t>(coff + 16);
  const std::size_t optional = coff + 20;
  if (!section_count || !optional_size ||
      image.read<std::uint16_t>(optional) != kPe32PlusMagic) {
    return std::nullopt;
  }
  // The import directory is the second of the data directories, which
  // start 112 bytes into a PE32+ optional header.
  const auto import_rva = image.read<std::uint32_t>(optional + 112 + 8);
  if (!import_rva || *import_rva == 0) return CxxAbi::kUnknown;

  std::vector<Section> sections;
  const std::size_t table = optional + *optional_size;
  for (std::size_t i = 0; i < *section_count; ++i) {
    const std::size_t entry = table + 40 * i;
    const auto size = image.read<std::uint32_t>(entry + 8);
    const auto address = image.read<std::uint32_t>(entry + 12);
    const auto raw_size = image.read<std::uint32_t>(entry + 16);
    const auto raw_offset = image.read<std::uint32_t>(entry + 20);
    if (!size || !address || !raw_size || !raw_offset) return std::nullopt;
    sections.push_back({*address, std::max(*size, *raw_size), *raw_offset});
  }

  auto descriptor = file_offset(sections, *import_rva);
  for (; descriptor; *descriptor += 20) {
    const auto lookup = image.read<std::uint32_t>(*descriptor);
    const auto name_rva = image.read<std::uint32_t>(*descriptor + 12);
    const auto bound = image.read<std::uint32_t>(*descriptor + 16);
    if (!lookup || !name_rva || !bound) return std::nullopt;
    if (*name_rva == 0) return CxxAbi::kUnknown;  // the end of the list
    const auto name_offset = file_offset(sections, *name_rva);
    const auto dll = name_offset ? image.text(*name_offset) : std::nullopt;
    if (!dll) return std::nullopt;
    if (!same_name_ignoring_case(*dll, kApiLibrary)) continue;
    auto thunk = file_offset(sections, *lookup != 0 ? *lookup : *bound);
    for (; thunk; *thunk += 8) {
      const auto entry = image.read<std::uint64_t>(*thunk);
      if (!entry) return std::nullopt;
      if (*entry == 0) return CxxAbi::kUnknown;
      if ((*entry >> 63) != 0) continue;  // imported by ordinal
      // A hint (2 bytes), then the name.
      const auto hint = file_offset(sections, static_cast<std::uint32_t>(*entry));
      const auto name = hint ? image.text(*hint + 2) : std::nullopt;
      if (!name) return std::nullopt;
      return abi_of_name(*name);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

CxxAbi module_api_abi(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return CxxAbi::kUnknown;
  std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                          std::istreambuf_iterator<char>()};
  return read_api_abi(PeImage(std::move(bytes))).value_or(CxxAbi::kUnknown);
}

CxxAbi own_cxx_abi() {
  // MSVC's type names read "class quorvex::PeripheralExtension", the
  // Itanium ABI's are mangled: "N7quorvex19PeripheralExtensionE".
  const std::string_view name = typeid(PeripheralExtension).name();
  return name.starts_with("N7quorvex") ? CxxAbi::kMinGw : CxxAbi::kMsvc;
}

std::string_view abi_name(CxxAbi abi) {
  switch (abi) {
    case CxxAbi::kMsvc:
      return "MSVC";
    case CxxAbi::kMinGw:
      return "MinGW";
    case CxxAbi::kUnknown:
      break;
  }
  return "unknown";
}

}  // namespace quorvex::host
