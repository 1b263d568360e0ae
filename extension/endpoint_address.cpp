#include "extension/endpoint_address.h"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "ip232/endpoint_config.h"

namespace quorvex {

namespace {

constexpr std::string_view kSchemeSeparator = "://";

// Letters, digits, '+', '-' and '.'; the first byte of a scheme is held to
// the same class. Bytes from 0x80 up are outside it.
bool is_scheme_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<EndpointAddress> fail(std::string& error, std::string message) {
  error = std::move(message);
  return std::nullopt;
}

// Reads `text` as an unsigned decimal number into a 32-bit accumulator.
// Absent when the text does not start with a digit, holds a byte that is not
// a digit, or its value passes 4294967295. Digits past the overflow point are
// still read so that a trailing non-digit is noticed the same way.
std::optional<std::uint32_t> read_decimal(std::string_view text) {
  constexpr std::uint32_t kLimitDiv10 = 429496729;
  constexpr std::uint32_t kLimitLastDigit = 5;
  if (text.empty() || !is_digit(text.front())) return std::nullopt;
  std::uint32_t value = 0;
  bool overflow = false;
  std::size_t i = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    const auto digit = static_cast<std::uint32_t>(text[i] - '0');
    if (value < kLimitDiv10 ||
        (value == kLimitDiv10 && digit <= kLimitLastDigit)) {
      value = value * 10 + digit;
    } else {
      overflow = true;
    }
  }
  if (overflow || i != text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<EndpointAddress> parse_endpoint_address(std::string_view text,
                                                      std::string& error) {
  if (text.empty()) {
    return fail(error, "empty endpoint (expected [scheme://]host:port)");
  }

  // Only the first "://" separates a scheme; later ones belong to the host.
  std::string_view scheme;
  std::string_view rest = text;
  if (const std::size_t p = text.find(kSchemeSeparator);
      p != std::string_view::npos) {
    if (p == 0) return fail(error, "missing scheme before '://'");
    scheme = text.substr(0, p);
    for (const char c : scheme) {
      if (!is_scheme_byte(c)) {
        return fail(error, "invalid character in scheme '" +
                               std::string(scheme) + "'");
      }
    }
    rest = text.substr(p + kSchemeSeparator.size());
  }

  std::string_view host;
  std::string_view port_text;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      return fail(error, "unterminated '[' in IPv6 address");
    }
    host = rest.substr(1, close - 1);
    // The colon is checked before the host, so "[]" names the missing port.
    if (close + 1 >= rest.size() || rest[close + 1] != ':') {
      return fail(error, "missing ':port' after IPv6 address");
    }
    port_text = rest.substr(close + 2);
  } else {
    // The last colon splits, so an unbracketed IPv6 address still works.
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) {
      return fail(error, "missing ':port' in '" + std::string(rest) + "'");
    }
    host = rest.substr(0, colon);
    port_text = rest.substr(colon + 1);
  }

  if (host.empty()) return fail(error, "missing host");
  if (port_text.empty()) return fail(error, "missing port");

  const std::optional<std::uint32_t> value = read_decimal(port_text);
  if (!value) {
    return fail(error,
                "port '" + std::string(port_text) + "' is not a number");
  }
  if (*value == 0 || *value > ip232::kMaxPort) {
    return fail(error, "port " + std::string(port_text) +
                           " out of range (1..65535)");
  }

  EndpointAddress address;
  address.scheme = std::string(scheme);
  address.host = std::string(host);
  address.port = static_cast<std::uint16_t>(*value);
  return address;
}

}  // namespace quorvex
