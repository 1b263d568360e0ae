#include "host/ip232_term_options.h"

#include <algorithm>
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
    {"receive-eol", 0, true},  {"mode", 0, true},
    {"raw", 0, false},         {"connect-timeout", 0, true},
};

std::optional<LineEnd> parse_line_end(std::string_view text) {
  if (text == "keep") return LineEnd::kKeep;
  if (text == "cr") return LineEnd::kCr;
  if (text == "lf") return LineEnd::kLf;
  if (text == "crlf") return LineEnd::kCrLf;
  return std::nullopt;
}

// Whether an operand without '=' is a whole address as url= takes it:
// HOST:PORT, [IPV6]:PORT, or with a scheme. Otherwise it is a HOST (a name,
// an IPv4 address, or an IPv6 address with its colons) that the next operand
// completes with the port.
bool is_host_and_port(std::string_view text) {
  if (text.find("://") != std::string_view::npos) return true;
  if (text.starts_with('[')) return text.find("]:") != std::string_view::npos;
  return std::count(text.begin(), text.end(), ':') == 1;
}

// The url for HOST PORT typed as two operands.
std::string url_of(std::string_view host, std::string_view port) {
  const bool bare_ipv6 =
      host.find(':') != std::string_view::npos && !host.starts_with('[');
  return (bare_ipv6 ? "[" + std::string(host) + "]" : std::string(host)) +
         ":" + std::string(port);
}

// The server's address when the command line names it by position.
struct TypedAddress {
  std::string form;  // "HOST:PORT" or "HOST PORT"
  std::string text;  // as typed, the operands joined by a blank
  std::string url;   // what the extension gets as url=
  std::size_t operands = 1;
};

// Reads the address at the start of `operands` (the rest of the command
// line, starting with an operand without '='): HOST:PORT, or HOST and the
// PORT after it. On failure returns nothing and sets `error`.
std::optional<TypedAddress> read_address(
    std::span<const tools::Argument> operands, std::string& error) {
  const std::string_view first = operands[0].value;
  if (is_host_and_port(first)) {
    return TypedAddress{"HOST:PORT", std::string(first), std::string(first)};
  }
  const tools::Argument* next = operands.size() > 1 ? &operands[1] : nullptr;
  if (next == nullptr || next->option != nullptr) {
    error = "expected KEY=VALUE, HOST:PORT, HOST PORT or an option, got '" +
            std::string(first) + "'";
    return std::nullopt;
  }
  const std::string_view port = next->value;
  // Any run of digits after HOST is meant as its port.
  if (port.empty() ||
      !std::all_of(port.begin(), port.end(),
                   [](char c) { return c >= '0' && c <= '9'; })) {
    error = "expected a port number after '" + std::string(first) +
            "', got '" + std::string(port) + "'";
    return std::nullopt;
  }
  if (!tools::parse_whole_number(port, 1, 65535)) {
    error = "port must be 1..65535, got '" + std::string(port) + "'";
    return std::nullopt;
  }
  return TypedAddress{"HOST PORT",
                      std::string(first) + " " + std::string(port),
                      url_of(first, port), 2};
}

// The address by position stands for url=, which the extension refuses
// beside a non-empty host= or port= and which a url= would silently
// replace: both are usage errors named after what was typed.
std::string address_conflict(
    const TypedAddress& address,
    const std::vector<std::pair<std::string, std::string>>& options,
    std::size_t address_index) {
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (i != address_index && options[i].first == "url") {
      return address.form + " '" + address.text +
             "' cannot be combined with url=";
    }
  }
  std::map<std::string, std::string> last;
  for (const auto& [key, value] : options) last.insert_or_assign(key, value);
  for (const char* key : {"host", "port"}) {
    const auto it = last.find(key);
    if (it != last.end() && !it->second.empty()) {
      return address.form + " '" + address.text +
             "' cannot be combined with host=/port=";
    }
  }
  return {};
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

}  // namespace

std::vector<std::string_view> term_option_names() {
  std::vector<std::string_view> names;
  for (const tools::OptionSpec& option : kOptions) names.push_back(option.name);
  return names;
}

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
  std::optional<TypedAddress> address;
  std::size_t address_index = 0;  // its url= in extension_options
  for (std::size_t i = 0; i < split->size(); ++i) {
    const tools::Argument& arg = (*split)[i];
    const std::string_view value = arg.value;
    if (arg.option == nullptr) {
      const auto eq = value.find('=');
      if (eq != std::string_view::npos) {
        options.extension_options.emplace_back(std::string(value.substr(0, eq)),
                                               std::string(value.substr(eq + 1)));
        continue;
      }
      // HOST:PORT, the common case, stands for url=HOST:PORT; so does
      // HOST PORT in two operands.
      auto typed = read_address(std::span(*split).subspan(i), error);
      if (!typed) return std::nullopt;
      if (address) {
        error = "a second address '" + typed->text + "' after '" +
                address->text + "': give one HOST:PORT";
        return std::nullopt;
      }
      i += typed->operands - 1;
      address_index = options.extension_options.size();
      options.extension_options.emplace_back("url", typed->url);
      address = std::move(typed);
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
    } else if (name == "raw") {
      options.extension_options.emplace_back("mode", "raw");
    } else if (name == "mode") {
      if (value != "ip232" && value != "raw") {
        error = "--mode takes ip232 or raw, not '" + std::string(value) + "'";
        return std::nullopt;
      }
      options.extension_options.emplace_back("mode", std::string(value));
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
  if (address && !options.help && !options.version) {
    error = address_conflict(*address, options.extension_options, address_index);
    if (!error.empty()) return std::nullopt;
  }
  return options;
}

// The usage text is also the source of the manual page (help2man): a line
// "Heading:" with indented lines below starts a section there.
std::string term_usage() {
  return R"usage(Usage: ip232-term [OPTION...] [HOST:PORT | HOST PORT] [KEY=VALUE...]

Plays an emulated machine with one serial port and applies the ip232-serial
extension to it: bytes read from standard input are transmitted by the
machine, bytes the machine receives are written to standard output.

  HOST:PORT            the server, short for url=HOST:PORT; at most one
  HOST PORT            the same in two words (an IPv6 address as ::1 23 or
                       [::1]:23)
  KEY=VALUE            an extension option: url, host, port, mode (ip232 or
                       raw), handshake, tx_buffer, id; split at the first
                       '='; the last of a repeated key wins

Options:
  -e, --escape CHAR|none
                       the byte that starts a command: one character or caret
                       notation such as ^] (default ^] when standard input is
                       a terminal, none otherwise), followed by one of the
                       escape commands below
  -t, --trace FILE|-   record what the machine sends and receives (hex and
                       text, with times) and the host's events; - for
                       standard error
      --mode ip232|raw
                       short for mode=ip232 or mode=raw
      --raw            short for mode=raw
      --echo           show typed bytes locally
      --send-eol keep|cr|lf|crlf
                       send each typed line end (CR, LF or CR LF) as this
      --receive-eol keep|cr|lf|crlf
                       show each received line end as this (crlf: an
                       echoed Enter, a bare CR, starts a new line)
      --rts on|off     request-to-send when the extension is applied (on)
      --linger MS      after the end of input, keep running MS milliseconds
                       (default 1000)
      --connect-timeout SECONDS|none
                       give up when no connection is made within SECONDS
                       (such as 5 or 2.5; in mode raw counted only while
                       request-to-send is on); default 5 when standard
                       input is not a terminal, none on a terminal; 0 or
                       none: no limit
      --extension PATH
                       the extension library (default: the one beside this
                       program, else where an install puts it)
      --id TEXT        the instance id in the extension's manifest
  -h, --help           show this text
  -V, --version        show the version

Escape commands:
  ?                    help and status
  q                    quit
  +                    assert request-to-send
  -                    deassert request-to-send
  b                    start a break
  B                    end the break
  the escape byte      send it

Connection reports:
  ip232-term watches the extension's connection itself and says on standard
  error, one line each: "connected to HOST:PORT"; "connection closed after
  12.3 s (sent N, received M)" (the bytes the machine sent and received on
  it); "not connected: nothing answers at HOST:PORT (retrying every 0.5 s)"
  when no connection is made within about 1.5 s; and, when the name does not
  resolve, the system's reason. The trace records the same events.

On a terminal every key is sent, Ctrl-C, Ctrl-Z and Ctrl-\ included; use the
escape key to quit. At the end of input, ^] q, SIGINT or SIGTERM the
extension is detached and the program ends.

Exit status:
  0                    done: the input ended (and --linger passed) after a
                       connection was made, or ^] q, SIGINT, SIGTERM or
                       SIGHUP ended the program
  1                    no connection: none within --connect-timeout, or the
                       input ended before one was made (the reason on
                       standard error); or a failure: the extension could
                       not be loaded or applied, or standard output failed
  2                    a usage error
)usage";
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
