// ip232-term's command line and the escape commands in its input: what
// each argument promises, and that every mistake is refused by name.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/ip232_term_options.h"

namespace quorvex::host {
namespace {

std::optional<TermOptions> parse(std::vector<std::string_view> args,
                                 std::string& error) {
  return parse_term_arguments(args, error);
}

// Extension options reach the extension in the order given, each split at
// its first '='; empty values and repeats stay for the extension to judge.
TEST(TermArguments, ExtensionOptionsPassInOrderSplitAtTheFirstEquals) {
  std::string error;
  const auto options =
      parse({"port=23", "--extension", "/x/m.so", "host=", "--id=abc",
             "--rts", "off", "--escape", "^A", "--linger", "0",
             "url=tcp://h:1=2", "port=24"},
            error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->extension_path, "/x/m.so");
  EXPECT_EQ(options->instance_id, "abc");
  EXPECT_FALSE(options->rts);
  EXPECT_EQ(options->escape, TermOptions::Escape::kByte);
  EXPECT_EQ(options->escape_byte, 0x01);
  EXPECT_EQ(options->linger_ms, 0);
  // In order, split at the first '='; an empty value stays; the host's
  // option map lets the last of a repeated key win.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"port", "23"}, {"host", ""}, {"url", "tcp://h:1=2"}, {"port", "24"}};
  EXPECT_EQ(options->extension_options, expected);
}

// Short forms mean what the long ones do, and after "--" every argument
// is an extension option.
TEST(TermArguments, ShortFormsAndDoubleDashMeanWhatTheLongFormsDo) {
  std::string error;
  const auto options =
      parse({"-e^A", "-t", "-", "--echo", "--once", "--send-eol=crlf",
             "--receive-eol", "lf", "[::1]:2323", "--", "-x=1"},
            error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->escape_byte, 0x01);
  EXPECT_EQ(options->trace_path, "-");
  EXPECT_TRUE(options->echo);
  EXPECT_TRUE(options->once);
  EXPECT_EQ(options->send_line_end, LineEnd::kCrLf);
  EXPECT_EQ(options->receive_line_end, LineEnd::kLf);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"url", "[::1]:2323"}, {"-x", "1"}};
  EXPECT_EQ(options->extension_options, expected);
  const auto version = parse({"-V", "--bogus"}, error);
  ASSERT_TRUE(version.has_value()) << error;
  EXPECT_TRUE(version->version);
}

TEST(TermArguments, AddressByPositionAndModeShortcuts) {
  using Options = std::vector<std::pair<std::string, std::string>>;
  const std::pair<std::vector<std::string_view>, Options> cases[] = {
      {{"localhost", "23"}, {{"url", "localhost:23"}}},
      {{"10.0.0.1", "23", "handshake=0"},
       {{"url", "10.0.0.1:23"}, {"handshake", "0"}}},
      {{"::1", "23"}, {{"url", "[::1]:23"}}},
      {{"[::1]", "23"}, {{"url", "[::1]:23"}}},
      {{"[::1]:23"}, {{"url", "[::1]:23"}}},
      {{"tcp://h:23"}, {{"url", "tcp://h:23"}}},
      // An empty host= or port= is absent, as the extension counts it.
      {{"h:1", "port=", "host="}, {{"url", "h:1"}, {"port", ""}, {"host", ""}}},
      {{"--raw", "h:1"}, {{"mode", "raw"}, {"url", "h:1"}}},
      {{"--mode", "raw", "mode=ip232", "--mode=ip232"},
       {{"mode", "raw"}, {"mode", "ip232"}, {"mode", "ip232"}}},
  };
  for (const auto& [args, expected] : cases) {
    std::string error;
    const auto options = parse(args, error);
    ASSERT_TRUE(options.has_value()) << args[0] << ": " << error;
    EXPECT_EQ(options->extension_options, expected) << args[0];
  }
}

// A key the extension ignores is named with the one probably meant, and a
// value is warned of exactly when the extension reads it otherwise than it
// looks, by the extension's own rules.
TEST(ExtensionOptionWarnings, NameIgnoredKeysAndValuesReadOtherwise) {
  const std::vector<std::pair<std::string, std::string>> options = {
      {"prot", "2323"}, {"Port", "1"},          {"handshake", "off"},
      {"port", "23x"},  {"tx_buffer", "-5"},    {"mode", "raw"},
      {"id", "a"},      {"handshake", "0"}, {"url", ""},
      {"TX-BUFFER", "1"}, {"hots", "h"},    {"linger", "0"},
      {"speed", "9600"}};
  const std::vector<std::string> expected = {
      "the extension does not read 'prot': did you mean port?",
      "the extension does not read 'Port': did you mean port?",
      "the extension does not read 'TX-BUFFER': did you mean tx_buffer?",
      "the extension does not read 'hots': did you mean host?",
      "the extension does not read 'linger': did you mean --linger?",
      "the extension does not read 'speed' (it reads url, host, port, mode, "
      "handshake, tx_buffer, id)",
      // handshake=off is overridden by the later handshake=0.
      "port=23x is taken as 23",
      "tx_buffer=-5 is taken as 4096",
  };
  EXPECT_EQ(extension_option_warnings(options), expected);
  EXPECT_EQ(extension_option_warnings({{"handshake", "off"}}),
            std::vector<std::string>{
                "handshake=off is taken as true: only false or 0 turn it off"});
  EXPECT_TRUE(extension_option_warnings(
                  {{"port", "23"}, {"handshake", "false"}, {"tx_buffer", "64"}})
                  .empty());
  // The extension's own reading, past the 32-bit range too.
  EXPECT_EQ(extension_option_warnings({{"tx_buffer", "99999999999x"}}),
            std::vector<std::string>{"tx_buffer=99999999999x is taken as 2147483647"});
}

// Each line end (CR, LF or CR LF) becomes exactly one of the chosen kind.
TEST(LineEndMapper, ReplacesEachLineEndOnce) {
  const std::pair<LineEnd, std::string_view> cases[] = {
      {LineEnd::kKeep, "a\rb\nc\r\nd"},
      {LineEnd::kCr, "a\rb\rc\rd"},
      {LineEnd::kLf, "a\nb\nc\nd"},
      {LineEnd::kCrLf, "a\r\nb\r\nc\r\nd"},
  };
  for (const auto& [mode, expected] : cases) {
    LineEndMapper mapper(mode);
    std::vector<std::uint8_t> out;
    for (const char c : std::string_view("a\rb\nc\r\nd")) {
      mapper.map(static_cast<std::uint8_t>(c), out);
    }
    EXPECT_EQ(std::string(out.begin(), out.end()), expected);
  }
}

// "--escape none" means no escape byte; --help wins over what follows it,
// even a bad option.
TEST(TermArguments, EscapeNoneAndHelpBeforeABadOption) {
  std::string error;
  const auto none = parse({"--escape", "none"}, error);
  ASSERT_TRUE(none.has_value()) << error;
  EXPECT_EQ(none->escape, TermOptions::Escape::kNone);
  const auto help = parse({"port=1", "--help", "--bogus"}, error);
  ASSERT_TRUE(help.has_value()) << error;
  EXPECT_TRUE(help->help);
}

// --connect-timeout takes seconds to the millisecond, or none; anything
// else is refused with the value named.
TEST(TermArguments, ConnectTimeoutInSecondsOrNone) {
  const std::pair<std::string_view, std::optional<std::int64_t>> cases[] = {
      {"5", 5000}, {"2.5", 2500}, {"0.125", 125}, {"0", 0}, {"none", 0},
      {"-1", std::nullopt}, {"1.2345", std::nullopt}, {".5", std::nullopt},
      {"1.", std::nullopt}, {"5s", std::nullopt}, {"", std::nullopt},
      {"2147484", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    std::string error;
    const auto options = parse({"--connect-timeout", text}, error);
    EXPECT_EQ(options ? options->connect_timeout_ms : std::nullopt, expected)
        << "'" << text << "'";
    if (!expected) {
      EXPECT_EQ(error, "--connect-timeout takes seconds (such as 5 or 2.5) "
                       "or none, not '" + std::string(text) + "'");
    }
  }
  std::string error;
  EXPECT_EQ(parse({}, error)->connect_timeout_ms, std::nullopt);
}

// Every usage error is refused with one line that names the bad argument.
TEST(TermArguments, EveryUsageErrorNamesTheBadArgument) {
  const std::pair<std::vector<std::string_view>, std::string> cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"--bogus=1"}, "unknown option '--bogus'"},
      {{"port"},
       "expected KEY=VALUE, HOST:PORT, HOST PORT or an option, got 'port'"},
      {{"h", "--echo"},
       "expected KEY=VALUE, HOST:PORT, HOST PORT or an option, got 'h'"},
      {{"h", "23x"}, "expected a port number after 'h', got '23x'"},
      {{"h", "port=23"}, "expected a port number after 'h', got 'port=23'"},
      {{"h", "65536"}, "port must be 1..65535, got '65536'"},
      {{"h", "99999999999999999999"},
       "port must be 1..65535, got '99999999999999999999'"},
      {{"a:1", "b:2"}, "a second address 'b:2' after 'a:1': give one HOST:PORT"},
      {{"a:1", "b", "2"},
       "a second address 'b 2' after 'a:1': give one HOST:PORT"},
      {{"a:1", "host=h"},
       "HOST:PORT 'a:1' cannot be combined with host=/port="},
      {{"port=2", "a", "1"},
       "HOST PORT 'a 1' cannot be combined with host=/port="},
      {{"url=u:1", "a:1"}, "HOST:PORT 'a:1' cannot be combined with url="},
      {{"--mode", "RAW"}, "--mode takes ip232 or raw, not 'RAW'"},
      {{"--raw=1"}, "option --raw takes no value"},
      {{"--echo=yes"}, "option --echo takes no value"},
      {{"--once=1"}, "option --once takes no value"},
      {{"-hx"}, "unknown option '-hx'"},
      {{"--trace="}, "--trace takes a file name or -, not ''"},
      {{"--send-eol", "CRLF"},
       "--send-eol takes keep, cr, lf or crlf, not 'CRLF'"},
      {{"--rts"}, "option --rts needs a value"},
      {{"--rts", "yes"}, "--rts takes on or off, not 'yes'"},
      {{"--rts", "ON"}, "--rts takes on or off, not 'ON'"},
      {{"--escape", "^1"}, "--escape takes one character, ^X or none, not '^1'"},
      {{"--escape", ""}, "--escape takes one character, ^X or none, not ''"},
      {{"--escape", "ab"}, "--escape takes one character, ^X or none, not 'ab'"},
      {{"--linger", "-1"},
       "--linger takes milliseconds (0 to 2147483647), not '-1'"},
      {{"--linger", "1s"},
       "--linger takes milliseconds (0 to 2147483647), not '1s'"},
      {{"--linger", ""},
       "--linger takes milliseconds (0 to 2147483647), not ''"},
      {{"--linger", "2147483648"},
       "--linger takes milliseconds (0 to 2147483647), not '2147483648'"},
      {{"--bogus", "--help"}, "unknown option '--bogus'"},
  };
  for (const auto& [args, message] : cases) {
    std::string error;
    EXPECT_FALSE(parse(args, error).has_value()) << message;
    EXPECT_EQ(error, message);
  }
}

// The escape byte is one character or caret notation, nothing else.
TEST(EscapeByte, ReadsOneCharacterOrCaretNotation) {
  const std::pair<std::string_view, std::optional<std::uint8_t>> cases[] = {
      {"^]", 0x1D}, {"^@", 0x00}, {"^A", 0x01}, {"^a", 0x01}, {"^Z", 0x1A},
      {"^z", 0x1A}, {"^[", 0x1B}, {"^_", 0x1F}, {"^?", 0x7F}, {"^^", 0x1E},
      {"~", '~'},   {"^", '^'},   {"\xE9", 0xE9},
      {"", std::nullopt},   {"^1", std::nullopt}, {"^`", std::nullopt},
      {"ab", std::nullopt}, {"^]x", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parse_escape_byte(text), expected) << "'" << text << "'";
  }
}

// Feeds `input` and describes what came out: data bytes as themselves,
// commands as "<+>", "<->", "<b>", "<B>", "<q>", "<?>", unknown ones as
// "<!x>".
std::string run_escape_reader(bool enabled, std::uint8_t escape,
                              std::string_view input) {
  EscapeReader reader(enabled, escape);
  std::string out;
  for (const char c : input) {
    const EscapeReader::Step step = reader.feed(static_cast<std::uint8_t>(c));
    if (step.is_data) {
      out += static_cast<char>(step.data);
      continue;
    }
    switch (step.command) {
      case TermCommand::kRtsOn: out += "<+>"; break;
      case TermCommand::kRtsOff: out += "<->"; break;
      case TermCommand::kBreakOn: out += "<b>"; break;
      case TermCommand::kBreakOff: out += "<B>"; break;
      case TermCommand::kQuit: out += "<q>"; break;
      case TermCommand::kStatus: out += "<?>"; break;
      case TermCommand::kUnknown:
        out += "<!" + std::string(1, static_cast<char>(step.data)) + ">";
        break;
      case TermCommand::kNone: break;
    }
  }
  return out;
}

// Typed bytes are data except the escape byte and the command after it;
// the escape byte twice sends it once.
TEST(EscapeReader, SplitsDataFromCommands) {
  struct Case {
    bool enabled;
    char escape;
    std::string_view input;
    std::string_view output;
  };
  const Case cases[] = {
      {true, '~', "ab", "ab"},
      {true, '~', "a~+b~-c", "a<+>b<->c"},
      {true, '~', "~b~B~q~?", "<b><B><q><?>"},
      {true, '~', "~~", "~"},             // the escape twice sends it once
      {true, '~', "~~~+", "~<+>"},
      {true, '~', "~x~", "<!x>"},         // unknown command, then pending
      {true, '~', "~xy", "<!x>y"},
      {true, '~', "~Q~Bq", "<!Q><B>q"},   // commands are case-sensitive
      {false, '~', "~+~~", "~+~~"},       // no escape byte: all data
      {true, '\x1d', "\x1d+\xff\x1d\x1d", "<+>\xff\x1d"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run_escape_reader(c.enabled, static_cast<std::uint8_t>(c.escape),
                                c.input),
              c.output)
        << "'" << c.input << "'";
  }
}

}  // namespace
}  // namespace quorvex::host
