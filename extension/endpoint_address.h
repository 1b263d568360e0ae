// The endpoint address syntax of the "url" option:
// [scheme://]host:port, where the host may be written in square brackets
// (the form for IPv6 addresses).

#ifndef QUORVEX_EXTENSION_ENDPOINT_ADDRESS_H_
#define QUORVEX_EXTENSION_ENDPOINT_ADDRESS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

struct EndpointAddress {
  std::string scheme;  // as written before "://"; empty when none
  std::string host;    // never empty; without brackets
  std::uint16_t port = 0;  // 1..65535
};

// Splits and checks `text`. On success returns the address and leaves
// `error` untouched; on failure returns nothing and replaces `error` with a
// short lower-case message naming the first fault found. Pure: resolves no
// name, never throws (but for exhausted memory).
std::optional<EndpointAddress> parse_endpoint_address(std::string_view text,
                                                      std::string& error);

}  // namespace quorvex

#endif  // QUORVEX_EXTENSION_ENDPOINT_ADDRESS_H_
