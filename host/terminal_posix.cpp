#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "host/terminal.h"
#include "sys/error_text.h"

namespace quorvex::host {

namespace {

// Written by the signal handler, read by the main loop.
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The terminal mode found at start and the raw mode; written by the main
// thread before `g_raw_active` is set, read by the suspend handler after.
bool g_raw_entered = false;
struct termios g_saved_mode;
struct termios g_raw_mode;
std::atomic<bool> g_raw_active{false};

void on_stop_signal(int) { g_stop_requested.store(true); }

// SIGTSTP from outside (the terminal's own suspend key is a byte in raw
// mode): hand the terminal back in its own mode while stopped, and take
// raw mode up again on SIGCONT. Only async-signal-safe calls.
void on_suspend(int) {
  const int saved_errno = errno;
  const bool raw = g_raw_active.load();
  if (raw) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
  ::signal(SIGTSTP, SIG_DFL);
  sigset_t suspend;
  sigemptyset(&suspend);
  sigaddset(&suspend, SIGTSTP);
  ::pthread_sigmask(SIG_UNBLOCK, &suspend, nullptr);
  ::raise(SIGTSTP);  // stops here until SIGCONT
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = on_suspend;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTSTP, &action, nullptr);
  if (raw) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_raw_mode);
  errno = saved_errno;
}

// cancel_stdio()'s wake pipe: once a byte is written to it, its read end
// stays readable, and every poll in read_stdin() and write_stdout() returns.
struct WakePipe {
  int read_end = -1;
  int write_end = -1;
  std::atomic<bool> woken{false};
  WakePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
      read_end = ends[0];
      write_end = ends[1];
    }
  }
};

WakePipe& wake_pipe() {
  static WakePipe pipe;  // made on first use, thread-safely; never closed
  return pipe;
}

// Waits until `fd` is ready for `events` or cancel_stdio() was called;
// false for the latter. A failed poll reports ready: the read or write
// that follows reports the error.
bool wait_ready(int fd, short events) {
  WakePipe& wake = wake_pipe();
  struct pollfd fds[2] = {{fd, events, 0}, {wake.read_end, POLLIN, 0}};
  for (;;) {
    if (wake.woken.load()) return false;
    const int n = ::poll(fds, wake.read_end >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0 && fds[1].revents != 0) return false;
    return true;
  }
}

}  // namespace

void use_binary_stdio() {}  // POSIX streams never translate newlines

namespace {
int g_saved_stdout = -1;  // descriptor 1 as it was; main thread only
}  // namespace

bool point_stdout_at_stderr() {
  if (g_saved_stdout >= 0) return true;
  g_saved_stdout = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (g_saved_stdout < 0) return false;
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    ::close(g_saved_stdout);
    g_saved_stdout = -1;
    return false;
  }
  return true;
}

void restore_stdout() {
  if (g_saved_stdout < 0) return;
  ::dup2(g_saved_stdout, STDOUT_FILENO);
  ::close(g_saved_stdout);
  g_saved_stdout = -1;
}

bool stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

bool enter_raw_terminal() {
  if (g_raw_entered || !stdin_is_terminal()) return false;
  struct termios mode;
  if (::tcgetattr(STDIN_FILENO, &mode) != 0) return false;
  g_saved_mode = mode;
  // cfmakeraw(): no signal keys either, so that Ctrl-C, Ctrl-Z and Ctrl-
  // backslash reach the remote side as bytes; the escape key's q quits.
  mode.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP |
                                         INLCR | IGNCR | ICRNL | IXON);
  mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  mode.c_cflag |= CS8;
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &mode) != 0) return false;
  g_raw_mode = mode;
  g_raw_entered = true;
  g_raw_active.store(true);
  return true;
}

void restore_terminal() {
  if (!g_raw_entered) return;
  g_raw_active.store(false);
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_mode);
  g_raw_entered = false;
}

void install_stop_handlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART is needed: every blocking call here retries EINTR.
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = on_suspend;
  ::sigaction(SIGTSTP, &action, nullptr);
  // A reader that went away shows up as EPIPE from write_stdout().
  ::signal(SIGPIPE, SIG_IGN);
}

bool stop_requested() { return g_stop_requested.load(); }

StdinRead read_stdin(std::span<std::uint8_t> buffer) {
  StdinRead result;
  for (;;) {
    if (!wait_ready(STDIN_FILENO, POLLIN)) {
      result.cancelled = true;
      return result;
    }
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n >= 0) {
      result.count = static_cast<std::size_t>(n);
      return result;
    }
    if (errno == EINTR || errno == EAGAIN) continue;
    result.failed = true;
    result.error = sys::error_text(errno);
    return result;
  }
}

bool write_stdout(std::span<const std::uint8_t> data, OutputError& error) {
  // A pipe, terminal or socket that polls writable takes PIPE_BUF bytes
  // without blocking for long, so a cancel is never held up by a reader
  // that stopped reading; a file takes everything at once.
  static const bool to_file = [] {
    struct stat status;
    return ::fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode);
  }();
  std::size_t done = 0;
  while (done < data.size()) {
    std::size_t chunk = data.size() - done;
    if (!to_file) {
      if (!wait_ready(STDOUT_FILENO, POLLOUT)) {
        error = {};
        return false;
      }
      chunk = std::min<std::size_t>(chunk, PIPE_BUF);
    }
    const ssize_t n = ::write(STDOUT_FILENO, data.data() + done, chunk);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      error = {sys::error_text(errno), errno == EPIPE};
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void cancel_stdio() {
  WakePipe& wake = wake_pipe();
  if (wake.woken.exchange(true) || wake.write_end < 0) return;
  const char byte = 1;
  while (::write(wake.write_end, &byte, 1) < 0 && errno == EINTR) {
  }
}

void end_blocked_stdio() {}  // every blocked call polls the wake pipe

std::optional<bool> write_stdout_if_ready(std::span<const std::uint8_t> data,
                                          OutputError& error) {
  // A pipe that polls writable takes a write of up to PIPE_BUF bytes whole;
  // a terminal or a file takes it at once.
  if (data.size() > kQuickWriteLimit) return std::nullopt;
  struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
  if (::poll(&out, 1, 0) != 1 || (out.revents & POLLOUT) == 0) return std::nullopt;
  for (;;) {
    const ssize_t n = ::write(STDOUT_FILENO, data.data(), data.size());
    if (n >= 0) {
      // All of it, as a rule; the rest of a part the ordinary way.
      return write_stdout(data.subspan(static_cast<std::size_t>(n)), error);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return std::nullopt;
    error = {sys::error_text(errno), errno == EPIPE};
    return false;
  }
}

}  // namespace quorvex::host
