#include "extension/endpoint_address.h"

namespace quorvex {

// Placeholder until the parser lands.
std::optional<EndpointAddress> parse_endpoint_address(std::string_view,
                                                      std::string& error) {
  error = "not implemented";
  return std::nullopt;
}

}  // namespace quorvex
