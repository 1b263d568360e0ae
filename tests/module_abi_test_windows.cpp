// The C++ ABI check that keeps a host from loading a module of the other
// ABI: it reads the PE import table, so it must name the ABI of real
// modules and survive files that are not modules at all.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/extension_library.h"
#include "host/module_abi.h"

namespace quorvex::host {
namespace {

std::string beside_tests(const std::string& name) {
  return program_directory() + name;
}

std::vector<char> read_all(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string write_scratch(const std::vector<char>& bytes) {
  const std::string path = beside_tests("module_abi_scratch.bin");
  std::ofstream(path, std::ios::binary).write(bytes.data(),
                                              static_cast<std::streamsize>(bytes.size()));
  return path;
}

TEST(ModuleAbi, BuiltBinariesSpeakThisProgramsAbi) {
  // The module and this program import from the API library; the library
  // itself imports nothing from itself.
  EXPECT_EQ(module_api_abi(beside_tests("ip232-serial.dll")), own_cxx_abi());
  EXPECT_EQ(module_api_abi(beside_tests("ip232_tests.exe")), own_cxx_abi());
  EXPECT_EQ(module_api_abi(beside_tests("quorvex_extension_api.dll")),
            CxxAbi::kUnknown);
  EXPECT_EQ(module_api_abi(beside_tests("no-such-module.dll")), CxxAbi::kUnknown);
}

TEST(ModuleAbi, CutOrGarbledModulesAreUnknownNeverMisread) {
  const std::vector<char> module = read_all(beside_tests("ip232-serial.dll"));
  ASSERT_GT(module.size(), 4096u);
  // Every cut ends the reading inside some structure of the image.
  for (std::size_t length : {0u, 2u, 0x3cu, 0x40u, 0x80u, 0x100u, 0x180u,
                             0x200u, 0x400u, 0x1000u}) {
    const std::string path = write_scratch({module.begin(), module.begin() + length});
    EXPECT_EQ(module_api_abi(path), CxxAbi::kUnknown) << "cut at " << length;
  }
  // A header offset that points past the end of the file.
  std::vector<char> garbled = module;
  garbled[0x3c] = '\xff';
  garbled[0x3f] = '\x7f';
  EXPECT_EQ(module_api_abi(write_scratch(garbled)), CxxAbi::kUnknown);
  std::remove(beside_tests("module_abi_scratch.bin").c_str());
}

}  // namespace
}  // namespace quorvex::host
