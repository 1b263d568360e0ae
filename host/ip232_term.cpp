// ip232-term: a stand-in host with one emulated machine and one serial port.
//
// It loads the extension library the way a host does, applies the extension
// to its machine, and then pumps bytes: standard input -> the machine's
// transmitter -> the extension's device, and the device -> the machine's
// receiver -> standard output. Two helper threads do the blocking I/O: one
// reads standard input into a bounded queue, one writes the bytes received
// to standard output. The main thread is the host's emulation thread: it
// alone calls the device and the serial controller.
//
// The device has no way to announce received bytes, so the main thread
// looks at it: without pause just after sending (an answer is due), after
// short sleeps while bytes move, then less and less often, down to ten
// times a second when nothing has moved for a while. Input and room on the
// output wake it at once.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "api/extension.h"
#include "host/extension_library.h"
#include "host/serial_controller.h"
#include "host/ip232_term_options.h"
#include "host/terminal.h"
#include "host/trace.h"
#include "tools/command_line.h"

namespace quorvex::host {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

constexpr std::string_view kProgram = "ip232-term";
constexpr std::string_view kExtensionName = "ip232-serial";

// Bytes read from standard input that wait for the main thread; the reader
// stops reading while this many are queued.
constexpr std::size_t kInputQueueLimit = 256 * 1024;
// Data bytes taken from the input that wait for the device to be ready.
constexpr std::size_t kTransmitBacklogLimit = 64 * 1024;
// Received bytes that wait for standard output; the main thread stops
// taking bytes from the device while this many are queued.
constexpr std::size_t kOutputQueueLimit = 256 * 1024;
constexpr std::size_t kStdinChunkBytes = 64 * 1024;
// After bytes went to the device, the main thread keeps looking at it
// without sleeping for this long: an answer usually comes within it.
constexpr auto kBusyWindow = std::chrono::microseconds(1500);
// Then it sleeps a part of the time that nothing has moved, never longer
// than this: connected and idle, ten looks a second.
constexpr auto kLongestWait = std::chrono::milliseconds(100);
constexpr auto kShortestWait = std::chrono::microseconds(50);
// How long a stop by command or signal waits for received bytes already
// queued to reach standard output.
constexpr auto kStopDrainWait = std::chrono::milliseconds(500);

// Control register bits 6..5: 00 asserts request-to-send, 10 deasserts it,
// 11 sends a break (request-to-send stays asserted).
constexpr std::uint8_t kLineStateMask = SerialController::kLineStateMask;
constexpr std::uint8_t kLineRtsOn = 0x00;
constexpr std::uint8_t kLineRtsOff = 0x40;
constexpr std::uint8_t kLineBreak = 0x60;

// Wakes the main thread early: input arrived, the input ended or standard
// output made room.
struct Wake {
  std::mutex lock;
  std::condition_variable changed;
  bool pending = false;  // guarded by `lock`

  void notify() {
    {
      std::lock_guard<std::mutex> hold(lock);
      pending = true;
    }
    changed.notify_one();
  }
  // Waits until notified or `limit` passed; clears the notification.
  template <typename Duration>
  void wait_for(Duration limit) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait_for(hold, limit, [&] { return pending; });
    pending = false;
  }
};

// Standard input, read by its own thread. Shared through a shared pointer
// so that the thread, which may stay blocked in a read until the process
// ends, never outlives it.
struct InputState {
  std::mutex lock;
  std::condition_variable changed;  // bytes arrived / room made / closing
  // State below is protected by `lock`.
  std::vector<std::uint8_t> bytes;
  bool ended = false;
  std::string error;   // set when reading failed
  bool closing = false;
  // Set before the thread starts.
  std::shared_ptr<Wake> wake;
};

void read_input(const std::shared_ptr<InputState>& input) {
  std::vector<std::uint8_t> buffer(kStdinChunkBytes);
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(input->lock);
      input->changed.wait(hold, [&] {
        return input->closing || input->bytes.size() < kInputQueueLimit;
      });
      if (input->closing) return;
    }
    const StdinRead read = read_stdin(buffer);
    std::lock_guard<std::mutex> hold(input->lock);
    if (read.count == 0) {
      input->ended = true;
      input->error = read.error;
      input->changed.notify_all();
      input->wake->notify();
      return;
    }
    input->bytes.insert(input->bytes.end(), buffer.begin(),
                        buffer.begin() + static_cast<std::ptrdiff_t>(read.count));
    input->changed.notify_all();
    input->wake->notify();
  }
}

// Standard output, written by its own thread so that a slow reader on the
// other side holds back only the bytes meant for it.
struct OutputState {
  std::mutex lock;
  std::condition_variable changed;  // bytes queued / written / closing
  // State below is protected by `lock`.
  std::vector<std::uint8_t> pending;
  bool writing = false;
  bool failed = false;
  std::string error;
  bool closing = false;
  // Set before the thread starts.
  std::shared_ptr<Wake> wake;
};

void write_output(const std::shared_ptr<OutputState>& output) {
  std::vector<std::uint8_t> batch;
  std::unique_lock<std::mutex> hold(output->lock);
  for (;;) {
    output->changed.wait(hold, [&] {
      return output->closing || !output->pending.empty();
    });
    if (output->pending.empty()) return;  // closing, all written
    batch.swap(output->pending);
    output->writing = true;
    hold.unlock();
    std::string error;
    const bool ok = write_stdout(batch, error);
    batch.clear();
    hold.lock();
    output->writing = false;
    if (!ok) {
      output->failed = true;
      output->error = error;
      output->pending.clear();
      output->changed.notify_all();
      output->wake->notify();
      return;
    }
    output->changed.notify_all();
    output->wake->notify();
  }
}

void print_error(const std::string& message) {
  std::cerr << message << '\n';
  std::cerr.flush();
}

int usage_error(const std::string& reason) {
  std::cerr << tools::usage_error_line(kProgram, reason);
  std::cerr.flush();
  return tools::kExitUsage;
}

// The two places where ip232-term acts as the host on the extension: the
// option map before attach, and the machine's control register.
void set_extension_options(PeripheralExtension& extension,
                           const TermOptions& options) {
  for (const auto& [key, value] : options.extension_options) {
    extension.options().insert_or_assign(key, value);
  }
}

void write_control_register(SerialPort& port, std::uint8_t line_bits) {
  const std::uint8_t control = static_cast<std::uint8_t>(
      (port.controller.registers[SerialController::kControlRegister] &
       ~kLineStateMask) |
      line_bits);
  write_control(port.controller, control);
}

std::string caret_text(std::uint8_t byte) {
  if (byte < 0x20) return std::string("^") + static_cast<char>(byte + 0x40);
  if (byte == 0x7F) return "^?";
  return std::string(1, static_cast<char>(byte));
}

std::string seconds_text(std::chrono::steady_clock::duration duration) {
  const auto tenths =
      std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() /
      100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

// Messages on standard error while the program runs: one line each, ended
// in CR LF while the terminal is raw (it no longer turns LF into CR LF).
class Console {
 public:
  void set_raw(bool raw) {
    raw_ = raw;
    line_end_ = raw ? "\r\n" : "\n";
  }
  std::string_view line_end() const { return line_end_; }
  // Whether the bytes last queued for standard output ended a line, so that
  // a message starts on a line of its own.
  void output_written(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) at_line_start_ = bytes.back() == '\n';
  }
  void say(const std::string& text) {
    // On a terminal, received bytes and messages share the screen.
    const std::string start(raw_ && !at_line_start_ ? line_end_ : "");
    at_line_start_ = true;
    std::cerr << (start + std::string(kProgram) + ": " + text +
                  std::string(line_end_));
    std::cerr.flush();
  }

 private:
  bool raw_ = false;
  std::string_view line_end_ = "\n";  // a literal
  bool at_line_start_ = true;
};

// The emulated machine and the program's run after a successful attach.
class Session {
 public:
  struct Settings {
    bool escape_enabled = false;
    std::uint8_t escape = 0;
    bool interactive = false;  // standard input is a terminal
    bool echo = false;
    LineEnd send_line_end = LineEnd::kKeep;
    LineEnd receive_line_end = LineEnd::kKeep;
    std::chrono::milliseconds linger{0};
    bool rts = true;
  };

  Session(SerialPort& port, const Settings& settings, Console& console,
          Trace* trace)
      : port_(port),
        settings_(settings),
        console_(console),
        trace_(trace),
        escape_reader_(settings.escape_enabled, settings.escape),
        send_mapper_(settings.send_line_end),
        receive_mapper_(settings.receive_line_end),
        echo_mapper_(settings.receive_line_end),
        rts_(settings.rts) {
    input_->wake = wake_;
    output_->wake = wake_;
  }

  enum class End { kInputDone, kQuit, kStopSignal, kOutputFailed };

  // Pumps until the input has ended and lingered, a quit command or a stop
  // signal, or a failure of standard output.
  End run();

  // Waits for the bytes already received to reach standard output; at most
  // `limit` when given. Then lets the helper threads go.
  void finish(std::optional<std::chrono::milliseconds> limit);

  std::string output_error() {
    std::lock_guard<std::mutex> hold(output_->lock);
    return output_->error;
  }
  std::string input_error() {
    std::lock_guard<std::mutex> hold(input_->lock);
    return input_->error;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // Moves input bytes into the transmit backlog, carrying out commands as
  // they are read. Returns whether anything was taken; sets `quit`.
  bool take_input(bool& quit, bool& input_done);
  void apply_command(TermCommand command);
  void print_status();
  void write_line_state();
  bool feed_device();
  bool drain_device(bool& output_failed);
  void queue_output(const std::vector<std::uint8_t>& bytes);
  void trace_event(const std::string& text) {
    if (trace_ != nullptr) trace_->event(text);
  }

  SerialPort& port_;
  const Settings settings_;
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
  // Bytes typed for the device, from `backlog_head_` on.
  std::vector<std::uint8_t> transmit_backlog_;
  std::size_t backlog_head_ = 0;
  std::size_t backlog_size() const {
    return transmit_backlog_.size() - backlog_head_;
  }
  std::vector<std::uint8_t> scratch_;
  std::vector<std::uint8_t> mapped_;
  std::vector<std::uint8_t> echo_;
  std::shared_ptr<Wake> wake_ = std::make_shared<Wake>();
  std::shared_ptr<InputState> input_ = std::make_shared<InputState>();
  std::shared_ptr<OutputState> output_ = std::make_shared<OutputState>();
};

void Session::write_line_state() {
  write_control_register(port_, break_ ? kLineBreak
                                       : (rts_ ? kLineRtsOn : kLineRtsOff));
}

void Session::apply_command(TermCommand command) {
  std::string answer;
  switch (command) {
    case TermCommand::kRtsOn: rts_ = true; answer = "request-to-send on"; break;
    case TermCommand::kRtsOff: rts_ = false; answer = "request-to-send off"; break;
    case TermCommand::kBreakOn: break_ = true; answer = "break on"; break;
    case TermCommand::kBreakOff: break_ = false; answer = "break off"; break;
    case TermCommand::kStatus: print_status(); return;
    case TermCommand::kNone:
    case TermCommand::kQuit: return;
  }
  write_line_state();
  trace_event(answer);
  if (settings_.interactive) console_.say(answer);
}

void Session::print_status() {
  const std::string esc = caret_text(settings_.escape);
  console_.say("after " + esc + ": ? status, q quit, " + esc + " sends " + esc);
  console_.say("          + / - request-to-send on / off, b / B break on / off");
  console_.say(std::string("request-to-send ") + (rts_ ? "on" : "off") +
               ", break " + (break_ ? "on" : "off") + "; sent " +
               std::to_string(bytes_sent_) + " bytes, received " +
               std::to_string(bytes_received_));
  if (backlog_size() == 0) {
    console_.say("no bytes waiting for the device");
  } else {
    console_.say(std::to_string(backlog_size()) +
                 " bytes waiting for the device, which has taken none for " +
                 seconds_text(Clock::now() - waiting_since_));
  }
  console_.say("(the host cannot see the connection: bytes left waiting "
               "mean it is down)");
}

bool Session::take_input(bool& quit, bool& input_done) {
  scratch_.clear();
  {
    std::lock_guard<std::mutex> hold(input_->lock);
    const std::size_t room =
        kTransmitBacklogLimit - std::min(kTransmitBacklogLimit,
                                         backlog_size());
    const std::size_t n = std::min(room, input_->bytes.size());
    scratch_.assign(input_->bytes.begin(),
                    input_->bytes.begin() + static_cast<std::ptrdiff_t>(n));
    input_->bytes.erase(input_->bytes.begin(),
                        input_->bytes.begin() + static_cast<std::ptrdiff_t>(n));
    input_done = input_->ended && input_->bytes.empty();
    if (n > 0) input_->changed.notify_all();
  }
  if (backlog_size() == 0) waiting_since_ = Clock::now();
  if (backlog_head_ > 0) {
    transmit_backlog_.erase(transmit_backlog_.begin(),
                            transmit_backlog_.begin() +
                                static_cast<std::ptrdiff_t>(backlog_head_));
    backlog_head_ = 0;
  }
  mapped_.clear();
  if (!settings_.escape_enabled && !send_mapper_.active()) {
    // Every byte is data, unchanged: no need to look at each.
    mapped_.swap(scratch_);
    scratch_.clear();
  }
  for (const std::uint8_t byte : scratch_) {
    const EscapeReader::Step step = escape_reader_.feed(byte);
    if (step.is_data) {
      send_mapper_.map(step.data, mapped_);
    } else if (step.command == TermCommand::kQuit) {
      quit = true;
      return true;
    } else if (step.command != TermCommand::kNone) {
      // Commands act at once, ahead of data still waiting for the device.
      apply_command(step.command);
    }
  }
  transmit_backlog_.insert(transmit_backlog_.end(), mapped_.begin(),
                           mapped_.end());
  if (settings_.echo && !mapped_.empty()) {
    echo_.clear();
    for (const std::uint8_t byte : mapped_) echo_mapper_.map(byte, echo_);
    queue_output(echo_);
  }
  return !mapped_.empty() || !scratch_.empty();
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

void Session::queue_output(const std::vector<std::uint8_t>& bytes) {
  console_.output_written(bytes);
  std::unique_lock<std::mutex> hold(output_->lock);
  if (output_->pending.empty() && !output_->writing && !output_->failed) {
    // Nothing waits before these bytes, and the writer only ever takes
    // what this thread queues: writing them here keeps their order.
    hold.unlock();
    std::string error;
    const std::optional<bool> written = write_stdout_if_ready(bytes, error);
    if (written) {
      if (!*written) {
        hold.lock();
        output_->failed = true;
        output_->error = error;
      }
      return;
    }
    hold.lock();
  }
  output_->pending.insert(output_->pending.end(), bytes.begin(), bytes.end());
  output_->changed.notify_all();
}

bool Session::drain_device(bool& output_failed) {
  SerialDataSource* const source = port_.controller.source;
  if (source == nullptr) return false;
  std::size_t room = 0;
  {
    std::lock_guard<std::mutex> hold(output_->lock);
    if (output_->failed) {
      output_failed = true;
      return false;
    }
    room = kOutputQueueLimit - std::min(kOutputQueueLimit,
                                        output_->pending.size());
  }
  // While standard output does not keep up, bytes stay in the device.
  scratch_.clear();
  while (scratch_.size() < room && source->has_byte()) {
    scratch_.push_back(source->read_byte());
  }
  if (scratch_.empty()) return false;
  bytes_received_ += scratch_.size();
  if (trace_ != nullptr) trace_->data("received", scratch_);
  if (receive_mapper_.active()) {
    mapped_.clear();
    for (const std::uint8_t byte : scratch_) receive_mapper_.map(byte, mapped_);
    queue_output(mapped_);
  } else {
    queue_output(scratch_);
  }
  return true;
}

Session::End Session::run() {
  std::thread(read_input, input_).detach();
  std::thread(write_output, output_).detach();

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
    if (output_failed) return End::kOutputFailed;

    const Clock::time_point now = Clock::now();
    if (input_done && !input_end_traced) {
      trace_event("end of input");
      input_end_traced = true;
    }
    if (input_done && backlog_size() == 0) {
      if (!linger_end) linger_end = now + settings_.linger;
      if (now >= *linger_end) return End::kInputDone;
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
    if (linger_end) wait = std::min<Clock::duration>(wait, *linger_end - now);
    wake_->wait_for(wait);
  }
}

void Session::finish(std::optional<std::chrono::milliseconds> limit) {
  {
    std::unique_lock<std::mutex> hold(output_->lock);
    const auto drained = [&] {
      return output_->failed || (output_->pending.empty() && !output_->writing);
    };
    if (limit) {
      output_->changed.wait_for(hold, *limit, drained);
    } else {
      output_->changed.wait(hold, drained);
    }
    output_->closing = true;
    output_->changed.notify_all();
  }
  std::lock_guard<std::mutex> hold(input_->lock);
  input_->closing = true;
  input_->changed.notify_all();
}

// The first module found where extension_search_folders() says, else the
// one beside the program (whose absence the loader then reports).
std::string default_extension_path() {
  const std::string directory = program_directory();
  for (const std::string& folder : extension_search_folders()) {
    const std::string candidate = directory + folder + extension_module_file_name();
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return directory + extension_module_file_name();
}

int run_program(const TermOptions& options) {
  for (const std::string& warning :
       extension_option_warnings(options.extension_options)) {
    print_error(std::string(kProgram) + ": warning: " + warning);
  }
  const std::string path = options.extension_path.empty()
                               ? default_extension_path()
                               : options.extension_path;
  std::string error;
  std::optional<ExtensionLibrary> library = ExtensionLibrary::load(path, error);
  if (!library) {
    print_error(std::string(kProgram) + ": " + error);
    return kExitFailure;
  }
  std::optional<Trace> trace =
      options.trace_path.empty() ? std::optional<Trace>()
                                 : Trace::open(options.trace_path, error);
  if (!options.trace_path.empty() && !trace) {
    print_error(std::string(kProgram) + ": " + error);
    return kExitFailure;
  }

  install_stop_handlers();
  Session::Settings settings;
  settings.interactive = stdin_is_terminal();
  settings.escape_enabled = true;
  settings.escape = options.escape_byte;
  if (options.escape == TermOptions::Escape::kNone) {
    settings.escape_enabled = false;
  } else if (options.escape == TermOptions::Escape::kDefault) {
    settings.escape_enabled = settings.interactive;
    settings.escape = kDefaultEscapeByte;
  }
  settings.echo = options.echo;
  settings.send_line_end = options.send_line_end;
  settings.receive_line_end = options.receive_line_end;
  settings.linger = std::chrono::milliseconds(options.linger_ms);
  settings.rts = options.rts;

  SerialPort port;
  port.controller.registers[SerialController::kControlRegister] =
      options.rts ? kLineRtsOn : kLineRtsOff;
  ExtensionContext context;
  context.machine_name = "ip232-term";
  context.serial_port = &port;

  const ExtensionManifest manifest{std::string(kExtensionName),
                                   options.instance_id};
  std::unique_ptr<PeripheralExtension> extension(library->factory()(manifest));
  if (!extension) {
    print_error(std::string(kProgram) + ": the extension factory in '" + path +
                "' returned nothing");
    return kExitFailure;
  }
  set_extension_options(*extension, options);
  try {
    extension->attach(context);
  } catch (const std::exception& e) {
    print_error(e.what());
    return kExitFailure;
  }
  // The extension's line comes first, before any received byte.
  std::cout.flush();
  std::fflush(stdout);
  if (trace) {
    std::string attached = "attach";
    for (const auto& [key, value] : options.extension_options) {
      attached += " " + key + "=" + value;
    }
    trace->event(attached + (options.rts ? " (request-to-send on)"
                                         : " (request-to-send off)"));
  }

  // The terminal is raw before the hint appears, so that what the hint
  // promises holds from the moment it is read.
  Console console;
  const bool raw = enter_raw_terminal();
  console.set_raw(raw);
  if (settings.interactive && settings.escape_enabled) {
    const std::string esc = caret_text(settings.escape);
    console.say("escape key " + esc + ": " + esc + " ? help and status, " +
                esc + " q quit");
  }
  if (trace && options.trace_path == "-") trace->set_line_end(console.line_end());
  Session session(port, settings, console, trace ? &*trace : nullptr);
  const Session::End end = session.run();

  extension->detach();
  extension.reset();
  if (trace) {
    trace->event(end == Session::End::kQuit         ? "detach (quit)"
                 : end == Session::End::kStopSignal ? "detach (stop signal)"
                                                    : "detach");
  }
  const bool stopped =
      end == Session::End::kQuit || end == Session::End::kStopSignal;
  session.finish(stopped ? std::optional<std::chrono::milliseconds>(
                               std::chrono::duration_cast<
                                   std::chrono::milliseconds>(kStopDrainWait))
                         : std::nullopt);
  restore_terminal();

  const std::string input_error = session.input_error();
  if (!input_error.empty()) {
    print_error(std::string(kProgram) + ": standard input: " + input_error);
  }
  if (end == Session::End::kOutputFailed) {
    print_error(std::string(kProgram) + ": standard output: " +
                session.output_error());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace
}  // namespace quorvex::host

int main(int argc, char** argv) {
  using namespace quorvex::host;
  use_binary_stdio();
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  std::string error;
  const std::optional<TermOptions> options = parse_term_arguments(args, error);
  if (!options) return usage_error(error);
  if (options->help) {
    std::cout << term_usage();
    std::cout.flush();
    return kExitOk;
  }
  if (options->version) {
    std::cout << quorvex::tools::version_line(kProgram);
    std::cout.flush();
    return kExitOk;
  }
  try {
    return run_program(*options);
  } catch (const std::exception& e) {
    restore_terminal();
    print_error(std::string(kProgram) + ": " + e.what());
    return kExitFailure;
  }
}
