// The system's own text for a Windows error code (GetLastError()), without
// its trailing period and line break; "error N" where the system has none.
// Built on Windows only.

#ifndef QUORVEX_HOST_SYSTEM_ERROR_TEXT_H_
#define QUORVEX_HOST_SYSTEM_ERROR_TEXT_H_

#include <string>

namespace quorvex::host {

std::string system_error_text(unsigned long code);

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_SYSTEM_ERROR_TEXT_H_
