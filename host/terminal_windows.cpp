#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "host/terminal.h"
#include "sys/error_text.h"

namespace quorvex::host {

namespace {

// Written by the console control handler (on a thread of its own), read by
// the main loop.
std::atomic<bool> g_stop_requested{false};

// The console mode found at start; touched only by the main thread.
bool g_raw_entered = false;
DWORD g_saved_mode = 0;

BOOL WINAPI on_console_control(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      g_stop_requested.store(true);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void use_binary_stdio() {
  // The C runtime's descriptors: the extension's console line and every
  // message go through them and end in "\n" alone, as on other platforms.
  ::_setmode(::_fileno(stdin), _O_BINARY);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
}

bool stdin_is_terminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool enter_raw_terminal() {
  if (g_raw_entered) return false;
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (::GetConsoleMode(input, &mode) == 0) return false;
  g_saved_mode = mode;
  // No line editing, no echo, and no ENABLE_PROCESSED_INPUT: Ctrl-C
  // arrives as the byte 0x03 for the remote side. Ctrl-Break still reaches
  // the control handler and stops the program.
  const DWORD raw = mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT |
                                               ENABLE_ECHO_INPUT |
                                               ENABLE_PROCESSED_INPUT);
  if (::SetConsoleMode(input, raw) == 0) return false;
  g_raw_entered = true;
  return true;
}

void restore_terminal() {
  if (!g_raw_entered) return;
  ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), g_saved_mode);
  g_raw_entered = false;
}

void install_stop_handlers() {
  ::SetConsoleCtrlHandler(on_console_control, TRUE);
}

bool stop_requested() { return g_stop_requested.load(); }

StdinRead read_stdin(std::span<std::uint8_t> buffer) {
  StdinRead result;
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  const DWORD want = buffer.size() > MAXDWORD ? MAXDWORD
                                              : static_cast<DWORD>(buffer.size());
  DWORD got = 0;
  if (::ReadFile(input, buffer.data(), want, &got, nullptr) == 0) {
    const DWORD code = ::GetLastError();
    // A pipe whose writer closed ends the input like end of file.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return result;
    result.failed = true;
    result.error = sys::error_text(code);
    return result;
  }
  result.count = got;
  return result;
}

bool write_stdout(std::span<const std::uint8_t> data, std::string& error) {
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t left = data.size() - done;
    const DWORD chunk = left > MAXDWORD ? MAXDWORD : static_cast<DWORD>(left);
    DWORD written = 0;
    if (::WriteFile(output, data.data() + done, chunk, &written, nullptr) == 0) {
      error = sys::error_text(::GetLastError());
      return false;
    }
    done += written;
  }
  return true;
}

std::optional<bool> write_stdout_if_ready(std::span<const std::uint8_t>,
                                          std::string&) {
  // A console or pipe here cannot be asked whether a write would block.
  return std::nullopt;
}

}  // namespace quorvex::host
