// ip232-term: a stand-in host with one emulated machine and one serial port.
//
// It loads the extension library the way a host does, applies the extension
// to its machine, and then runs a Session: standard input -> the machine's
// transmitter -> the extension's device, and the device -> the machine's
// receiver -> standard output (host/term_session.h).

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/connection_status.h"
#include "api/extension.h"
#include "host/connection_report.h"
#include "host/extension_library.h"
#include "host/serial_controller.h"
#include "host/ip232_term_options.h"
#include "host/term_console.h"
#include "host/term_session.h"
#include "host/terminal.h"
#include "host/trace.h"
#include "tools/command_line.h"

namespace quorvex::host {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

constexpr std::string_view kExtensionName = "ip232-serial";

// How long a stop by command or signal waits for received bytes already
// queued to reach standard output.
constexpr auto kStopDrainWait = std::chrono::milliseconds(500);

void flush_stdout_streams() {
  std::cout.flush();
  std::fflush(stdout);
}

int usage_error(const std::string& reason) {
  std::cerr << tools::usage_error_line(kProgram, reason);
  std::cerr.flush();
  return tools::kExitUsage;
}

// The host's option map of the extension, filled before attach.
void set_extension_options(PeripheralExtension& extension,
                           const TermOptions& options) {
  for (const auto& [key, value] : options.extension_options) {
    extension.options().insert_or_assign(key, value);
  }
}

// The first module found where extension_search_folders() says, else the
// one beside the program (whose absence the loader then reports).
std::string default_extension_path() {
  const std::string directory = program_directory();
  for (const std::string& folder : extension_search_folders()) {
    const std::string candidate = directory + folder + extension_module_file_name();
    if (is_regular_file(candidate)) return candidate;
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
  std::optional<ExtensionLibrary> library = ExtensionLibrary::load(path, error, kProgram);
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
  const bool interactive = stdin_is_terminal();

  SerialPort port;
  port.controller.registers[SerialController::kControlRegister] =
      line_state_bits(options.rts);
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
  // The extension announces itself on standard output; here that carries
  // the received bytes only, so its line goes to standard error instead.
  flush_stdout_streams();
  const bool redirected = point_stdout_at_stderr();
  try {
    extension->attach(context);
  } catch (const std::exception& e) {
    flush_stdout_streams();
    if (redirected) restore_stdout();
    print_error(e.what());
    return kExitFailure;
  }
  flush_stdout_streams();
  if (redirected) restore_stdout();
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
  const std::optional<std::uint8_t> escape = session_escape(options, interactive);
  if (interactive && escape) {
    const std::string esc = caret_text(*escape);
    console.say("escape key " + esc + ": " + esc + " ? help and status, " +
                esc + " q quit");
  } else if (raw) {
    // -e none on a terminal: raw mode passes the signal keys on as bytes.
    console.say("warning: no escape key (-e none): no key will quit; end "
                "ip232-term with a stop signal or by closing the terminal");
  }
  if (trace && options.trace_path == "-") {
    trace->share_screen([&console] { return console.line_start(); },
                        console.line_end());
  }
  // The extension's status face, when its device has one.
  const auto* status = dynamic_cast<const ConnectionStatusSource*>(port.controller.source);
  Session session(port, options, interactive, console,
                  trace ? &*trace : nullptr, status);
  const Session::End end = session.run();

  extension->detach();
  extension.reset();
  if (trace) {
    trace->event(end == Session::End::kQuit         ? "detach (quit)"
                 : end == Session::End::kStopSignal ? "detach (stop signal)"
                 : end == Session::End::kNoConnection
                     ? "detach (no connection)"
                 : end == Session::End::kConnectionClosed
                     ? "detach (the connection closed)"
                     : "detach");
  }
  const bool stopped =
      end == Session::End::kQuit || end == Session::End::kStopSignal;
  // A reader that went away takes nothing more.
  const bool gone = end == Session::End::kReaderGone;
  session.finish(stopped || gone ? std::optional(kStopDrainWait) : std::nullopt);
  if (stopped) console.end_line();
  restore_terminal();

  const std::string input_error = session.input_error();
  if (!input_error.empty()) {
    print_error(std::string(kProgram) + ": standard input: " + input_error);
  }
  if (end == Session::End::kNoConnection) {
    print_error(std::string(kProgram) + ": " + session.no_connection_text());
    return kExitFailure;
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
