#include "host/ip232_term_options.h"

#include <charconv>
#include <limits>

namespace quorvex::host {

namespace {

constexpr std::uint8_t kDelete = 0x7F;
constexpr std::uint8_t kCaretBase = 0x40;  // '^@' is 0x00
constexpr std::int64_t kMaxLingerMs = std::numeric_limits<std::int32_t>::max();

std::optional<std::int64_t> parse_linger(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() ||
      value > kMaxLingerMs) {
    return std::nullopt;
  }
  return value;
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
  TermOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    if (arg.starts_with("-")) {
      // "--name VALUE" or "--name=VALUE".
      std::string_view name = arg;
      std::optional<std::string_view> value;
      if (const auto eq = arg.find('='); eq != std::string_view::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
      }
      if (name != "--extension" && name != "--id" && name != "--rts" &&
          name != "--escape" && name != "--linger") {
        error = "unknown option '" + std::string(name) + "'";
        return std::nullopt;
      }
      if (!value) {
        if (i + 1 >= args.size()) {
          error = "option " + std::string(name) + " needs a value";
          return std::nullopt;
        }
        value = args[++i];
      }
      if (name == "--extension") {
        options.extension_path = std::string(*value);
      } else if (name == "--id") {
        options.instance_id = std::string(*value);
      } else if (name == "--rts") {
        if (*value != "on" && *value != "off") {
          error = "--rts takes on or off, not '" + std::string(*value) + "'";
          return std::nullopt;
        }
        options.rts = *value == "on";
      } else if (name == "--escape") {
        if (*value == "none") {
          options.escape = TermOptions::Escape::kNone;
        } else if (const auto byte = parse_escape_byte(*value)) {
          options.escape = TermOptions::Escape::kByte;
          options.escape_byte = *byte;
        } else {
          error = "--escape takes one character, ^X or none, not '" +
                  std::string(*value) + "'";
          return std::nullopt;
        }
      } else {
        const auto linger = parse_linger(*value);
        if (!linger) {
          error = "--linger takes milliseconds (0 to 2147483647), not '" +
                  std::string(*value) + "'";
          return std::nullopt;
        }
        options.linger_ms = *linger;
      }
      continue;
    }
    const auto eq = arg.find('=');
    if (eq == std::string_view::npos) {
      error = "expected KEY=VALUE or an option, got '" + std::string(arg) + "'";
      return std::nullopt;
    }
    options.extension_options.emplace_back(std::string(arg.substr(0, eq)),
                                           std::string(arg.substr(eq + 1)));
  }
  return options;
}

std::string term_usage() {
  return R"usage(usage: ip232-term [--extension PATH] [--id TEXT] [--rts on|off]
                  [--escape CHAR|none] [--linger MS] [KEY=VALUE ...]

Plays an emulated machine with one serial port and applies the ip232-serial
extension to it: bytes read from standard input are transmitted by the
machine, bytes the machine receives are written to standard output.

  KEY=VALUE        an extension option (url, host, port, mode, handshake,
                   tx_buffer, id), split at the first '='; the value may be
                   empty; the last of a repeated key wins
  --extension PATH the extension library to load (default: ip232-serial.so
                   or ip232-serial.dll beside this program)
  --id TEXT        the instance id in the extension's manifest (default empty)
  --rts on|off     request-to-send when the extension is applied (default on)
  --escape CHAR|none
                   the byte that starts a command: one character or caret
                   notation such as ^] (default ^] when standard input is a
                   terminal, none otherwise); after it:
                     +  assert request-to-send    -  deassert it
                     b  start a break             B  end the break
                     q  quit                      the escape byte: send it
                   (a break holds request-to-send asserted until B)
  --linger MS      after the end of input, keep running MS milliseconds
                   (default 1000)
  --help           show this text

At the end of input, q, Ctrl-C or SIGTERM the extension is detached and the
program exits with status 0. Exit status 1: the extension could not be loaded
or applied (its message on standard error); 2: a usage error.
)usage";
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
    default: break;  // any other byte after the escape is ignored
  }
  return step;
}

}  // namespace quorvex::host
