#include "host/ip232_term_options.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <map>

#include "tools/command_line.h"

namespace quorvex::host {

namespace {

constexpr std::uint8_t kDelete = 0x7F;
constexpr std::uint8_t kCaretBase = 0x40;  // '^@' is 0x00
constexpr std::int64_t kMaxLingerMs = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kMaxConnectTimeoutMs = kMaxLingerMs;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;

constexpr tools::OptionSpec kOptions[] = {
    {"help", 'h', false},      {"version", 'V', false},
    {"extension", 0, true},    {"id", 0, true},
    {"rts", 0, true},          {"escape", 'e', true},
    {"linger", 0, true},       {"trace", 't', true},
    {"echo", 0, false},        {"send-eol", 0, true},
    {"receive-eol", 0, true},  {"connect-timeout", 0, true},
};

std::optional<LineEnd> parse_line_end(std::string_view text) {
  if (text == "keep") return LineEnd::kKeep;
  if (text == "cr") return LineEnd::kCr;
  if (text == "lf") return LineEnd::kLf;
  if (text == "crlf") return LineEnd::kCrLf;
  return std::nullopt;
}

// What C's atoi/atol make of `text`: leading blanks, a sign, digits up to
// the first other character; 0 without digits. Saturates instead of
// overflowing.
std::int64_t c_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<std::int64_t>(value * 10 + (text[i] - '0'),
                                   std::int64_t{1} << 40);
  }
  return negative ? -value : value;
}

// Seconds as digits with up to three decimals ("5", "2.5"), in
// milliseconds; "none" is 0. Nothing for anything else or past `max_ms`.
std::optional<std::int64_t> parse_seconds(std::string_view text,
                                          std::int64_t max_ms) {
  if (text == "none") return 0;
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  std::string_view fraction;
  if (point != std::string_view::npos) {
    fraction = text.substr(point + 1);
    if (fraction.empty() || fraction.size() > 3) return std::nullopt;
  }
  const auto seconds = tools::parse_whole_number(whole, 0, max_ms / 1000);
  if (!seconds) return std::nullopt;
  std::int64_t ms = *seconds * 1000;
  if (!fraction.empty()) {
    const auto part = tools::parse_whole_number(fraction, 0, 999);
    if (!part) return std::nullopt;
    std::int64_t scaled = *part;
    for (std::size_t i = fraction.size(); i < 3; ++i) scaled *= 10;
    ms += scaled;
  }
  if (ms > max_ms) return std::nullopt;
  return ms;
}

bool plain_digits(std::string_view text) {
  return tools::parse_whole_number(text, 0, std::numeric_limits<std::int64_t>::max())
      .has_value();
}

}  // namespace

std::optional<std::uint8_t> parse_escape_byte(std::string_view text) {
  if (text.size() == 1) return static_cast<std::uint8_t>(text[0]);
  if (text.size() != 2 || text[0] != '^') return std::nullopt;
  const char c = text[1];
  if (c == '?') return kDelete;
  if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(c - 'a' + 1);
  if (c >= '@' && c <= '_') return static_cast<std::uint8_t>(c - kCaretBase);
  return std::nullopt;
}

std::optional<TermOptions> parse_term_arguments(
    std::span<const std::string_view> args, std::string& error) {
  const auto split = tools::split_command_line(args, kOptions, error);
  if (!split) return std::nullopt;
  TermOptions options;
  for (const tools::Argument& arg : *split) {
    const std::string_view value = arg.value;
    if (arg.option == nullptr) {
      const auto eq = value.find('=');
      if (eq != std::string_view::npos) {
        options.extension_options.emplace_back(std::string(value.substr(0, eq)),
                                               std::string(value.substr(eq + 1)));
      } else if (value.find(':') != std::string_view::npos) {
        // HOST:PORT, the common case, stands for url=HOST:PORT.
        options.extension_options.emplace_back("url", std::string(value));
      } else {
        error = "expected KEY=VALUE, HOST:PORT or an option, got '" +
                std::string(value) + "'";
        return std::nullopt;
      }
      continue;
    }
    const std::string_view name = arg.option->name;
    if (name == "help") {
      options.help = true;
    } else if (name == "version") {
      options.version = true;
    } else if (name == "extension") {
      options.extension_path = std::string(value);
    } else if (name == "id") {
      options.instance_id = std::string(value);
    } else if (name == "rts") {
      if (value != "on" && value != "off") {
        error = "--rts takes on or off, not '" + std::string(value) + "'";
        return std::nullopt;
      }
      options.rts = value == "on";
    } else if (name == "escape") {
      if (value == "none") {
        options.escape = TermOptions::Escape::kNone;
      } else if (const auto byte = parse_escape_byte(value)) {
        options.escape = TermOptions::Escape::kByte;
        options.escape_byte = *byte;
      } else {
        error = "--escape takes one character, ^X or none, not '" +
                std::string(value) + "'";
        return std::nullopt;
      }
    } else if (name == "linger") {
      const auto linger = tools::parse_whole_number(value, 0, kMaxLingerMs);
      if (!linger) {
        error = "--linger takes milliseconds (0 to 2147483647), not '" +
                std::string(value) + "'";
        return std::nullopt;
      }
      options.linger_ms = *linger;
    } else if (name == "connect-timeout") {
      const auto timeout = parse_seconds(value, kMaxConnectTimeoutMs);
      if (!timeout) {
        error = "--connect-timeout takes seconds (such as 5 or 2.5) or none, "
                "not '" + std::string(value) + "'";
        return std::nullopt;
      }
      options.connect_timeout_ms = *timeout;
    } else if (name == "trace") {
      if (value.empty()) {
        error = "--trace takes a file name or -, not ''";
        return std::nullopt;
      }
      options.trace_path = std::string(value);
    } else if (name == "echo") {
      options.echo = true;
    } else {
      const auto line_end = parse_line_end(value);
      if (!line_end) {
        error = "--" + std::string(name) + " takes keep, cr, lf or crlf, not '" +
                std::string(value) + "'";
        return std::nullopt;
      }
      (name == "send-eol" ? options.send_line_end : options.receive_line_end) =
          *line_end;
    }
  }
  return options;
}

std::string term_usage() {
  return R"usage(usage: ip232-term [OPTION...] [HOST:PORT] [KEY=VALUE...]

Plays an emulated machine with one serial port and applies the ip232-serial
extension to it: bytes read from standard input are transmitted by the
machine, bytes the machine receives are written to standard output.

  HOST:PORT            short for url=HOST:PORT
  KEY=VALUE            an extension option: url, host, port, mode (ip232 or
                       raw), handshake, tx_buffer, id; split at the first
                       '='; the last of a repeated key wins
  -e, --escape CHAR|none
                       the byte that starts a command: one character or caret
                       notation such as ^] (default ^] when standard input is
                       a terminal, none otherwise); after it:
                         ?  help and status         q  quit
                         +  assert request-to-send  -  deassert it
                         b  start a break           B  end the break
                         the escape byte again: send it
  -t, --trace FILE|-   record what the machine sends and receives (hex and
                       text, with times) and the host's events; - for
                       standard error
      --echo           show typed bytes locally
      --send-eol keep|cr|lf|crlf
                       send each typed line end (CR, LF or CR LF) as this
      --receive-eol keep|cr|lf|crlf
                       show each received line end as this
      --rts on|off     request-to-send when the extension is applied (on)
      --linger MS      after the end of input, keep running MS milliseconds
                       (default 1000)
      --connect-timeout SECONDS|none
                       give up when no connection is made within SECONDS
                       (such as 5 or 2.5; in mode raw counted only while
                       request-to-send is on); default 5 when standard
                       input is not a terminal, none on a terminal; 0 or
                       none: no limit
      --extension PATH the extension library (default: the one beside this
                       program, else where an install puts it)
      --id TEXT        the instance id in the extension's manifest
  -h, --help           show this text
  -V, --version        show the version

On a terminal every key is sent, Ctrl-C, Ctrl-Z and Ctrl-\ included; use the
escape key to quit.

ip232-term watches the extension's connection itself and says on standard
error, one line each: "connected to HOST:PORT"; "connection closed after
12.3 s (sent N, received M)" (the bytes the machine sent and received on
it); "not connected: nothing answers at HOST:PORT (retrying every 0.5 s)"
when no connection is made within about 2 s; and, when the name does not
resolve, the system's reason. The trace records the same events.

Exit status:
  0  the input ended (and --linger passed) after a connection was made, or
     ^] q, SIGINT, SIGTERM or SIGHUP ended the program
  1  no connection: none within --connect-timeout, or the input ended before
     one was made (the reason on standard error); or the extension could
     not be loaded or applied, or standard output failed
  2  a usage error
)usage";
}

std::vector<std::string> extension_option_warnings(
    const std::vector<std::pair<std::string, std::string>>& options) {
  std::vector<std::string> warnings;
  std::string known;
  for (const std::string_view key : kExtensionOptionKeys) {
    known += (known.empty() ? "" : ", ") + std::string(key);
  }
  // The last of a repeated key is the one the extension sees.
  std::map<std::string, std::string> last;
  for (const auto& [key, value] : options) last.insert_or_assign(key, value);
  for (const auto& [key, value] : options) {
    if (std::find(std::begin(kExtensionOptionKeys),
                  std::end(kExtensionOptionKeys),
                  key) == std::end(kExtensionOptionKeys)) {
      warnings.push_back("the extension does not read '" + key +
                         "' (it reads " + known + ")");
    }
  }
  for (const auto& [key, value] : last) {
    if (value.empty()) continue;
    if (key == "handshake" && value != "true" && value != "1" &&
        value != "false" && value != "0") {
      warnings.push_back("handshake=" + value +
                         " is taken as true: only false or 0 turn it off");
    } else if (key == "port" && !plain_digits(value)) {
      const std::int64_t port = c_number(value);
      if (port >= 1 && port <= 65535) {
        warnings.push_back("port=" + value + " is taken as " +
                           std::to_string(port));
      }
    } else if (key == "tx_buffer" && !plain_digits(value)) {
      const std::int64_t size = c_number(value);
      warnings.push_back(
          "tx_buffer=" + value + " is taken as " +
          (size > 0 && size <= std::numeric_limits<std::int32_t>::max()
               ? std::to_string(size)
               : std::string("4096")));
    }
  }
  return warnings;
}

void LineEndMapper::map(std::uint8_t byte, std::vector<std::uint8_t>& out) {
  if (mode_ == LineEnd::kKeep) {
    out.push_back(byte);
    return;
  }
  const bool was_after_cr = after_cr_;
  after_cr_ = byte == kCr;
  if (byte == kLf && was_after_cr) return;  // the LF of a CR LF
  if (byte != kCr && byte != kLf) {
    out.push_back(byte);
    return;
  }
  if (mode_ != LineEnd::kLf) out.push_back(kCr);
  if (mode_ != LineEnd::kCr) out.push_back(kLf);
}

EscapeReader::Step EscapeReader::feed(std::uint8_t byte) {
  Step step;
  if (!after_escape_) {
    if (has_escape_ && byte == escape_) {
      after_escape_ = true;
    } else {
      step.is_data = true;
      step.data = byte;
    }
    return step;
  }
  after_escape_ = false;
  if (byte == escape_) {
    step.is_data = true;
    step.data = byte;
    return step;
  }
  switch (byte) {
    case '+': step.command = TermCommand::kRtsOn; break;
    case '-': step.command = TermCommand::kRtsOff; break;
    case 'b': step.command = TermCommand::kBreakOn; break;
    case 'B': step.command = TermCommand::kBreakOff; break;
    case 'q': step.command = TermCommand::kQuit; break;
    case '?': step.command = TermCommand::kStatus; break;
    default:
      step.command = TermCommand::kUnknown;
      step.data = byte;
      break;
  }
  return step;
}

}  // namespace quorvex::host
