// Fuzzes attach() and detach() of the extension with arbitrary option maps.
//
// The input is a short program of operations on one extension and one
// machine: set an option (one of the keys that attach reads, a near miss of
// one, or "id") to arbitrary text, attach, detach, write the serial
// controller's control register (request-to-send and break reach the
// endpoint), push or pull a byte through the port's controller.
//
// Connecting is made harmless before each attach: an option that would
// name a server is rewritten to 127.0.0.1 (or left at "localhost") and a
// loopback port that nobody listens on, so every connection attempt is
// refused at once. Only values that would pass validation are rewritten;
// the ones that fail reach attach as the input wrote them.
//
// Properties:
// - attach either succeeds or throws std::runtime_error whose message
//   starts with "ip232-serial: ", "SerialPort: " or "ExtensionContext: ";
//   nothing else leaves it;
// - a failed attach leaves the extension's endpoint and the machine's port
//   as they were; a successful one puts the new endpoint on the port (device,
//   byte source and sink) and prints exactly one bridge line naming the
//   mode, the loopback host and the port;
// - detach leaves the port free; every thread ends and nothing leaks
//   (LeakSanitizer checks at the end of each input).

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "api/extension.h"
#include "extension/endpoint_address.h"
#include "extension/ip232_serial_extension.h"
#include "extension/options.h"
#include "fuzz/fuzz_check.h"
#include "host/serial_controller.h"
#include "tools/net/tcp_stream.h"
#include "tests/support/extension_helpers.h"

namespace {

using quorvex::fuzz::check;

constexpr std::array<std::string_view, 10> kKeys = {
    "url", "host", "port", "mode", "handshake", "tx_buffer",
    "id",  "URL",  "mode ", "",
};
constexpr std::size_t kMaxValueBytes = 48;
// Each successful attach starts two threads and each detach joins them;
// a few per input keep the fuzzer fast.
constexpr int kMaxAttachesPerInput = 3;
constexpr std::string_view kLoopback = "127.0.0.1";

// Set from the environment variable IP232_FUZZ_TRACE: print each attach's
// outcome to standard error (for reading what a seed or a finding does).
bool g_trace = false;

// A loopback port with no listener on 127.0.0.1 or ::1: bound, then
// released, so connecting to it is refused.
std::uint16_t g_refused_port = 0;

std::uint16_t find_refused_port() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::string error;
    auto v4 = quorvex::net::TcpListener::open(std::string(kLoopback), 0, 1, error);
    if (!v4) continue;
    const std::uint16_t port = v4->port();
    // The same number must be free on ::1 too ("localhost" may resolve to
    // it); a machine without IPv6 refuses there anyway.
    auto v6 = quorvex::net::TcpListener::open("::1", port, 1, error);
    v4->close();
    if (v6) v6->close();
    return port;
  }
  std::fprintf(stderr, "no free loopback port\n");
  std::abort();
}

std::optional<std::string> option(const quorvex::Extension& extension,
                                  std::string_view key) {
  const auto value = quorvex::find_option(extension.options(), key);
  if (!value) return std::nullopt;
  return std::string(*value);
}

bool non_empty(const std::optional<std::string>& value) {
  return value && !value->empty();
}

// Rewrites the options that would name a server so that attach can only
// reach the refused loopback port. Returns the host that the bridge line
// must name.
std::string defuse(quorvex::Ip232SerialExtension& extension) {
  const std::string refused = std::to_string(g_refused_port);
  const auto url = option(extension, "url");
  if (non_empty(url)) {
    std::string error;
    if (const auto address = quorvex::parse_endpoint_address(*url, error)) {
      std::string safe;
      if (!address->scheme.empty()) safe = address->scheme + "://";
      extension.options().insert_or_assign(
          "url", safe + std::string(kLoopback) + ":" + refused);
    }
    return std::string(kLoopback);
  }
  // Without a url: a named host becomes the loopback address, an absent or
  // empty one stays "localhost"; a port that would pass becomes the refused
  // one (also an absent or empty one, whose default may have a listener).
  std::string host(quorvex::kDefaultHost);
  if (non_empty(option(extension, "host"))) {
    extension.options().insert_or_assign("host", std::string(kLoopback));
    host = kLoopback;
  }
  const auto port = option(extension, "port");
  if (!non_empty(port)) {
    extension.options().insert_or_assign("port", refused);
  } else {
    const std::int32_t value = quorvex::to_int32_saturating(*port);
    if (value >= 1 && value <= 65535) {
      extension.options().insert_or_assign("port", refused);
    }
  }
  return host;
}

bool has_known_prefix(std::string_view message) {
  return message.starts_with("ip232-serial: ") ||
         message.starts_with("SerialPort: ") ||
         message.starts_with("ExtensionContext: ");
}

// Which machine the next attach is applied to.
enum class Machine { kWithPort, kWithoutPort, kPortTaken };

void fuzz_attach(quorvex::Ip232SerialExtension& extension,
                 quorvex::SerialPort& port, Machine machine) {
  quorvex::test::OtherDevice foreign;
  quorvex::ExtensionContext context;
  context.machine_name = "fuzz";
  if (machine != Machine::kWithoutPort) context.serial_port = &port;
  if (machine == Machine::kPortTaken && port.device == nullptr) {
    port.device = &foreign;
  }

  const std::string host = defuse(extension);
  quorvex::ip232::Ip232SerialEndpoint* const endpoint_before = extension.endpoint();
  quorvex::SerialPortDevice* const device_before = port.device;

  std::ostringstream console;
  std::streambuf* const saved = std::cout.rdbuf(console.rdbuf());
  bool succeeded = false;
  try {
    extension.attach(context);
    succeeded = true;
  } catch (const std::runtime_error& error) {
    std::cout.rdbuf(saved);
    if (g_trace) std::fprintf(stderr, "  %s\n", error.what());
    check(has_known_prefix(error.what()),
          std::string("attach failed with a message of no known prefix: ") +
              error.what());
  } catch (...) {
    std::cout.rdbuf(saved);
    check(false, "attach threw something other than std::runtime_error");
  }
  std::cout.rdbuf(saved);
  if (g_trace) {
    std::fprintf(stderr, "attach (machine %d): %s\n", static_cast<int>(machine),
                 succeeded ? console.str().c_str() : "failed");
  }

  if (succeeded) {
    auto* const endpoint = extension.endpoint();
    check(endpoint != nullptr, "attach succeeded without an endpoint");
    check(port.device == endpoint, "endpoint is not the port's device");
    check(port.controller.source == endpoint && port.controller.sink == endpoint,
          "endpoint is not the controller's source and sink");
    const auto mode = option(extension, "mode").value_or("ip232");
    check(mode == "ip232" || mode == "raw", "attach accepted an unknown mode");
    check(console.str() == "ip232-serial: " + mode + " bridge to " + host + ":" +
                               std::to_string(g_refused_port) + " (connecting)\n",
          "bridge line is not the expected one: " + console.str());
  } else {
    check(extension.endpoint() == endpoint_before,
          "failed attach changed the extension's endpoint");
    check(port.device == device_before,
          "failed attach changed the port's device");
    check(console.str().empty(), "failed attach printed something");
  }
  if (port.device == &foreign) port.device = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_refused_port = find_refused_port();
  g_trace = std::getenv("IP232_FUZZ_TRACE") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider input(data, size);
  quorvex::SerialPort port;
  std::optional<quorvex::Ip232SerialExtension> extension;
  extension.emplace(quorvex::ExtensionManifest("ip232-serial", ""));
  int attaches = 0;

  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: {  // set an option
        const auto key = kKeys[input.ConsumeIntegralInRange<std::size_t>(
            0, kKeys.size() - 1)];
        extension->options().insert_or_assign(std::string(key),
                              input.ConsumeRandomLengthString(kMaxValueBytes));
        break;
      }
      case 1: {  // attach
        if (attaches == kMaxAttachesPerInput) return 0;
        ++attaches;
        const auto machine = static_cast<Machine>(input.ConsumeIntegralInRange<int>(
            0, static_cast<int>(Machine::kPortTaken)));
        port.controller.registers[quorvex::SerialController::kControlRegister] =
            input.ConsumeIntegral<std::uint8_t>();
        fuzz_attach(*extension, port, machine);
        break;
      }
      case 2:  // detach
        extension->detach();
        check(port.device == nullptr, "detach left a device on the port");
        check(port.controller.source == nullptr && port.controller.sink == nullptr,
              "detach left the controller's source or sink");
        break;
      case 3:  // the machine changes request-to-send or break
        quorvex::host::write_control(port.controller,
                                      input.ConsumeIntegral<std::uint8_t>());
        break;
      case 4:  // the machine transmits a byte, when it may
        if (port.controller.sink != nullptr) {
          const std::uint8_t byte = input.ConsumeIntegral<std::uint8_t>();
          if (port.controller.sink->ready_for_byte() || input.ConsumeBool()) {
            port.controller.sink->write_byte(byte);
          }
        }
        break;
      case 5:  // the machine polls for a received byte
        if (port.controller.source != nullptr &&
            port.controller.source->has_byte()) {
          port.controller.source->read_byte();
        }
        break;
    }
  }
  // The host detaches before deleting; deleting an attached extension must
  // stop its endpoint all the same. Either way the port is left consistent.
  if (input.remaining_bytes() == 0 && (size & 1) == 0) extension->detach();
  extension.reset();
  return 0;
}
