// Fuzzes the endpoint address parser with arbitrary bytes.
//
// Properties:
// - it never crashes or throws;
// - on success the error text is untouched, the host is non-empty, the
//   port is 1..65535, the scheme is the text before the first "://", the
//   text ends in ":" and the port's digits, and writing the address back in
//   its plain form parses to the same record;
// - on failure the message is one of the parser's own, and every piece of
//   the input that it quotes is the piece that it should quote.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "extension/endpoint_address.h"
#include "fuzz/fuzz_check.h"

namespace {

using quorvex::EndpointAddress;
using quorvex::fuzz::check;

constexpr std::string_view kSeparator = "://";
constexpr std::string_view kUntouched = "\x01untouched error text";

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// `message` is `prefix` + middle + `suffix`; returns the middle, or nothing.
bool split_message(std::string_view message, std::string_view prefix,
                   std::string_view suffix, std::string_view& middle) {
  if (message.size() < prefix.size() + suffix.size()) return false;
  if (!message.starts_with(prefix) || !message.ends_with(suffix)) return false;
  middle = message.substr(prefix.size(),
                          message.size() - prefix.size() - suffix.size());
  return true;
}

// The text after the scheme and its "://" (the whole text without one).
std::string_view remainder_of(std::string_view text) {
  const std::size_t p = text.find(kSeparator);
  return p == std::string_view::npos ? text : text.substr(p + kSeparator.size());
}

void check_success(std::string_view text, const EndpointAddress& address,
                   const std::string& error) {
  check(error == kUntouched, "success changed the error text");
  check(!address.host.empty(), "success with an empty host");
  check(address.port >= 1, "success with port 0");

  const std::size_t p = text.find(kSeparator);
  const std::string_view expected_scheme =
      p == std::string_view::npos ? std::string_view() : text.substr(0, p);
  check(address.scheme == expected_scheme,
        "scheme is not the text before the first '://'");

  // The port text is everything after the last ':' and is wholly digits
  // (leading zeros allowed) with the port's value.
  const std::size_t colon = text.rfind(':');
  check(colon != std::string_view::npos, "success without a ':'");
  const std::string_view port_text = text.substr(colon + 1);
  check(all_digits(port_text), "success with a port that is not digits");
  std::size_t first = 0;
  while (first + 1 < port_text.size() && port_text[first] == '0') ++first;
  check(port_text.substr(first) == std::to_string(address.port),
        "port value differs from its digits");

  // Written back: a host holding ']' can only come from the plain form and
  // never starts with '['; every other host round-trips in brackets.
  std::string again;
  if (!address.scheme.empty()) again = address.scheme + std::string(kSeparator);
  if (address.host.find(']') == std::string::npos) {
    again += "[" + address.host + "]";
  } else {
    again += address.host;
  }
  again += ":" + std::to_string(address.port);
  std::string again_error = std::string(kUntouched);
  const auto reparsed = quorvex::parse_endpoint_address(again, again_error);
  check(reparsed.has_value(), "written-back address does not parse");
  check(reparsed->scheme == address.scheme && reparsed->host == address.host &&
            reparsed->port == address.port,
        "written-back address parses differently");
}

void check_failure(std::string_view text, const std::string& message) {
  static constexpr std::string_view kFixed[] = {
      "empty endpoint (expected [scheme://]host:port)",
      "missing scheme before '://'",
      "unterminated '[' in IPv6 address",
      "missing ':port' after IPv6 address",
      "missing host",
      "missing port",
  };
  for (const std::string_view fixed : kFixed) {
    if (message == fixed) {
      if (fixed == kFixed[0]) check(text.empty(), "empty message, text not empty");
      if (fixed == kFixed[1]) check(text.starts_with(kSeparator), "no leading '://'");
      return;
    }
  }
  check(!text.empty(), "empty text without the empty message");

  std::string_view quoted;
  if (split_message(message, "invalid character in scheme '", "'", quoted)) {
    const std::size_t p = text.find(kSeparator);
    check(p != std::string_view::npos && quoted == text.substr(0, p),
          "scheme message does not quote the scheme");
    return;
  }
  if (split_message(message, "missing ':port' in '", "'", quoted)) {
    check(quoted == remainder_of(text),
          "missing-port message does not quote the remainder");
    check(quoted.find(':') == std::string_view::npos,
          "missing-port message for a remainder with a ':'");
    return;
  }
  if (split_message(message, "port '", "' is not a number", quoted)) {
    check(!quoted.empty() && text.ends_with(quoted),
          "not-a-number message does not quote the end of the text");
    return;
  }
  if (split_message(message, "port ", " out of range (1..65535)", quoted)) {
    check(all_digits(quoted) && text.ends_with(":" + std::string(quoted)),
          "out-of-range message does not quote the port digits");
    return;
  }
  check(false, "message is not one of the parser's");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error(kUntouched);
  const auto address = quorvex::parse_endpoint_address(text, error);
  if (address) {
    check_success(text, *address, error);
  } else {
    check_failure(text, error);
  }
  return 0;
}
