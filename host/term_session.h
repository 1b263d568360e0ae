// The run of ip232-term once the extension is attached: the emulated
// machine's side of the serial line, driven from the standard streams.
//
// The main thread is the host's emulation thread: it alone calls the device
// and the serial controller. It takes typed bytes from the InputPump, acts
// on escape commands at once, and hands data to the device as fast as the
// device is ready; it takes received bytes from the device as fast as the
// OutputPump has room.
//
// The device has no way to announce received bytes, so the main thread
// looks at it: without pause just after sending (an answer is due), after
// short sleeps while bytes move, then less and less often, down to ten
// times a second when nothing has moved for a while. Input and room on the
// output wake it at once.

#ifndef QUORVEX_HOST_TERM_SESSION_H_
#define QUORVEX_HOST_TERM_SESSION_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "api/connection_status.h"
#include "api/extension.h"
#include "host/connection_report.h"
#include "host/ip232_term_options.h"
#include "host/stdio_pumps.h"
#include "host/term_console.h"
#include "host/trace.h"

namespace quorvex::host {

// The escape byte in effect: the one given, ^] by default on a terminal,
// none by default otherwise or when "none" was given.
std::optional<std::uint8_t> session_escape(const TermOptions& options,
                                           bool interactive);

// How long a run waits for its first connection before giving up: the
// --connect-timeout given (0: no limit), else a few seconds when standard
// input is not a terminal and no limit on a terminal.
std::optional<std::chrono::milliseconds> session_connect_timeout(
    const TermOptions& options, bool interactive);

// The control register's line bits for request-to-send on or off.
std::uint8_t line_state_bits(bool rts);

class Session {
 public:
  // `options`, `console` and `trace` (may be null) outlive the session.
  // `interactive`: standard input is a terminal. `status`: the device's
  // status face, which the session reports from (null: the extension has
  // none, and the connection cannot be watched).
  Session(SerialPort& port, const TermOptions& options, bool interactive,
          Console& console, Trace* trace, const ConnectionStatusSource* status);

  enum class End { kInputDone, kQuit, kStopSignal, kOutputFailed,
                   kReaderGone, kNoConnection, kConnectionClosed };

  // Pumps until the input has ended and lingered, a quit command or a stop
  // signal, or a failure of standard output (kReaderGone when its reader
  // went away); with --once until the first connection closed
  // (kConnectionClosed); or until bytes cannot go out (kNoConnection, with
  // the reason in no_connection_text()): no connection within the connect
  // timeout while there is something to send, none by the time the input
  // was over, or, in mode raw, request-to-send off with bytes waiting at
  // the end of the input.
  End run();

  const std::string& no_connection_text() const { return no_connection_; }

  // Waits for the bytes already received to reach standard output; at most
  // `limit` when given. Then lets the pumps' threads go.
  void finish(std::optional<std::chrono::milliseconds> limit);

  std::string output_error() { return output_.error(); }
  std::string input_error() { return input_.error(); }

 private:
  using Clock = std::chrono::steady_clock;

  // Moves input bytes into the transmit backlog, carrying out commands as
  // they are read. Returns whether anything was taken; sets `quit`.
  bool take_input(bool& quit, bool& input_done);
  struct Command {
    TermCommand command;
    std::uint8_t byte;  // with kUnknown
  };
  void apply_command(const Command& command);
  void print_status();
  void write_line_state();
  bool feed_device();
  bool drain_device(bool& output_failed);
  // Asks the device's status face again (`taken`: the received bytes taken
  // from the device so far) and says the lines due by what has been shown.
  // Only with a report.
  void refresh_report(Clock::time_point now, std::uint64_t taken);
  // Shows `bytes`, the next received ones (traced, looked at for telnet,
  // line ends mapped).
  void show_received(std::span<const std::uint8_t> bytes);
  // Says the report's lines due by what has been shown.
  void say_due_lines();
  // Whether a connection was made. Taken as true when the connection
  // cannot be watched.
  bool connection_made() const;
  // Whether the run ends because bytes cannot go out (see run()); sets
  // no_connection_. `input_done`: the input has ended; `input_over`: when
  // it was over, lingering included.
  bool gave_up_connecting(Clock::time_point now, bool input_done,
                          std::optional<Clock::time_point> input_over);
  // Whether the extension is to connect now: always, but in mode raw only
  // while request-to-send is on.
  bool connection_wanted() const {
    return !report_ || !report_->held_by_rts() || rts_;
  }
  void show(std::span<const std::uint8_t> bytes);
  void say(const std::string& line);
  void trace_event(const std::string& text) {
    if (trace_ != nullptr) trace_->event(text);
  }
  std::size_t backlog_size() const {
    return transmit_backlog_.size() - backlog_head_;
  }

  SerialPort& port_;
  const TermOptions& options_;
  const bool interactive_;
  const std::optional<std::uint8_t> escape_;
  Console& console_;
  Trace* const trace_;
  EscapeReader escape_reader_;
  LineEndMapper send_mapper_;
  LineEndMapper receive_mapper_;
  LineEndMapper echo_mapper_;
  bool rts_;
  bool break_ = false;
  std::uint64_t bytes_sent_ = 0;
  std::uint64_t bytes_received_ = 0;
  // Since when the oldest byte of the backlog has waited for the device:
  // the later of the device's last take and the backlog's last start.
  Clock::time_point waiting_since_ = Clock::now();

  // Towards the device: typed data bytes, from `backlog_head_` on, and the
  // commands read with them.
  std::vector<std::uint8_t> transmit_backlog_;
  std::size_t backlog_head_ = 0;
  std::vector<Command> commands_;
  // Towards standard output: bytes taken from the device, and the same
  // bytes (or the typed ones, echoed) with their line ends mapped.
  std::vector<std::uint8_t> received_;
  std::vector<std::uint8_t> shown_;

  Wake wake_;
  InputPump input_{wake_};
  OutputPump output_{wake_};

  // The extension's connection, as its status face tells it.
  std::optional<ConnectionReport> report_;
  Clock::time_point last_refresh_ = Clock::now();
  std::optional<std::chrono::milliseconds> connect_timeout_;
  // Since when a connection has been wanted without a break.
  Clock::time_point wanted_since_ = Clock::now();
  std::string no_connection_;
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_TERM_SESSION_H_
