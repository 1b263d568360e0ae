// Helpers for tests that drive Ip232SerialExtension directly: an extension
// with options, a stand-in for another extension's device, and a capture of
// standard output.

#ifndef QUORVEX_TESTS_SUPPORT_EXTENSION_HELPERS_H_
#define QUORVEX_TESTS_SUPPORT_EXTENSION_HELPERS_H_

#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "api/extension.h"
#include "extension/ip232_serial_extension.h"

namespace quorvex::test {

using OptionList = std::vector<std::pair<std::string, std::string>>;

inline std::unique_ptr<Ip232SerialExtension> make_extension(
    const OptionList& options) {
  auto extension = std::make_unique<Ip232SerialExtension>(
      ExtensionManifest("ip232-serial", ""));
  for (const auto& [key, value] : options) extension->options().insert_or_assign(key, value);
  return extension;
}

// Redirects std::cout into a string for its lifetime.
class CoutCapture {
 public:
  CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(old_); }
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

// A device that some other extension attached.
class OtherDevice : public SerialPortDevice {
 public:
  bool has_byte() override { return false; }
  std::uint8_t read_byte() override { return 0; }
  bool carrier_detect() override { return false; }
  void write_byte(std::uint8_t) override {}
  bool ready_for_byte() override { return true; }
  void set_rts(bool) override {}
  void set_break(bool) override {}
};

// Attaches `device` to `port` the way another extension would.
inline void occupy(SerialPort& port, SerialPortDevice& device) {
  port.device = &device;
  port.controller.source = &device;
  port.controller.sink = &device;
}

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_EXTENSION_HELPERS_H_
