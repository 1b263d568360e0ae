// ip232-term's messages on standard error while it runs, and the small
// texts they are made of. Used by the main thread only.

#ifndef QUORVEX_HOST_TERM_CONSOLE_H_
#define QUORVEX_HOST_TERM_CONSOLE_H_

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvex::host {

inline constexpr std::string_view kProgram = "ip232-term";

// A byte in caret notation ("^]") when it is a control character.
std::string caret_text(std::uint8_t byte);

// A duration as seconds with one decimal: "12.3 s".
std::string seconds_text(std::chrono::steady_clock::duration duration);

// One message line on standard error, outside of a session.
void print_error(const std::string& message);

// Messages while the program runs: one line each, "ip232-term: " first,
// ended in CR LF while the terminal is raw (it no longer turns LF into
// CR LF).
class Console {
 public:
  void set_raw(bool raw) {
    raw_ = raw;
    line_end_ = raw ? "\r\n" : "\n";
  }
  std::string_view line_end() const { return line_end_; }
  // Whether the bytes last queued for standard output ended a line, so that
  // a message starts on a line of its own.
  void output_written(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    before_last_ = bytes.size() > 1 ? bytes[bytes.size() - 2] : last_;
    last_ = bytes.back();
  }
  void say(const std::string& text);
  // What a message or record on standard error starts with so that it
  // starts on a line of its own at the left edge: on a raw terminal, a CR
  // after received bytes that ended in a bare LF, a line end after any
  // other text left mid-line; else nothing. The caller then writes a
  // whole line.
  std::string line_start();
  // Leaves a raw terminal's cursor at the start of a fresh line.
  void end_line();

 private:
  bool raw_ = false;
  std::string_view line_end_ = "\n";  // a literal
  // The last two bytes queued for standard output; a fresh line after
  // nothing, or after a line end written to standard error.
  std::uint8_t before_last_ = '\r';
  std::uint8_t last_ = '\n';
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_TERM_CONSOLE_H_
