#include "sys/error_text.h"

namespace quorvex::sys {

std::string error_text(std::int64_t code) {
  return error_text(system_text(code), code);
}

std::string error_text(std::string_view text, std::int64_t code) {
  // Windows ends its texts with ".\r\n", POSIX with nothing.
  const std::size_t end = text.find_last_not_of(" \t\r\n.");
  if (end == std::string_view::npos) return "error " + std::to_string(code);
  return std::string(text.substr(0, end + 1));
}

}  // namespace quorvex::sys
