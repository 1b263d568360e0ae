// The system's text for an error code, for the bridge and for the programs
// around it alike, under two names: system_text(), the system's text as it
// comes, and error_text(), the one-line form for messages: trailing blanks,
// line breaks and periods are cut, and where there is no text for a code
// the text is "error N". Other tables of texts (the resolver's, the C
// runtime's) are put in the one-line form by error_text(text, code). The
// platform part is
// sys/error_text_posix.cpp or sys/error_text_windows.cpp, chosen by the
// build. Safe from any thread; nothing throws except for exhausted memory.

#ifndef QUORVEX_SYS_ERROR_TEXT_H_
#define QUORVEX_SYS_ERROR_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex::sys {

// The system's text for an operating-system error code (an errno value on
// POSIX; on Windows a GetLastError() or Winsock code, which share the
// system's message table) exactly as the system gives it: nothing is cut
// (Windows' line break at the end stays), and it is empty where the system
// has no text for `code`. The bridge's connection errors carry this form.
std::string system_text(std::int64_t code);

// system_text(code) in the one-line form.
std::string error_text(std::int64_t code);

// `text`, the text for `code` from some table, in the one-line form.
std::string error_text(std::string_view text, std::int64_t code);

}  // namespace quorvex::sys

#endif  // QUORVEX_SYS_ERROR_TEXT_H_
