#include "host/trace.h"

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include "sys/error_text.h"

namespace quorvex::host {
namespace {

constexpr std::size_t kBytesPerLine = 16;
constexpr std::string_view kIndent = "                ";  // under the text

std::string two_digits(long value) {
  return std::string(1, static_cast<char>('0' + value / 10)) +
         static_cast<char>('0' + value % 10);
}

}  // namespace

std::optional<Trace> Trace::open(const std::string& path, std::string& error) {
  if (path == "-") return Trace(stderr, false);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    // The C runtime's errno numbers are its own (on Windows they differ
    // from the system's): its text for them, in the one-line form.
    const int code = errno;
    error = "cannot write the trace '" + path + "': " +
            sys::error_text(std::generic_category().message(code), code);
    return std::nullopt;
  }
  return Trace(file, true);
}

Trace::Trace(Trace&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      owned_(std::exchange(other.owned_, false)),
      line_start_(std::move(other.line_start_)),
      line_end_(other.line_end_) {}

Trace::~Trace() {
  if (owned_ && file_ != nullptr) std::fclose(file_);
}

std::string Trace::time_of_day() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto since_midnight =
      duration_cast<microseconds>(now - floor<days>(now)).count();
  const long seconds = static_cast<long>(since_midnight / 1000000);
  std::string micros = std::to_string(since_midnight % 1000000);
  micros.insert(0, 6 - micros.size(), '0');
  return two_digits(seconds / 3600) + ":" + two_digits(seconds / 60 % 60) +
         ":" + two_digits(seconds % 60) + "." + micros;
}

std::string Trace::hex_dump(std::span<const std::uint8_t> bytes,
                            std::string_view line_end) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t at = 0; at < bytes.size(); at += kBytesPerLine) {
    const auto line = bytes.subspan(at, std::min(kBytesPerLine, bytes.size() - at));
    out += kIndent;
    for (std::size_t i = 0; i < kBytesPerLine; ++i) {
      if (i < line.size()) {
        out += kDigits[line[i] >> 4];
        out += kDigits[line[i] & 0x0F];
        out += ' ';
      } else {
        out += "   ";
      }
    }
    out += ' ';
    for (const std::uint8_t byte : line) {
      out += byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
    }
    out += line_end;
  }
  return out;
}

void Trace::data(std::string_view direction,
                 std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  write(time_of_day() + " " + std::string(direction) + " " +
        std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes") +
        std::string(line_end_) + hex_dump(bytes, line_end_));
}

void Trace::event(std::string_view text) {
  write(time_of_day() + " " + std::string(text) + std::string(line_end_));
}

void Trace::write(const std::string& text) {
  if (file_ == nullptr) return;
  const std::string record = line_start_ ? line_start_() + text : text;
  std::fwrite(record.data(), 1, record.size(), file_);
  std::fflush(file_);
}

}  // namespace quorvex::host
