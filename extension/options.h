// Reading the extension's options into the bridge's settings.
//
// The option map holds text as the user typed it. These functions look the
// keys up, apply the defaults and the rules of each option, and either
// return complete settings or throw std::runtime_error with a message that
// names the bad value. They start nothing and touch no machine, so a failure
// here leaves everything as it was.

#ifndef QUORVEX_EXTENSION_OPTIONS_H_
#define QUORVEX_EXTENSION_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api/extension.h"
#include "ip232/endpoint_config.h"

namespace quorvex {

// The defaults when an option is absent (or, but for "mode", empty) are
// EndpointConfig's: ip232::kDefaultHost, kDefaultPort, kDefaultHandshake and
// kDefaultTxBuffer.
using ip232::kDefaultHost;
using ip232::kDefaultPort;
using ip232::kDefaultTxBuffer;
inline constexpr std::string_view kModeIp232 = "ip232";
inline constexpr std::string_view kModeRaw = "raw";

// Converts text the way the C library's atoi does - leading white space
// skipped, an optional sign, decimal digits up to the first other byte, 0
// when there are none - except that a value beyond the 32-bit range
// saturates at INT32_MIN or INT32_MAX instead of being undefined. The result
// is the same on every platform.
std::int32_t to_int32_saturating(std::string_view text);

// The value of `key` in `options` (exact, case-sensitive match), absent when
// the key is not in the map. The view lives as long as the option is
// unchanged.
std::optional<std::string_view> find_option(const OptionMap& options,
                                            std::string_view key);

// The validated options of one attach.
struct BridgeSettings {
  ip232::EndpointConfig endpoint;  // on_change left empty
  std::string mode;                // "ip232" or "raw", as validated
};

// Reads url, host, port, mode, handshake and tx_buffer from `extension`'s
// option map. Throws std::runtime_error ("ip232-serial: ...") on the first
// bad value: url combined with host/port, an invalid url, a port outside
// 1..65535, an unknown mode - checked in that order.
BridgeSettings read_bridge_settings(const Extension& extension);
// The same from an option map alone: what the extension would make of
// `options` (ip232-term's warnings ask this).
BridgeSettings read_bridge_settings(const OptionMap& options);

// The console line announcing the bridge, with its newline:
// "ip232-serial: <mode> bridge to <host>:<port> (connecting)".
std::string bridge_line(const BridgeSettings& settings);

}  // namespace quorvex

#endif  // QUORVEX_EXTENSION_OPTIONS_H_
