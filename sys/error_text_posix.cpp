#include <cstring>

#include "sys/error_text.h"

namespace quorvex::sys {
namespace {

// strerror_r comes in two flavours, chosen by the C library and its feature
// macros: POSIX's returns an int and fills the buffer, GNU's returns the
// text, which may or may not be in the buffer. Overloads take either.
[[maybe_unused]] const char* strerror_result(int result, const char* buffer) {
  return result == 0 ? buffer : "";
}
[[maybe_unused]] const char* strerror_result(const char* result,
                                             const char* /*buffer*/) {
  return result != nullptr ? result : "";
}

}  // namespace

std::string system_text(std::int64_t code) {
  char buffer[256] = {};
  const char* text = strerror_result(
      ::strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  return text;
}

}  // namespace quorvex::sys
