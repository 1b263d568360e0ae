// The system's text for an error code, for the bridge and for the programs
// around it alike. Every text comes out on one line in one form: trailing
// blanks, line breaks and periods are cut, and where the system has no text
// for a code the text is "error N". The platform part is
// sys/error_text_posix.cpp or sys/error_text_windows.cpp, chosen by the
// build. Safe from any thread; nothing throws except for exhausted memory.

#ifndef QUORVEX_SYS_ERROR_TEXT_H_
#define QUORVEX_SYS_ERROR_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex::sys {

// The system's text for an operating-system error code: an errno value on
// POSIX; on Windows a GetLastError() or Winsock code (they share the
// system's message table).
std::string error_text(std::int64_t code);

// The same text exactly as the system gives it: nothing is cut (Windows'
// line break at the end stays), and it is empty where the system has no
// text for `code`. The bridge's connection errors carry this form.
std::string system_text(std::int64_t code);

// The text for an errno value that the C runtime set (fopen() and the
// like). The same as error_text() on POSIX; on Windows the C runtime's own
// numbers differ from the system's and have their own texts.
std::string c_runtime_error_text(int value);

// `text` in the one form above, for `code`. error_text() and
// c_runtime_error_text() give their texts in this form; it is for other
// tables of texts (the resolver's on POSIX).
std::string one_line_error_text(std::string_view text, std::int64_t code);

}  // namespace quorvex::sys

#endif  // QUORVEX_SYS_ERROR_TEXT_H_
