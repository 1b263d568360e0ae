#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "host/terminal.h"
#include "sys/error_text.h"

namespace quorvex::host {

namespace {

// Written by the console control handler (on a thread of its own), read by
// the main loop.
std::atomic<bool> g_stop_requested{false};

// The console modes found at start; touched only by the main thread.
bool g_raw_entered = false;
DWORD g_saved_mode = 0;
struct SavedOutputMode {
  DWORD handle_id;  // STD_OUTPUT_HANDLE or STD_ERROR_HANDLE
  bool saved;
  DWORD mode;
};
SavedOutputMode g_saved_output_modes[] = {{STD_OUTPUT_HANDLE, false, 0},
                                          {STD_ERROR_HANDLE, false, 0}};
// Set while the console is raw; read by the control handler.
std::atomic<bool> g_raw_active{false};
// When the console reader last read a Ctrl-C key (GetTickCount64; 0:
// never), its own or one queued by the control handler.
std::atomic<ULONGLONG> g_ctrl_c_key_read_at{0};
// A Ctrl-C key read this close to a Ctrl-C event, before or after it, is
// that event's own key.
constexpr ULONGLONG kCtrlCKeyWindowMs = 100;
// Whether standard input is a console, found once.
bool stdin_is_console() {
  static const bool console = [] {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
  }();
  return console;
}

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

// Puts Ctrl-C into the console's input as the key it is, so that it is read
// as the byte 0x03.
void queue_ctrl_c_key() {
  INPUT_RECORD record = {};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = TRUE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = 'C';
  record.Event.KeyEvent.uChar.AsciiChar = 0x03;
  record.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
  DWORD written = 0;
  ::WriteConsoleInputA(::GetStdHandle(STD_INPUT_HANDLE), &record, 1, &written);
}

BOOL WINAPI on_console_control(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      // A raw console reads Ctrl-C as a byte and raises no event for it;
      // Wine raises one all the same (its terminal keeps signal keys on),
      // and at times delivers the key too. Either way, while raw, Ctrl-C is
      // meant for the remote side, once: the key is queued only when the
      // console did not deliver one meanwhile. (The handler runs on a
      // thread of its own, so it may wait.)
      if (g_raw_active.load()) {
        const ULONGLONG raised = ::GetTickCount64();
        ::Sleep(static_cast<DWORD>(kCtrlCKeyWindowMs));
        const ULONGLONG read_at = g_ctrl_c_key_read_at.load();
        if (read_at == 0 || read_at + kCtrlCKeyWindowMs < raised) queue_ctrl_c_key();
        return TRUE;
      }
      g_stop_requested.store(true);
      return TRUE;
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

bool stdin_is_terminal() { return stdin_is_console(); }

namespace {

// Set by cancel_stdio(): ends the wait of read_raw_console().
HANDLE cancel_event() {
  static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// The bytes a key sends when the console gives no character for it: what a
// VT220-style terminal sends. With virtual-terminal input the console
// gives these itself, as characters; Wine's console and older ones give
// the bare key.
std::string_view key_sequence(WORD key) {
  switch (key) {
    case VK_ESCAPE: return "\x1b";
    case VK_UP: return "\x1b[A";
    case VK_DOWN: return "\x1b[B";
    case VK_RIGHT: return "\x1b[C";
    case VK_LEFT: return "\x1b[D";
    case VK_HOME: return "\x1b[H";
    case VK_END: return "\x1b[F";
    case VK_INSERT: return "\x1b[2~";
    case VK_DELETE: return "\x1b[3~";
    case VK_PRIOR: return "\x1b[5~";
    case VK_NEXT: return "\x1b[6~";
    case VK_F1: return "\x1bOP";
    case VK_F2: return "\x1bOQ";
    case VK_F3: return "\x1bOR";
    case VK_F4: return "\x1bOS";
    case VK_F5: return "\x1b[15~";
    case VK_F6: return "\x1b[17~";
    case VK_F7: return "\x1b[18~";
    case VK_F8: return "\x1b[19~";
    case VK_F9: return "\x1b[20~";
    case VK_F10: return "\x1b[21~";
    case VK_F11: return "\x1b[23~";
    case VK_F12: return "\x1b[24~";
    default: return {};  // Shift, Ctrl and the like send nothing
  }
}

// Bytes of keys read but not yet returned; the reading thread's only.
std::string g_console_pending;

// Reads a raw console as key events, waiting on the console and the cancel
// event together, so that a cancel always ends the wait (Wine's console as
// well). A key's character is its byte in the console's code page; a key
// without one sends key_sequence().
StdinRead read_raw_console(std::span<std::uint8_t> buffer) {
  StdinRead result;
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE waits[2] = {cancel_event(), input};
  while (g_console_pending.empty()) {
    const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0 || g_stdio_cancelled.load()) {
      result.cancelled = true;
      return result;
    }
    if (woke != WAIT_OBJECT_0 + 1) {
      result.failed = true;
      result.error = sys::error_text(::GetLastError());
      return result;
    }
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (::ReadConsoleInputA(input, records, 64, &count) == 0) {
      result.failed = true;
      result.error = sys::error_text(::GetLastError());
      return result;
    }
    for (DWORD i = 0; i < count; ++i) {
      if (records[i].EventType != KEY_EVENT) continue;
      const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
      if (!key.bKeyDown) continue;
      const char c = key.uChar.AsciiChar;
      if (c == 0x03) g_ctrl_c_key_read_at.store(::GetTickCount64());
      const std::string_view bytes =
          c != 0 ? std::string_view(&c, 1) : key_sequence(key.wVirtualKeyCode);
      for (WORD n = 0; n < key.wRepeatCount; ++n) g_console_pending += bytes;
    }
  }
  result.count = std::min(buffer.size(), g_console_pending.size());
  std::copy_n(g_console_pending.begin(), result.count, buffer.begin());
  g_console_pending.erase(0, result.count);
  return result;
}

}  // namespace

bool enter_raw_terminal() {
  if (g_raw_entered) return false;
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (::GetConsoleMode(input, &mode) == 0) return false;
  g_saved_mode = mode;
  // No line editing, no echo, and no ENABLE_PROCESSED_INPUT: Ctrl-C
  // arrives as the byte 0x03 and Ctrl-Z as 0x1A for the remote side.
  // Ctrl-Break still reaches the control handler and stops the program.
  // Virtual-terminal input: arrow and function keys arrive as the escape
  // sequences a remote terminal program expects (not on consoles older
  // than Windows 10, which then pass only the keys that are characters).
  const DWORD raw = mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT |
                                               ENABLE_ECHO_INPUT |
                                               ENABLE_PROCESSED_INPUT);
  if (::SetConsoleMode(input, raw | ENABLE_VIRTUAL_TERMINAL_INPUT) == 0 &&
      ::SetConsoleMode(input, raw) == 0) {
    return false;
  }
  // Virtual-terminal output: the remote side's escape sequences (colours,
  // cursor movement) act on the console, and a line feed only moves down,
  // as on a raw terminal elsewhere.
  for (SavedOutputMode& saved : g_saved_output_modes) {
    const HANDLE output = ::GetStdHandle(saved.handle_id);
    saved.saved = ::GetConsoleMode(output, &saved.mode) != 0;
    if (!saved.saved) continue;
    const DWORD vt = saved.mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    if (::SetConsoleMode(output, vt | DISABLE_NEWLINE_AUTO_RETURN) == 0) {
      ::SetConsoleMode(output, vt);
    }
  }
  g_raw_entered = true;
  g_raw_active.store(true);
  return true;
}

void restore_terminal() {
  if (!g_raw_entered) return;
  g_raw_active.store(false);
  ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), g_saved_mode);
  for (SavedOutputMode& saved : g_saved_output_modes) {
    if (saved.saved) ::SetConsoleMode(::GetStdHandle(saved.handle_id), saved.mode);
    saved.saved = false;
  }
  g_raw_entered = false;
}

void install_stop_handlers() {
  ::SetConsoleCtrlHandler(on_console_control, TRUE);
}

bool stop_requested() { return g_stop_requested.load(); }

StdinRead read_stdin(std::span<std::uint8_t> buffer) {
  if (g_raw_active.load()) return read_raw_console(buffer);
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
    result.error = sys::error_text(code);
    return result;
  }
  result.count = got;
  return result;
}

bool write_stdout(std::span<const std::uint8_t> data, OutputError& error) {
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
        error = {};
        return false;
      }
      ok = ::WriteFile(output, data.data() + done, chunk, &written, nullptr);
    }
    if (ok == 0) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_OPERATION_ABORTED || g_stdio_cancelled.load()) {
        error = {};
      } else {
        // A pipe whose reader closed: ERROR_NO_DATA while it is closing.
        error = {sys::error_text(code),
                 code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA};
      }
      return false;
    }
    done += written;
  }
  return true;
}

void cancel_stdio() {
  g_stdio_cancelled.store(true);
  ::SetEvent(cancel_event());
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
                                          OutputError&) {
  // A console or pipe here cannot be asked whether a write would block.
  return std::nullopt;
}

}  // namespace quorvex::host
