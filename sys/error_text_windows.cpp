#include <windows.h>

#include "sys/error_text.h"

namespace quorvex::sys {

std::string system_text(std::int64_t code) {
  char buffer[512] = {};
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
  // Wine has no text for many Winsock codes: the length is 0 then.
  return std::string(buffer, length);
}

}  // namespace quorvex::sys
