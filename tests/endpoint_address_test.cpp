// The endpoint address syntax: what is accepted, how it is split, and the
// first fault reported for what is not.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "extension/endpoint_address.h"

namespace quorvex {
namespace {

struct ParseCase {
  std::string_view input;
  // Success: scheme, host and port. Failure: `error` non-empty.
  std::string_view scheme;
  std::string_view host;
  std::uint16_t port;
  std::string_view error;
};

constexpr std::string_view kOk;

const ParseCase kParseCases[] = {
    // Accepted forms.
    {"[::1]:23", "", "::1", 23, kOk},
    {"tcp://[::1]:23", "tcp", "::1", 23, kOk},
    {"::1:23", "", "::1", 23, kOk},
    {"TCP://h:1", "TCP", "h", 1, kOk},
    {"1x+.-://h:1", "1x+.-", "h", 1, kOk},
    {"a://b://c:1", "a", "b://c", 1, kOk},
    {"x[::1]:23", "", "x[::1]", 23, kOk},
    {"host:00023", "", "host", 23, kOk},
    {" host:23", "", " host", 23, kOk},
    {"host:65535", "", "host", 65535, kOk},
    {"[h]:1", "", "h", 1, kOk},
    {"a/b c:9", "", "a/b c", 9, kOk},
    {"h:1:2:3", "", "h:1:2", 3, kOk},
    // Faults, in the order they are checked.
    {"", "", "", 0, "empty endpoint (expected [scheme://]host:port)"},
    {"://host:23", "", "", 0, "missing scheme before '://'"},
    {":///", "", "", 0, "missing scheme before '://'"},
    {"a b://h:1", "", "", 0, "invalid character in scheme 'a b'"},
    {"x_y://h:1", "", "", 0, "invalid character in scheme 'x_y'"},
    {"\xC3\xA9://h:1", "", "", 0, "invalid character in scheme '\xC3\xA9'"},
    {"host", "", "", 0, "missing ':port' in 'host'"},
    {"tcp://host", "", "", 0, "missing ':port' in 'host'"},
    {"tcp://", "", "", 0, "missing ':port' in ''"},
    {"host:", "", "", 0, "missing port"},
    {":23", "", "", 0, "missing host"},
    {":", "", "", 0, "missing host"},
    {"[::1", "", "", 0, "unterminated '[' in IPv6 address"},
    {"[::1]", "", "", 0, "missing ':port' after IPv6 address"},
    {"[::1]x23", "", "", 0, "missing ':port' after IPv6 address"},
    {"[]", "", "", 0, "missing ':port' after IPv6 address"},
    {"[a]]:7", "", "", 0, "missing ':port' after IPv6 address"},
    {"[]:23", "", "", 0, "missing host"},
    {"[::1]:", "", "", 0, "missing port"},
    {"[::1]:23:45", "", "", 0, "port '23:45' is not a number"},
    {"host:+23", "", "", 0, "port '+23' is not a number"},
    {"host: 23", "", "", 0, "port ' 23' is not a number"},
    {"host:23/", "", "", 0, "port '23/' is not a number"},
    {"host:0x17", "", "", 0, "port '0x17' is not a number"},
    {"host:0", "", "", 0, "port 0 out of range (1..65535)"},
    {"host:000", "", "", 0, "port 000 out of range (1..65535)"},
    {"host:65536", "", "", 0, "port 65536 out of range (1..65535)"},
    {"tcp://host:99999", "", "", 0, "port 99999 out of range (1..65535)"},
    {"host:4294967295", "", "", 0,
     "port 4294967295 out of range (1..65535)"},
    {"host:4294967296", "", "", 0, "port '4294967296' is not a number"},
    {"host:4294967300", "", "", 0, "port '4294967300' is not a number"},
    {"host:99999999999x", "", "", 0, "port '99999999999x' is not a number"},
    {"host:000004294967295", "", "", 0,
     "port 000004294967295 out of range (1..65535)"},
};

TEST(EndpointAddress, ParsesOrReportsFirstFault) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE("input '" + std::string(c.input) + "'");
    // A failure replaces the caller's text; a success leaves it untouched.
    std::string error = "earlier text";
    const auto address = parse_endpoint_address(c.input, error);
    if (c.error.empty()) {
      ASSERT_TRUE(address.has_value()) << error;
      EXPECT_EQ(address->scheme, c.scheme);
      EXPECT_EQ(address->host, c.host);
      EXPECT_EQ(address->port, c.port);
      EXPECT_EQ(error, "earlier text");
    } else {
      EXPECT_FALSE(address.has_value());
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(EndpointAddress, ReadsOnlyTheGivenViewAndKeepsNulBytes) {
  // The view need not end in a NUL byte: what follows it is not read.
  const std::string buffer = "h:23999";
  std::string error;
  const auto address =
      parse_endpoint_address(std::string_view(buffer).substr(0, 4), error);
  ASSERT_TRUE(address.has_value()) << error;
  EXPECT_EQ(address->port, 23);
  // An embedded NUL is an ordinary byte of the host.
  const std::string with_nul("a\0b:5", 5);
  const auto nul_host = parse_endpoint_address(with_nul, error);
  ASSERT_TRUE(nul_host.has_value()) << error;
  EXPECT_EQ(nul_host->host, std::string("a\0b", 3));
}

}  // namespace
}  // namespace quorvex
