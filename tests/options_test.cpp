// The extension's options: defaults, the rules of each key, the order in
// which faults are reported, and the saturating number conversion.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "extension/ip232_serial_extension.h"
#include "extension/options.h"
#include "tests/support/extension_helpers.h"

namespace quorvex {
namespace {

using Options = test::OptionList;
using test::make_extension;

TEST(ToInt32Saturating, FollowsTheCRulesAndSaturates) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  const std::pair<std::string, std::int32_t> cases[] = {
      {"", 0},
      {"abc", 0},
      {"23", 23},
      {" 23", 23},
      {"\t\n\v\f\r 23", 23},
      {"23x", 23},
      {"2 3", 2},
      {"+23", 23},
      {"-23", -23},
      {"+-23", 0},
      {"- 23", 0},
      {"x23", 0},
      {"0x17", 0},
      {"00023", 23},
      {"2147483647", kMax},
      {"2147483648", kMax},
      {"99999999999", kMax},
      {"99999999999999999999999999999999", kMax},
      {"-2147483648", kMin},
      {"-2147483649", kMin},
      {"-99999999999", kMin},
      {"4294967319", kMax},  // 2^32 + 23: no wrap-around to 23
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(to_int32_saturating(text), expected) << "'" << text << "'";
  }
}

struct SettingsCase {
  Options options;
  std::string host;
  std::uint16_t port;
  std::string mode;
  bool handshake;
  std::size_t tx_buffer;
};

TEST(BridgeSettings, AppliesDefaultsAndRules) {
  const SettingsCase cases[] = {
      {{}, "localhost", 25232, "ip232", true, 4096},
      // url in use
      {{{"url", "tcp://bbs.example:23"}}, "bbs.example", 23, "ip232", true, 4096},
      {{{"url", "[::1]:23"}}, "::1", 23, "ip232", true, 4096},
      {{{"url", "whatever+1://h:7"}}, "h", 7, "ip232", true, 4096},
      {{{"url", "h:7"}, {"host", ""}, {"port", ""}}, "h", 7, "ip232", true, 4096},
      // url empty: host/port used
      {{{"url", ""}, {"host", "h"}, {"port", "23"}}, "h", 23, "ip232", true, 4096},
      {{{"host", ""}}, "localhost", 25232, "ip232", true, 4096},
      {{{"host", "10.0.0.2"}}, "10.0.0.2", 25232, "ip232", true, 4096},
      {{{"port", ""}}, "localhost", 25232, "ip232", true, 4096},
      {{{"port", "23x"}}, "localhost", 23, "ip232", true, 4096},
      {{{"port", " 23"}}, "localhost", 23, "ip232", true, 4096},
      {{{"port", "+23"}}, "localhost", 23, "ip232", true, 4096},
      {{{"port", "1"}}, "localhost", 1, "ip232", true, 4096},
      {{{"port", "65535"}}, "localhost", 65535, "ip232", true, 4096},
      // mode
      {{{"mode", "raw"}}, "localhost", 25232, "raw", true, 4096},
      {{{"mode", "ip232"}}, "localhost", 25232, "ip232", true, 4096},
      // handshake: false only for exactly "false" or "0"
      {{{"handshake", "false"}}, "localhost", 25232, "ip232", false, 4096},
      {{{"handshake", "0"}}, "localhost", 25232, "ip232", false, 4096},
      {{{"handshake", "true"}}, "localhost", 25232, "ip232", true, 4096},
      {{{"handshake", "1"}}, "localhost", 25232, "ip232", true, 4096},
      {{{"handshake", ""}}, "localhost", 25232, "ip232", true, 4096},
      {{{"handshake", "no"}}, "localhost", 25232, "ip232", true, 4096},
      {{{"handshake", "FALSE"}}, "localhost", 25232, "ip232", true, 4096},
      {{{"handshake", " 0"}}, "localhost", 25232, "ip232", true, 4096},
      {{{"handshake", "00"}}, "localhost", 25232, "ip232", true, 4096},
      // tx_buffer: a positive number, else the default
      {{{"tx_buffer", "100"}}, "localhost", 25232, "ip232", true, 100},
      {{{"tx_buffer", "1"}}, "localhost", 25232, "ip232", true, 1},
      {{{"tx_buffer", " 64k"}}, "localhost", 25232, "ip232", true, 64},
      {{{"tx_buffer", "0"}}, "localhost", 25232, "ip232", true, 4096},
      {{{"tx_buffer", "-5"}}, "localhost", 25232, "ip232", true, 4096},
      {{{"tx_buffer", "abc"}}, "localhost", 25232, "ip232", true, 4096},
      {{{"tx_buffer", ""}}, "localhost", 25232, "ip232", true, 4096},
      {{{"tx_buffer", "99999999999"}}, "localhost", 25232, "ip232", true,
       2147483647},
      {{{"tx_buffer", "-99999999999"}}, "localhost", 25232, "ip232", true, 4096},
      // keys are case-sensitive
      {{{"PORT", "abc"}, {"Mode", "x"}}, "localhost", 25232, "ip232", true, 4096},
  };
  for (const SettingsCase& c : cases) {
    std::string label;
    for (const auto& [key, value] : c.options) label += key + "='" + value + "' ";
    SCOPED_TRACE(label);
    const auto extension = make_extension(c.options);
    BridgeSettings settings;
    ASSERT_NO_THROW(settings = read_bridge_settings(*extension));
    EXPECT_EQ(settings.endpoint.host, c.host);
    EXPECT_EQ(settings.endpoint.port, c.port);
    EXPECT_EQ(settings.mode, c.mode);
    EXPECT_EQ(settings.endpoint.raw, c.mode == "raw");
    EXPECT_EQ(settings.endpoint.handshake, c.handshake);
    EXPECT_EQ(settings.endpoint.tx_buffer, c.tx_buffer);
    EXPECT_FALSE(settings.endpoint.on_change);
  }
}

struct RejectCase {
  Options options;
  std::string message;
};

TEST(BridgeSettings, RejectsBadValuesWithTheFirstFault) {
  const RejectCase cases[] = {
      {{{"url", "h:1"}, {"host", "h"}},
       "ip232-serial: url= cannot be combined with host=/port="},
      {{{"url", "h:1"}, {"port", "23"}},
       "ip232-serial: url= cannot be combined with host=/port="},
      // the combination is refused before the url is parsed
      {{{"url", "garbage"}, {"port", "x"}},
       "ip232-serial: url= cannot be combined with host=/port="},
      {{{"url", "tcp://host"}},
       "ip232-serial: invalid url 'tcp://host': missing ':port' in 'host'"},
      {{{"url", "h:99999"}},
       "ip232-serial: invalid url 'h:99999': port 99999 out of range "
       "(1..65535)"},
      {{{"url", " h:0"}},
       "ip232-serial: invalid url ' h:0': port 0 out of range (1..65535)"},
      {{{"port", "0"}}, "ip232-serial: port must be 1..65535, got '0'"},
      {{{"port", "65536"}}, "ip232-serial: port must be 1..65535, got '65536'"},
      {{{"port", "-1"}}, "ip232-serial: port must be 1..65535, got '-1'"},
      {{{"port", "abc"}}, "ip232-serial: port must be 1..65535, got 'abc'"},
      {{{"port", " "}}, "ip232-serial: port must be 1..65535, got ' '"},
      {{{"port", "99999999999"}},
       "ip232-serial: port must be 1..65535, got '99999999999'"},
      {{{"port", "4294967319"}},
       "ip232-serial: port must be 1..65535, got '4294967319'"},
      {{{"mode", ""}},
       "ip232-serial: unknown mode '' (expected 'ip232' or 'raw')"},
      {{{"mode", "RAW"}},
       "ip232-serial: unknown mode 'RAW' (expected 'ip232' or 'raw')"},
      {{{"mode", "raw "}},
       "ip232-serial: unknown mode 'raw ' (expected 'ip232' or 'raw')"},
      // a bad port is reported before a bad mode, a bad url likewise
      {{{"port", "0"}, {"mode", "x"}},
       "ip232-serial: port must be 1..65535, got '0'"},
      {{{"url", "h"}, {"mode", "x"}},
       "ip232-serial: invalid url 'h': missing ':port' in 'h'"},
  };
  for (const RejectCase& c : cases) {
    std::string label;
    for (const auto& [key, value] : c.options) label += key + "='" + value + "' ";
    SCOPED_TRACE(label);
    const auto extension = make_extension(c.options);
    try {
      (void)read_bridge_settings(*extension);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(BridgeSettings, LineShowsModeAndHostWithoutBrackets) {
  const std::pair<Options, std::string> cases[] = {
      {{}, "ip232-serial: ip232 bridge to localhost:25232 (connecting)\n"},
      {{{"url", "[::1]:23"}},
       "ip232-serial: ip232 bridge to ::1:23 (connecting)\n"},
      {{{"host", "h"}, {"port", "00023"}, {"mode", "raw"}},
       "ip232-serial: raw bridge to h:23 (connecting)\n"},
  };
  for (const auto& [options, line] : cases) {
    const auto extension = make_extension(options);
    EXPECT_EQ(bridge_line(read_bridge_settings(*extension)), line);
  }
}

}  // namespace
}  // namespace quorvex
