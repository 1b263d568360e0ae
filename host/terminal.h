// ip232-term's access to its standard streams, the terminal and the stop
// signals, one implementation per platform (terminal_posix.cpp,
// terminal_windows.cpp).
//
// Standard input and output are used as binary byte streams through the
// operating system's own calls, bypassing the C and C++ stream buffers.
// Reading standard input blocks; the program reads it on a thread of its
// own. Writing standard output blocks while the reader on the other side
// does not take more. Either can be cancelled from another thread, so that
// the threads that do them can be joined.

#ifndef QUORVEX_HOST_TERMINAL_H_
#define QUORVEX_HOST_TERMINAL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quorvex::host {

// Switches standard input, output and error to binary (no newline
// translation), so that every byte and message is the same on every
// platform. Called first thing, before anything is written.
void use_binary_stdio();

// Points standard output at standard error, at every level a library may
// write through (the system's standard handle or descriptor 1, the C
// runtime's descriptor), until restore_stdout(). The caller flushes the C
// and C++ streams before each call, so that no byte crosses over. False
// when it could not (standard output is then left as it was).
bool point_stdout_at_stderr();
void restore_stdout();

// Whether standard input is an interactive terminal.
bool stdin_is_terminal();

// Puts the terminal on standard input in raw mode: bytes arrive one at a
// time, unechoed and unedited, and the signal keys (Ctrl-C, Ctrl-Z, Ctrl-\)
// arrive as bytes instead of acting on the program. Keys without a
// character (arrows, function keys) arrive as a terminal's escape
// sequences, and escape sequences written to standard output act on the
// screen (on Windows: the console's virtual-terminal modes).
// Returns false when standard input is no terminal. restore_terminal()
// puts back the mode found; it does nothing when raw mode was not entered.
bool enter_raw_terminal();
void restore_terminal();

// Makes SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl-C outside raw mode,
// Ctrl-Break and closing the console) set a flag instead of ending the process, and makes a closed
// standard output an error instead of a fatal signal.
void install_stop_handlers();
bool stop_requested();

// Outcome of read_stdin().
struct StdinRead {
  std::size_t count = 0;  // bytes read; 0 at end of input, on error or when
                          // cancelled
  bool failed = false;    // an error; `error` says which
  std::string error;
  bool cancelled = false;  // cancel_stdio() was called
};

// Reads at most `buffer.size()` bytes, blocking until some arrive, the
// input ends or cancel_stdio() is called.
StdinRead read_stdin(std::span<std::uint8_t> buffer);

// Why a write to standard output failed: the system's reason (empty when
// cancel_stdio() was called first), and whether the reader went away (a
// pipe whose reading end was closed).
struct OutputError {
  std::string text;
  bool reader_gone = false;
};

// Writes all of `data` to standard output, blocking; false with the reason
// in `error` when standard output fails or cancel_stdio() was called first.
bool write_stdout(std::span<const std::uint8_t> data, OutputError& error);

// Makes read_stdin() and write_stdout() return at once, on every thread,
// now and from then on: a call blocked now returns as cancelled. Where the
// platform cannot cancel a call that is already blocked (a pipe under Wine),
// that call stays blocked until end_blocked_stdio().
void cancel_stdio();

// Ends every thread that is still blocked inside read_stdin() or
// write_stdout() after cancel_stdio(), so that it can be joined. Such a
// thread is inside the system's call and holds no lock. Does nothing where
// cancel_stdio() always succeeds.
void end_blocked_stdio();

// Writes `data` (at most kQuickWriteLimit bytes) to standard output at once
// if that cannot block: true when written, false with the reason in `error`
// when standard output failed, nothing when it was not tried (no room, or
// the platform cannot tell). Saves a hand-over to the writing thread when a
// few bytes arrive and nothing else waits; larger batches go to that thread,
// which keeps the host loop's system calls few while bytes stream.
inline constexpr std::size_t kQuickWriteLimit = 64;
std::optional<bool> write_stdout_if_ready(std::span<const std::uint8_t> data,
                                          OutputError& error);

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_TERMINAL_H_
