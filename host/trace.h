// ip232-term's trace: a timestamped record of the bytes the machine sends
// and receives, in hex with the printable text beside them, and of the
// host's events (attach, request-to-send and break changes, end of input,
// detach). Each record is flushed as it is written, so that a trace read
// while the program runs, or after it was killed, is complete up to then.
// Used by the main thread only.

#ifndef QUORVEX_HOST_TRACE_H_
#define QUORVEX_HOST_TRACE_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quorvex::host {

class Trace {
 public:
  // Opens `path` for writing ("-" is standard error); nothing on failure,
  // with the reason in `error`. Lines end in "\n" until set_line_end().
  static std::optional<Trace> open(const std::string& path,
                                   std::string& error);
  Trace(Trace&& other) noexcept;
  Trace& operator=(Trace&&) = delete;
  Trace(const Trace&) = delete;
  ~Trace();

  // For a trace on a screen shared with received bytes: each record starts
  // with what `line_start` gives (a line end when the screen is in the
  // middle of a line, so that the record starts on a line of its own), and
  // each line ends with `line_end` ("\r\n" on a raw terminal).
  void share_screen(std::function<std::string()> line_start,
                    std::string_view line_end) {
    line_start_ = std::move(line_start);
    line_end_ = line_end;
  }

  // "sent" or "received", with a hex dump of `bytes`.
  void data(std::string_view direction, std::span<const std::uint8_t> bytes);
  // One event line.
  void event(std::string_view text);

  // The dump of `bytes`: lines of up to 16 bytes as hex, then their text
  // (0x20..0x7E as they are, others as '.'), each line indented and ended
  // by `line_end`.
  static std::string hex_dump(std::span<const std::uint8_t> bytes,
                              std::string_view line_end);
  // The current time of day, UTC, as HH:MM:SS.uuuuuu.
  static std::string time_of_day();

 private:
  Trace(std::FILE* file, bool owned) : file_(file), owned_(owned) {}
  void write(const std::string& text);

  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::function<std::string()> line_start_;  // empty: not shared
  std::string_view line_end_ = "\n";
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_TRACE_H_
