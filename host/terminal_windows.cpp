#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "host/terminal.h"
#include "host/system_error_text.h"

namespace quorvex::host {

namespace {

// Written by the console control handler (on a thread of its own), read by
// the main loop.
std::atomic<bool> g_stop_requested{false};

// The console mode found at start; touched only by the main thread.
bool g_raw_entered = false;
DWORD g_saved_mode = 0;

// Set by cancel_stdio(); read by the threads that read and write.
std::atomic<bool> g_stdio_cancelled{false};

// The threads inside a blocking ReadFile or WriteFile of a standard stream,
// by a handle of their own: a slot holds it for the length of one call.
// end_blocked_stdio() claims a slot before it ends the thread in it, so a
// thread is only ever ended inside the call, where it holds no lock.
constexpr int kBlockedSlots = 4;
const HANDLE kClaimed = INVALID_HANDLE_VALUE;
std::atomic<HANDLE> g_blocked[kBlockedSlots] = {};

// A handle of the calling thread, made once and kept open for the life of
// the process, so that one read from a slot is always safe to use.
HANDLE own_thread_handle() {
  thread_local const HANDLE self = [] {
    HANDLE handle = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(),
                      ::GetCurrentProcess(), &handle, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    return handle;
  }();
  return self;
}

class BlockingCall {
 public:
  BlockingCall() {
    const HANDLE self = own_thread_handle();
    for (std::atomic<HANDLE>& slot : g_blocked) {
      HANDLE expected = nullptr;
      if (slot.compare_exchange_strong(expected, self)) {
        slot_ = &slot;
        return;
      }
    }
  }
  ~BlockingCall() {
    if (slot_ == nullptr) return;
    HANDLE expected = own_thread_handle();
    if (!slot_->compare_exchange_strong(expected, nullptr)) {
      // Claimed by end_blocked_stdio(), which ends this thread now.
      for (;;) ::Sleep(INFINITE);
    }
  }
  BlockingCall(const BlockingCall&) = delete;
  BlockingCall& operator=(const BlockingCall&) = delete;

 private:
  std::atomic<HANDLE>* slot_ = nullptr;
};

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

namespace {
// A C runtime descriptor of standard output as it was; main thread only.
int g_saved_stdout_fd = -1;
}  // namespace

bool point_stdout_at_stderr() {
  if (g_saved_stdout_fd >= 0) return true;
  const int out = ::_fileno(stdout);
  g_saved_stdout_fd = ::_dup(out);
  if (g_saved_stdout_fd < 0) return false;
  if (::_dup2(::_fileno(stderr), out) != 0) {
    ::_close(g_saved_stdout_fd);
    g_saved_stdout_fd = -1;
    return false;
  }
  ::SetStdHandle(STD_OUTPUT_HANDLE, ::GetStdHandle(STD_ERROR_HANDLE));
  return true;
}

void restore_stdout() {
  if (g_saved_stdout_fd < 0) return;
  // _dup2() closed the system's handle that descriptor 1 had: the standard
  // handle becomes the duplicate that descriptor 1 holds now.
  ::_dup2(g_saved_stdout_fd, ::_fileno(stdout));
  ::_close(g_saved_stdout_fd);
  g_saved_stdout_fd = -1;
  ::SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(
                                        ::_get_osfhandle(::_fileno(stdout))));
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
  BOOL ok = FALSE;
  {
    BlockingCall call;
    // Checked after registering: a cancel from now on finds this thread.
    if (g_stdio_cancelled.load()) {
      result.cancelled = true;
      return result;
    }
    ok = ::ReadFile(input, buffer.data(), want, &got, nullptr);
  }
  if (ok == 0) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_OPERATION_ABORTED || g_stdio_cancelled.load()) {
      result.cancelled = true;
      return result;
    }
    // A pipe whose writer closed ends the input like end of file.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return result;
    result.failed = true;
    result.error = system_error_text(code);
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
    BOOL ok = FALSE;
    {
      BlockingCall call;
      if (g_stdio_cancelled.load()) {
        error.clear();
        return false;
      }
      ok = ::WriteFile(output, data.data() + done, chunk, &written, nullptr);
    }
    if (ok == 0) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_OPERATION_ABORTED || g_stdio_cancelled.load()) {
        error.clear();
      } else {
        error = system_error_text(code);
      }
      return false;
    }
    done += written;
  }
  return true;
}

void cancel_stdio() {
  g_stdio_cancelled.store(true);
  for (std::atomic<HANDLE>& slot : g_blocked) {
    const HANDLE thread = slot.load();
    if (thread != nullptr && thread != kClaimed) ::CancelSynchronousIo(thread);
  }
}

void end_blocked_stdio() {
  // Wine cannot cancel a read or write on a Unix pipe: CancelSynchronousIo
  // fails with ERROR_NOT_FOUND and CancelIoEx leaves the call blocked.
  for (std::atomic<HANDLE>& slot : g_blocked) {
    HANDLE thread = slot.load();
    if (thread == nullptr || thread == kClaimed) continue;
    if (!slot.compare_exchange_strong(thread, kClaimed)) continue;  // left
    ::TerminateThread(thread, 0);
    ::WaitForSingleObject(thread, INFINITE);
  }
}

std::optional<bool> write_stdout_if_ready(std::span<const std::uint8_t>,
                                          std::string&) {
  // A console or pipe here cannot be asked whether a write would block.
  return std::nullopt;
}

}  // namespace quorvex::host
