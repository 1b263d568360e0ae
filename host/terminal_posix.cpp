#include <errno.h>
#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

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

}  // namespace

void use_binary_stdio() {}  // POSIX streams never translate newlines

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
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n >= 0) {
      result.count = static_cast<std::size_t>(n);
      return result;
    }
    if (errno == EINTR) continue;
    result.failed = true;
    result.error = sys::error_text(errno);
    return result;
  }
}

bool write_stdout(std::span<const std::uint8_t> data, std::string& error) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::write(STDOUT_FILENO, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = sys::error_text(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<bool> write_stdout_if_ready(std::span<const std::uint8_t> data,
                                          std::string& error) {
  // A pipe that polls writable takes a write of up to PIPE_BUF bytes whole;
  // a terminal or a file takes it at once.
  if (data.size() > kQuickWriteLimit) return std::nullopt;
  struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
  if (::poll(&out, 1, 0) != 1 || (out.revents & POLLOUT) == 0) return std::nullopt;
  if (!write_stdout(data, error)) return false;
  return true;
}

}  // namespace quorvex::host
