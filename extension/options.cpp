#include "extension/options.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "extension/endpoint_address.h"

namespace quorvex {

namespace {

constexpr int kMinPort = 1;

// White space as the C library sees it in the "C" locale.
bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// An option's value, absent when the key is missing or its value is empty.
std::optional<std::string_view> non_empty_option(const OptionMap& options,
                                                 std::string_view key) {
  const std::optional<std::string_view> value = find_option(options, key);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

[[noreturn]] void fail(std::string message) {
  throw std::runtime_error(std::move(message));
}

}  // namespace

std::optional<std::string_view> find_option(const OptionMap& options,
                                            std::string_view key) {
  // std::map<std::string, ...> looks keys up as std::string only.
  const auto it = options.find(std::string(key));
  if (it == options.end()) return std::nullopt;
  return std::string_view(it->second);
}

std::int32_t to_int32_saturating(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // The magnitude is kept at most one past INT32_MAX, enough to tell
  // INT32_MIN from an overflow either way.
  constexpr std::int64_t kMagnitudeCap =
      std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kMagnitudeCap) magnitude = kMagnitudeCap;
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  if (magnitude == kMagnitudeCap) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(magnitude);
}

BridgeSettings read_bridge_settings(const OptionMap& options) {
  BridgeSettings settings;
  // Starts from EndpointConfig's defaults.
  ip232::EndpointConfig& config = settings.endpoint;

  const auto url = non_empty_option(options, "url");
  const auto host = non_empty_option(options, "host");
  const auto port = non_empty_option(options, "port");

  if (url) {
    if (host || port) fail("ip232-serial: url= cannot be combined with host=/port=");
    std::string error;
    std::optional<EndpointAddress> address = parse_endpoint_address(*url, error);
    if (!address) {
      fail("ip232-serial: invalid url '" + std::string(*url) + "': " + error);
    }
    // Any scheme the parser accepts, or none, will do: only host and port
    // matter to a TCP client.
    config.host = std::move(address->host);
    config.port = address->port;
  } else {
    if (host) config.host = std::string(*host);
    if (port) {
      const std::int32_t number = to_int32_saturating(*port);
      if (number < kMinPort || number > ip232::kMaxPort) {
        fail("ip232-serial: port must be 1..65535, got '" + std::string(*port) +
             "'");
      }
      config.port = static_cast<std::uint16_t>(number);
    }
  }

  // Unlike the other options, a present but empty mode is not a default: it
  // is an unknown mode.
  const std::optional<std::string_view> mode =
      find_option(options, "mode");
  settings.mode = mode ? std::string(*mode) : std::string(kModeIp232);
  if (settings.mode == kModeIp232) {
    config.raw = false;
  } else if (settings.mode == kModeRaw) {
    config.raw = true;
  } else {
    fail("ip232-serial: unknown mode '" + settings.mode +
         "' (expected 'ip232' or 'raw')");
  }

  if (const auto handshake = non_empty_option(options, "handshake")) {
    config.handshake = !(*handshake == "false" || *handshake == "0");
  }

  if (const auto tx_buffer = non_empty_option(options, "tx_buffer")) {
    const std::int32_t number = to_int32_saturating(*tx_buffer);
    if (number > 0) config.tx_buffer = static_cast<std::size_t>(number);
  }
  return settings;
}

BridgeSettings read_bridge_settings(const Extension& extension) {
  return read_bridge_settings(extension.options());
}

std::string bridge_line(const BridgeSettings& settings) {
  return "ip232-serial: " + settings.mode + " bridge to " +
         settings.endpoint.host + ":" +
         std::to_string(settings.endpoint.port) + " (connecting)\n";
}

}  // namespace quorvex
