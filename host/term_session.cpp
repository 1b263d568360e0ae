#include "host/term_session.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <thread>

#include "host/serial_controller.h"
#include "host/terminal.h"

namespace quorvex::host {

namespace {

// Data bytes taken from the input that wait for the device to be ready.
constexpr std::size_t kTransmitBacklogLimit = 64 * 1024;
// After bytes went to the device, the main thread keeps looking at it
// without sleeping for this long: an answer usually comes within it.
constexpr auto kBusyWindow = std::chrono::microseconds(1500);
// Then it sleeps a part of the time that nothing has moved, never longer
// than this: connected and idle, ten looks a second.
constexpr auto kLongestWait = std::chrono::milliseconds(100);
constexpr auto kShortestWait = std::chrono::microseconds(50);
// While nothing is received the device's status is asked at most this
// often (bytes received ask it at once, so that their lines keep their
// places).
constexpr auto kRefreshInterval = std::chrono::milliseconds(20);

}  // namespace

std::optional<std::uint8_t> session_escape(const TermOptions& options,
                                           bool interactive) {
  switch (options.escape) {
    case TermOptions::Escape::kNone: return std::nullopt;
    case TermOptions::Escape::kByte: return options.escape_byte;
    case TermOptions::Escape::kDefault: break;
  }
  if (!interactive) return std::nullopt;
  return kDefaultEscapeByte;
}

std::optional<std::chrono::milliseconds> session_connect_timeout(
    const TermOptions& options, bool interactive) {
  if (options.connect_timeout_ms) {
    if (*options.connect_timeout_ms == 0) return std::nullopt;
    return std::chrono::milliseconds(*options.connect_timeout_ms);
  }
  if (interactive) return std::nullopt;
  return std::chrono::milliseconds(kDefaultScriptConnectTimeoutMs);
}

std::uint8_t line_state_bits(bool rts) {
  return SerialController::with_line_state(0, rts, false);
}

Session::Session(SerialPort& port, const TermOptions& options,
                 bool interactive, Console& console, Trace* trace,
                 const ConnectionStatusSource* status)
    : port_(port),
      options_(options),
      interactive_(interactive),
      escape_(session_escape(options, interactive)),
      console_(console),
      trace_(trace),
      escape_reader_(escape_.has_value(), escape_.value_or(0)),
      send_mapper_(options.send_line_end),
      receive_mapper_(options.receive_line_end),
      echo_mapper_(options.receive_line_end),
      rts_(options.rts),
      connect_timeout_(session_connect_timeout(options, interactive)) {
  if (status == nullptr) {
    say("cannot watch the connection: the extension does not tell what "
        "its connection does");
    return;
  }
  report_.emplace(*status);
  refresh_report(Clock::now(), bytes_received_);
}

void Session::say(const std::string& line) {
  trace_event(line);
  console_.say(line);
}

void Session::write_line_state() {
  write_control(port_.controller,
                SerialController::with_line_state(
                    port_.controller.registers[SerialController::kControlRegister],
                    rts_, break_));
}

void Session::apply_command(const Command& command) {
  std::string answer;
  switch (command.command) {
    case TermCommand::kRtsOn:
      if (!rts_) {
        rts_ = true;
        // A connection is wanted from now on: its time starts now.
        wanted_since_ = Clock::now();
      }
      answer = "request-to-send on";
      break;
    case TermCommand::kRtsOff: rts_ = false; answer = "request-to-send off"; break;
    case TermCommand::kBreakOn: break_ = true; answer = "break on"; break;
    case TermCommand::kBreakOff: break_ = false; answer = "break off"; break;
    case TermCommand::kStatus: print_status(); return;
    case TermCommand::kUnknown:
      console_.say("unknown command " + caret_text(command.byte) + "; " +
                   caret_text(escape_.value_or(0)) + " ? for help");
      return;
    case TermCommand::kNone:
    case TermCommand::kQuit: return;
  }
  write_line_state();
  trace_event(answer);
  // The machine's break goes to the device, which has nothing to send it
  // as: neither line mode carries a break.
  if (command.command == TermCommand::kBreakOn ||
      command.command == TermCommand::kBreakOff) {
    answer += " (the bridge does not carry a break: nothing is sent)";
  }
  if (interactive_) console_.say(answer);
}

void Session::print_status() {
  const std::string esc = caret_text(escape_.value_or(0));
  console_.say("after " + esc + ": ? status, q quit, " + esc + " sends " + esc);
  console_.say("          + / - request-to-send on / off, b / B break on / off "
               "(not carried by the bridge)");
  console_.say(std::string("request-to-send ") + (rts_ ? "on" : "off") +
               ", break " + (break_ ? "on" : "off") + "; sent " +
               std::to_string(bytes_sent_) + " bytes, received " +
               std::to_string(bytes_received_));
  if (backlog_size() == 0) {
    console_.say("no typed bytes waiting to be sent");
  } else {
    console_.say(std::to_string(backlog_size()) +
                 " typed bytes not yet sent; the extension has taken none for " +
                 seconds_text(Clock::now() - waiting_since_));
  }
  if (report_) console_.say(report_->status(Clock::now()));
}

void Session::refresh_report(Clock::time_point now, std::uint64_t taken) {
  last_refresh_ = now;
  report_->refresh(taken, now);
  say_due_lines();
}

void Session::say_due_lines() {
  while (std::optional<ConnectionReport::Line> line =
             report_->take_line(bytes_received_)) {
    say(line->text);
  }
}

bool Session::gave_up_connecting(Clock::time_point now, bool input_done,
                                 std::optional<Clock::time_point> input_over) {
  if (!report_ || report_->connected()) return false;
  constexpr std::string_view off =
      "request-to-send is off, and in mode raw the extension connects only "
      "while it is on";
  if (!connection_wanted()) {
    // Nothing will connect until a command says so, and none can come
    // once the input is over.
    if (input_done && backlog_size() > 0) {
      no_connection_ = std::to_string(backlog_size()) +
                       " bytes wait to be sent, but " + std::string(off);
      return true;
    }
    if (input_over && now >= *input_over && !connection_made()) {
      no_connection_ =
          "the input ended before a connection was made: " + std::string(off);
      return true;
    }
    return false;
  }
  // A connection is needed while none was ever made, or while typed bytes
  // wait for one; its time runs from the latest of: wanted, lost, and
  // bytes waiting.
  const bool needed = !connection_made() || backlog_size() > 0;
  const Clock::time_point since =
      connection_made()
          ? std::max({wanted_since_, report_->down_since(), waiting_since_})
          : wanted_since_;
  if (needed && connect_timeout_ && now - since >= *connect_timeout_) {
    no_connection_ = std::string(connection_made() ? "connection lost and "
                                                     "not made again"
                                                   : "no connection") +
                     " within " + seconds_text(*connect_timeout_) +
                     " (see --connect-timeout): " + report_->reason();
    if (backlog_size() > 0) {
      no_connection_ += "; " + std::to_string(backlog_size()) + " bytes not sent";
    }
    return true;
  }
  // The first attempt is let end, so that its outcome is what is told.
  if (input_over && now >= *input_over && !connection_made() &&
      report_->attempt_ended()) {
    no_connection_ =
        "the input ended before a connection was made: " + report_->reason();
    return true;
  }
  return false;
}

bool Session::connection_made() const {
  return !report_ || report_->connections() > 0 || bytes_sent_ > 0;
}

bool Session::take_input(bool& quit, bool& input_done) {
  if (backlog_size() == 0) waiting_since_ = Clock::now();
  if (backlog_head_ > 0) {
    transmit_backlog_.erase(transmit_backlog_.begin(),
                            transmit_backlog_.begin() +
                                static_cast<std::ptrdiff_t>(backlog_head_));
    backlog_head_ = 0;
  }
  const std::size_t typed_from = transmit_backlog_.size();
  const std::size_t room = kTransmitBacklogLimit -
                           std::min(kTransmitBacklogLimit, backlog_size());
  bool taken = false;
  commands_.clear();
  input_done = input_.take(room, [&](std::span<const std::uint8_t> bytes) {
    taken = true;
    if (!escape_ && !send_mapper_.active()) {
      // Every byte is data, unchanged: no need to look at each.
      transmit_backlog_.insert(transmit_backlog_.end(), bytes.begin(),
                               bytes.end());
      return;
    }
    for (const std::uint8_t byte : bytes) {
      const EscapeReader::Step step = escape_reader_.feed(byte);
      if (step.is_data) {
        send_mapper_.map(step.data, transmit_backlog_);
      } else if (step.command == TermCommand::kQuit) {
        quit = true;
        return;
      } else if (step.command != TermCommand::kNone) {
        commands_.push_back({step.command, step.data});
      }
    }
  });
  if (quit) return true;
  // Commands act at once, ahead of data still waiting for the device.
  for (const Command& command : commands_) apply_command(command);
  if (options_.echo && transmit_backlog_.size() > typed_from) {
    shown_.clear();
    for (std::size_t i = typed_from; i < transmit_backlog_.size(); ++i) {
      echo_mapper_.map(transmit_backlog_[i], shown_);
    }
    show(shown_);
  }
  return taken;
}

bool Session::feed_device() {
  SerialDataSink* const sink = port_.controller.sink;
  if (sink == nullptr) return false;
  // The machine's transmitter holds each byte until the device is ready:
  // nothing is dropped.
  const std::size_t first = backlog_head_;
  while (backlog_head_ < transmit_backlog_.size() && sink->ready_for_byte()) {
    sink->write_byte(transmit_backlog_[backlog_head_++]);
  }
  const std::size_t count = backlog_head_ - first;
  if (count == 0) return false;
  bytes_sent_ += count;
  waiting_since_ = Clock::now();
  if (trace_ != nullptr) {
    trace_->data("sent", std::span<const std::uint8_t>(
                             transmit_backlog_.data() + first, count));
  }
  if (backlog_head_ == transmit_backlog_.size()) {
    transmit_backlog_.clear();
    backlog_head_ = 0;
  }
  return true;
}

void Session::show(std::span<const std::uint8_t> bytes) {
  console_.output_written(bytes);
  output_.write(bytes);
}

void Session::show_received(std::span<const std::uint8_t> bytes) {
  if (trace_ != nullptr) trace_->data("received", bytes);
  if (report_) report_->look_at(bytes_received_, bytes);
  if (receive_mapper_.active()) {
    shown_.clear();
    for (const std::uint8_t byte : bytes) receive_mapper_.map(byte, shown_);
    show(shown_);
  } else {
    show(bytes);
  }
  bytes_received_ += bytes.size();
}

bool Session::drain_device(bool& output_failed) {
  SerialDataSource* const source = port_.controller.source;
  if (source == nullptr) return false;
  const std::optional<std::size_t> room = output_.room();
  if (!room) {
    output_failed = true;
    return false;
  }
  // While standard output does not keep up, bytes stay in the device.
  received_.clear();
  while (received_.size() < *room && source->has_byte()) {
    received_.push_back(source->read_byte());
  }
  if (received_.empty()) return false;
  const std::span<const std::uint8_t> bytes(received_);
  if (!report_) {
    show_received(bytes);
    return true;
  }
  // Every byte taken was delivered before this look, so the report knows
  // of each connection among them; its lines go in their places.
  refresh_report(Clock::now(), bytes_received_ + bytes.size());
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Show up to the next line's place, at least one byte.
    std::size_t part = bytes.size() - done;
    if (report_->next_line_offset()) {
      const std::uint64_t at = *report_->next_line_offset();
      if (at > bytes_received_ && at - bytes_received_ < part) {
        part = static_cast<std::size_t>(at - bytes_received_);
      }
    }
    show_received(bytes.subspan(done, part));
    done += part;
    say_due_lines();
  }
  return true;
}

Session::End Session::run() {
  input_.start();
  output_.start();

  const auto linger = std::chrono::milliseconds(options_.linger_ms);
  std::optional<Clock::time_point> linger_end;
  Clock::time_point last_move = Clock::now();
  Clock::time_point last_send = last_move - kBusyWindow;
  bool input_end_traced = false;
  for (;;) {
    if (stop_requested()) return End::kStopSignal;
    bool quit = false;
    bool input_done = false;
    bool moved = take_input(quit, input_done);
    if (quit) return End::kQuit;
    const bool sent = feed_device();
    moved = sent || moved;
    bool output_failed = false;
    moved = drain_device(output_failed) || moved;
    if (output_failed) {
      return output_.reader_gone() ? End::kReaderGone : End::kOutputFailed;
    }
    Clock::time_point now = Clock::now();
    if (report_ && now - last_refresh_ >= kRefreshInterval) {
      refresh_report(now, bytes_received_);
    }
    if (options_.once && report_ && report_->closes_told() > 0 &&
        !report_->next_line_offset()) {
      return End::kConnectionClosed;
    }
    now = Clock::now();
    if (input_done && !input_end_traced) {
      trace_event("end of input");
      input_end_traced = true;
    }
    if (input_done && backlog_size() == 0 && !linger_end) {
      linger_end = now + linger;
    }
    const bool lingered = linger_end && now >= *linger_end;
    if (lingered && connection_made()) return End::kInputDone;
    if (gave_up_connecting(now, input_done, lingered ? linger_end : std::nullopt)) {
      return End::kNoConnection;
    }
    if (moved) last_move = now;
    if (sent) last_send = now;
    if (now - last_send < kBusyWindow) {
      // An answer to what was just sent is likely on its way: look again
      // at once, but let the bridge's threads run first. (Bytes that only
      // arrive, such as a slow line's, are looked for after short sleeps
      // instead: spinning on them would cost a core.)
      std::this_thread::yield();
      continue;
    }
    const auto still = now - last_move;
    auto wait = std::clamp<Clock::duration>(still / 4, kShortestWait,
                                            kLongestWait);
    if (linger_end && now < *linger_end) {
      wait = std::min<Clock::duration>(wait, *linger_end - now);
    }
    wake_.wait_for(wait);
  }
}

void Session::finish(std::optional<std::chrono::milliseconds> limit) {
  output_.finish(limit);
  input_.stop();
}

}  // namespace quorvex::host
