// ip232-term: a stand-in host with one emulated machine and one serial port.
//
// It loads the extension library the way a host does, applies the extension
// to its machine, and then pumps bytes: standard input -> the machine's
// transmitter -> the extension's device, and the device -> the machine's
// receiver -> standard output. Two helper threads do the blocking I/O: one
// reads standard input into a bounded queue, one writes the bytes received
// to standard output. The main thread is the host's emulation thread: it
// alone calls the device and the serial controller.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
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

namespace quorvex::host {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr std::string_view kProgram = "ip232-term";
constexpr std::string_view kExtensionName = "ip232-serial";

// Bytes read from standard input that wait for the main thread; the reader
// stops reading while this many are queued.
constexpr std::size_t kInputQueueLimit = 64 * 1024;
// Data bytes taken from the input that wait for the device to be ready.
constexpr std::size_t kTransmitBacklogLimit = 64 * 1024;
// Received bytes that wait for standard output; the main thread stops
// taking bytes from the device while this many are queued.
constexpr std::size_t kOutputQueueLimit = 4096;
constexpr std::size_t kStdinChunkBytes = 4096;
// How long the main thread waits when there was nothing to do. It bounds
// how late a received byte reaches standard output.
constexpr auto kIdleWait = std::chrono::milliseconds(2);
// How long a stop by command or signal waits for received bytes already
// queued to reach standard output.
constexpr auto kStopDrainWait = std::chrono::milliseconds(500);

// Control register bits 6..5: 00 asserts request-to-send, 10 deasserts it,
// 11 sends a break (request-to-send stays asserted).
constexpr std::uint8_t kLineStateMask = SerialController::kLineStateMask;
constexpr std::uint8_t kLineRtsOn = 0x00;
constexpr std::uint8_t kLineRtsOff = 0x40;
constexpr std::uint8_t kLineBreak = 0x60;

// Standard input, read by its own thread. Shared through a shared pointer
// so that the thread, which may stay blocked in a read until the process
// ends, never outlives it.
struct InputState {
  std::mutex lock;
  std::condition_variable changed;  // bytes arrived / room made / closing
  // State below is protected by `lock`.
  std::deque<std::uint8_t> bytes;
  bool ended = false;
  std::string error;   // set when reading failed
  bool closing = false;
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
      return;
    }
    input->bytes.insert(input->bytes.end(), buffer.begin(),
                        buffer.begin() + static_cast<std::ptrdiff_t>(read.count));
    input->changed.notify_all();
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
      return;
    }
    output->changed.notify_all();
  }
}

void print_error(const std::string& message) {
  std::cerr << message << '\n';
  std::cerr.flush();
}

int usage_error(const std::string& reason) {
  std::cerr << kProgram << ": " << reason << '\n' << term_usage();
  std::cerr.flush();
  return kExitUsage;
}

// The emulated machine and the program's run after a successful attach.
class Session {
 public:
  Session(SerialPort& port, const TermOptions& options, bool escape_enabled,
          std::uint8_t escape)
      : port_(port),
        escape_reader_(escape_enabled, escape),
        linger_(std::chrono::milliseconds(options.linger_ms)),
        rts_(options.rts) {}

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
  // Moves input bytes into the transmit backlog, carrying out commands as
  // they are read. Returns whether anything was taken; sets `quit`.
  bool take_input(bool& quit, bool& input_done);
  void apply_command(TermCommand command);
  void write_line_state();
  bool feed_device();
  bool drain_device(bool& output_failed);

  SerialPort& port_;
  EscapeReader escape_reader_;
  const std::chrono::milliseconds linger_;
  bool rts_;
  bool break_ = false;
  std::deque<std::uint8_t> transmit_backlog_;
  std::vector<std::uint8_t> scratch_;
  std::shared_ptr<InputState> input_ = std::make_shared<InputState>();
  std::shared_ptr<OutputState> output_ = std::make_shared<OutputState>();
};

void Session::write_line_state() {
  const std::uint8_t bits =
      break_ ? kLineBreak : (rts_ ? kLineRtsOn : kLineRtsOff);
  const std::uint8_t control =
      static_cast<std::uint8_t>(
          (port_.controller.registers[SerialController::kControlRegister] &
           ~kLineStateMask) |
          bits);
  write_control(port_.controller, control);
}

void Session::apply_command(TermCommand command) {
  switch (command) {
    case TermCommand::kRtsOn: rts_ = true; break;
    case TermCommand::kRtsOff: rts_ = false; break;
    case TermCommand::kBreakOn: break_ = true; break;
    case TermCommand::kBreakOff: break_ = false; break;
    case TermCommand::kNone:
    case TermCommand::kQuit: return;
  }
  write_line_state();
}

bool Session::take_input(bool& quit, bool& input_done) {
  scratch_.clear();
  {
    std::lock_guard<std::mutex> hold(input_->lock);
    const std::size_t room =
        kTransmitBacklogLimit - std::min(kTransmitBacklogLimit,
                                         transmit_backlog_.size());
    const std::size_t n = std::min(room, input_->bytes.size());
    scratch_.assign(input_->bytes.begin(),
                    input_->bytes.begin() + static_cast<std::ptrdiff_t>(n));
    input_->bytes.erase(input_->bytes.begin(),
                        input_->bytes.begin() + static_cast<std::ptrdiff_t>(n));
    input_done = input_->ended && input_->bytes.empty();
    if (n > 0) input_->changed.notify_all();
  }
  for (const std::uint8_t byte : scratch_) {
    const EscapeReader::Step step = escape_reader_.feed(byte);
    if (step.is_data) {
      transmit_backlog_.push_back(step.data);
    } else if (step.command == TermCommand::kQuit) {
      quit = true;
      return true;
    } else if (step.command != TermCommand::kNone) {
      // Commands act at once, ahead of data still waiting for the device.
      apply_command(step.command);
    }
  }
  return !scratch_.empty();
}

bool Session::feed_device() {
  bool fed = false;
  SerialDataSink* const sink = port_.controller.sink;
  if (sink == nullptr) return false;
  // The machine's transmitter holds each byte until the device is ready:
  // nothing is dropped.
  while (!transmit_backlog_.empty() && sink->ready_for_byte()) {
    sink->write_byte(transmit_backlog_.front());
    transmit_backlog_.pop_front();
    fed = true;
  }
  return fed;
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
  std::lock_guard<std::mutex> hold(output_->lock);
  output_->pending.insert(output_->pending.end(), scratch_.begin(),
                          scratch_.end());
  output_->changed.notify_all();
  return true;
}

Session::End Session::run() {
  std::thread(read_input, input_).detach();
  std::thread(write_output, output_).detach();

  std::optional<std::chrono::steady_clock::time_point> linger_end;
  for (;;) {
    if (stop_requested()) return End::kStopSignal;
    bool quit = false;
    bool input_done = false;
    bool busy = take_input(quit, input_done);
    if (quit) return End::kQuit;
    busy = feed_device() || busy;
    bool output_failed = false;
    busy = drain_device(output_failed) || busy;
    if (output_failed) return End::kOutputFailed;

    if (input_done && transmit_backlog_.empty()) {
      const auto now = std::chrono::steady_clock::now();
      if (!linger_end) linger_end = now + linger_;
      if (now >= *linger_end) return End::kInputDone;
    }
    if (!busy) {
      // Woken early by new input; the device has no signal of its own.
      std::unique_lock<std::mutex> hold(input_->lock);
      input_->changed.wait_for(hold, kIdleWait, [&] {
        return !input_->bytes.empty() && !input_done &&
               transmit_backlog_.size() < kTransmitBacklogLimit;
      });
    }
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

int run_program(const TermOptions& options) {
  const std::string path =
      options.extension_path.empty()
          ? program_directory() + extension_module_file_name()
          : options.extension_path;
  std::string error;
  std::optional<ExtensionLibrary> library = ExtensionLibrary::load(path, error);
  if (!library) {
    print_error(std::string(kProgram) + ": " + error);
    return kExitFailure;
  }

  install_stop_handlers();
  bool escape_enabled = true;
  std::uint8_t escape = options.escape_byte;
  if (options.escape == TermOptions::Escape::kNone) {
    escape_enabled = false;
  } else if (options.escape == TermOptions::Escape::kDefault) {
    escape_enabled = stdin_is_terminal();
    escape = kDefaultEscapeByte;
  }

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
  for (const auto& [key, value] : options.extension_options) {
    extension->options().insert_or_assign(key, value);
  }
  try {
    extension->attach(context);
  } catch (const std::exception& e) {
    print_error(e.what());
    return kExitFailure;
  }
  // The extension's line comes first, before any received byte.
  std::cout.flush();
  std::fflush(stdout);

  enter_raw_terminal();
  Session session(port, options, escape_enabled, escape);
  const Session::End end = session.run();

  extension->detach();
  extension.reset();
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
  try {
    return run_program(*options);
  } catch (const std::exception& e) {
    restore_terminal();
    print_error(std::string(kProgram) + ": " + e.what());
    return kExitFailure;
  }
}
