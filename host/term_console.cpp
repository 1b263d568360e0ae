#include "host/term_console.h"

#include <iostream>

namespace quorvex::host {

std::string caret_text(std::uint8_t byte) {
  if (byte < 0x20) return std::string("^") + static_cast<char>(byte + 0x40);
  if (byte == 0x7F) return "^?";
  return std::string(1, static_cast<char>(byte));
}

std::string seconds_text(std::chrono::steady_clock::duration duration) {
  const auto tenths =
      std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() /
      100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

void print_error(const std::string& message) {
  std::cerr << message << '\n';
  std::cerr.flush();
}

std::string Console::line_start() {
  // On a terminal, received bytes and messages share the screen; a raw
  // terminal moves down on LF and back to the left edge on CR only.
  const bool fresh = (last_ == '\n' && before_last_ == '\r') ||
                     (last_ == '\r' && before_last_ == '\n');
  std::string start;
  if (raw_ && !fresh) start = last_ == '\n' ? "\r" : std::string(line_end_);
  before_last_ = '\r';
  last_ = '\n';
  return start;
}

void Console::end_line() {
  const std::string start = line_start();
  if (start.empty()) return;
  std::cerr << start;
  std::cerr.flush();
}

void Console::say(const std::string& text) {
  std::cerr << (line_start() + std::string(kProgram) + ": " + text +
                std::string(line_end_));
  std::cerr.flush();
}

}  // namespace quorvex::host
