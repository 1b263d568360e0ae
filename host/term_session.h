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

#include "api/extension.h"
#include "host/connection_report.h"
#include "host/connection_watch.h"
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
  // `interactive`: standard input is a terminal. `target`: where the
  // extension connects; the session watches that connection and reports
  // on it (nothing: it does not).
  Session(SerialPort& port, const TermOptions& options, bool interactive,
          Console& console, Trace* trace,
          std::optional<ConnectionTarget> target);

  enum class End { kInputDone, kQuit, kStopSignal, kOutputFailed,
                   kNoConnection };

  // Pumps until the input has ended and lingered, a quit command or a stop
  // signal, or a failure of standard output; or until no connection was
  // made within the connect timeout, or the input ended without one
  // (kNoConnection, with the reason in no_connection_text()).
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
  // Reports what the connection watch saw since the last call.
  void take_connection_events();
  // Whether a connection was made: the watch saw one, or the device took
  // bytes (it takes none without a connection). Taken as true when there
  // is no watch, or the system cannot tell.
  bool connection_made() const;
  // Whether the run ends for want of a connection: none within the connect
  // timeout, or none by the time the input was over (`input_over`: when it
  // was, lingering included). Sets no_connection_.
  bool gave_up_connecting(Clock::time_point now,
                          std::optional<Clock::time_point> input_over);
  // Whether the extension is to connect now: always, but in mode raw only
  // while request-to-send is on.
  bool connection_wanted() const { return !gated_by_rts_ || rts_; }
  void rts_changed();
  void show(std::span<const std::uint8_t> bytes);
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

  // The extension's connection: what was reported about it, and the watch,
  // which wakes the loop on each event (so it goes before wake_).
  std::optional<ConnectionReport> report_;
  std::optional<std::chrono::milliseconds> connect_timeout_;
  bool gated_by_rts_ = false;
  // Since when a connection has been wanted without a break.
  Clock::time_point wanted_since_ = Clock::now();
  std::string no_connection_;
  std::unique_ptr<ConnectionWatch> watch_;
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_TERM_SESSION_H_
