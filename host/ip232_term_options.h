// The command line of ip232-term and its escape commands.
//
// ip232-term plays an emulator with one machine and one serial port: what
// arrives on standard input is transmitted by the machine, what the machine
// receives goes to standard output. These are the parts of it that need no
// machine: reading the command line, and telling host commands apart from
// data in the input stream.

#ifndef QUORVEX_HOST_IP232_TERM_OPTIONS_H_
#define QUORVEX_HOST_IP232_TERM_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvex::host {

// Caret notation of the default escape byte on a terminal (0x1D).
inline constexpr std::string_view kDefaultEscapeText = "^]";
inline constexpr std::uint8_t kDefaultEscapeByte = 0x1D;
inline constexpr std::int64_t kDefaultLingerMs = 1000;
// How long a run whose standard input is not a terminal waits for its
// first connection, unless --connect-timeout says otherwise.
inline constexpr std::int64_t kDefaultScriptConnectTimeoutMs = 5000;

// How line ends are passed on in one direction: unchanged, or each line end
// (CR, LF, or CR LF together) replaced by CR, LF or CR LF.
enum class LineEnd { kKeep, kCr, kLf, kCrLf };

struct TermOptions {
  bool help = false;
  bool version = false;
  std::string extension_path;   // empty: the module beside the program
  std::string instance_id;
  bool rts = true;              // request-to-send when the extension is applied
  // The escape byte: by default ^] on a terminal and none otherwise.
  enum class Escape { kDefault, kNone, kByte };
  Escape escape = Escape::kDefault;
  std::uint8_t escape_byte = 0;  // with Escape::kByte
  std::int64_t linger_ms = kDefaultLingerMs;
  // How long to wait for the first connection before giving up: nothing
  // when not given (kDefaultScriptConnectTimeoutMs when standard input is
  // not a terminal, no limit on a terminal); 0 for no limit.
  std::optional<std::int64_t> connect_timeout_ms;
  std::string trace_path;        // empty: no trace; "-": standard error
  bool echo = false;             // show typed bytes locally
  bool once = false;             // end when the first connection closes
  LineEnd send_line_end = LineEnd::kKeep;     // typed -> the machine
  LineEnd receive_line_end = LineEnd::kKeep;  // received -> the output
  // KEY=VALUE arguments in the order given, split at the first '=' (the
  // address, HOST:PORT or HOST PORT, comes as url=HOST:PORT; --raw and
  // --mode M as mode=raw and mode=M).
  std::vector<std::pair<std::string, std::string>> extension_options;
};

// Reads the arguments after the program name. On a usage error returns
// nothing and sets `error` to a one-line reason (without the usage text).
// "--help" anywhere wins over later arguments but not over an earlier
// error. At most one address is given by position, and not beside url=, a
// non-empty host= or a non-empty port= (the extension would refuse the
// pair, or one would silently replace the other).
std::optional<TermOptions> parse_term_arguments(
    std::span<const std::string_view> args, std::string& error);

// Reads an escape byte given as one character or in caret notation ("^]",
// "^A" or "^a", "^?" for 0x7F). Nothing when the text is neither.
std::optional<std::uint8_t> parse_escape_byte(std::string_view text);

// The usage text, ending in a newline.
std::string term_usage();

// The option keys the ip232-serial extension reads.
inline constexpr std::string_view kExtensionOptionKeys[] = {
    "url", "host", "port", "mode", "handshake", "tx_buffer", "id"};

// The long names of ip232-term's own options ("escape", "linger", ...).
std::vector<std::string_view> term_option_names();

// Warnings about extension options that the extension will not read, or
// will take differently than their words suggest (handshake=off keeps
// handshaking on). One line each, without the program's name; an unread key
// close to a known one ("Port", "prot", "linger") names the one meant.
std::vector<std::string> extension_option_warnings(
    const std::vector<std::pair<std::string, std::string>>& options);

// Replaces line ends in a byte stream as a LineEnd says; keeps its state
// across calls, so that a CR LF split between two calls is one line end.
class LineEndMapper {
 public:
  explicit LineEndMapper(LineEnd mode) : mode_(mode) {}
  bool active() const { return mode_ != LineEnd::kKeep; }
  // Appends `byte`, mapped, to `out`.
  void map(std::uint8_t byte, std::vector<std::uint8_t>& out);

 private:
  LineEnd mode_;
  bool after_cr_ = false;
};

// What an input byte means once the escape byte has been seen.
enum class TermCommand {
  kNone,        // an ordinary data byte (or a byte that is ignored)
  kRtsOn,       // '+'
  kRtsOff,      // '-'
  kBreakOn,     // 'b'
  kBreakOff,    // 'B'
  kQuit,        // 'q'
  kStatus,      // '?'
  kUnknown,     // any other byte (in `Step::data`)
};

// Splits the input stream into data bytes and host commands. Not thread-
// safe; one per input stream.
class EscapeReader {
 public:
  // Without an escape byte (`enabled` false) every byte is data.
  EscapeReader(bool enabled, std::uint8_t escape)
      : has_escape_(enabled), escape_(escape) {}

  struct Step {
    bool is_data = false;  // `data` is to be transmitted
    std::uint8_t data = 0;
    TermCommand command = TermCommand::kNone;
  };

  // Feeds one input byte. After the escape byte, the escape byte again is
  // data; '+', '-', 'b', 'B', 'q', '?' are commands; any other byte is an
  // unknown command.
  Step feed(std::uint8_t byte);

 private:
  bool has_escape_;
  std::uint8_t escape_;
  bool after_escape_ = false;
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_IP232_TERM_OPTIONS_H_
