// ip232-bench: measures the bridge endpoint on loopback against peers that
// run inside this process, and prints a table and one JSON line.
//
//   ip232-bench [--quick] [--endpoints N] [--seconds S] [--round-trips N]
//               [--megabytes N] [--only LIST] [--json-only]
//
// Exit status: 0 when every check held (content verified, connections
// made), 1 when one failed, 2 on a usage error. Times are reported, never
// judged by the exit status.

#include <cstdlib>
#include <exception>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/process_stats.h"
#include "tools/command_line.h"

namespace {

using quorvex::bench::Options;
using quorvex::bench::Report;

constexpr const char* kSections[] = {"round_trip", "throughput", "idle",
                                     "lifecycle", "scale"};

void usage(std::ostream& out) {
  out << "usage: ip232-bench [--quick] [--endpoints N] [--seconds S]\n"
         "                   [--round-trips N] [--megabytes N] [--only LIST]\n"
         "                   [--json-only]\n"
         "Options take their value as --name VALUE or --name=VALUE.\n"
         "  --quick          a smoke run of a few seconds (small counts)\n"
         "  --endpoints N    endpoints in the scale run (default 256; quick 32)\n"
         "  --seconds S      length of each idle measurement (default 10; quick 1)\n"
         "  --round-trips N  round trips of each kind (default 10000; quick 1000)\n"
         "  --megabytes N    MiB of payload per throughput run (default 32; quick 1)\n"
         "  --only LIST      comma-separated sections: round_trip,throughput,idle,\n"
         "                   lifecycle,scale (default: all)\n"
         "  --json-only      print only the JSON line\n"
         "  -h, --help       show this text\n"
         "  -V, --version    show the version\n";
}

// Parses a positive number; false when `text` is not one.
bool positive(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && value > 0 && value < 1e9;
}

constexpr quorvex::tools::OptionSpec kOptions[] = {
    {"help", 'h', false},       {"version", 'V', false},
    {"quick", 0, false},        {"json-only", 0, false},
    {"endpoints", 0, true},     {"seconds", 0, true},
    {"round-trips", 0, true},   {"megabytes", 0, true},
    {"only", 0, true},
};

constexpr std::string_view kProgram = "ip232-bench";

int usage_error(const std::string& reason) {
  std::cerr << quorvex::tools::usage_error_line(kProgram, reason);
  return quorvex::tools::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  std::string error;
  const auto split = quorvex::tools::split_command_line(args, kOptions, error);
  if (!split) return usage_error(error);
  // Quick defaults first, so that explicit options given with --quick win.
  for (const quorvex::tools::Argument& arg : *split) {
    if (arg.option != nullptr && arg.option->name == "quick") {
      options.quick = true;
      options.round_trips = 1000;
      options.throughput_bytes = 1u << 20;
      options.idle_seconds = 1;
      options.lifecycle_samples = 3;
      options.reconnect_samples = 1;
      options.endpoints = 32;
      options.scale_bytes = 1u << 20;
    }
  }
  std::set<std::string> only;
  for (const quorvex::tools::Argument& arg : *split) {
    if (arg.option == nullptr) {
      return usage_error("unexpected argument '" + std::string(arg.value) + "'");
    }
    const std::string_view name = arg.option->name;
    const std::string value(arg.value);
    double number = 0;
    if (name == "help") {
      usage(std::cout);
      return 0;
    } else if (name == "version") {
      std::cout << quorvex::tools::version_line(kProgram);
      return 0;
    } else if (name == "quick") {
      continue;
    } else if (name == "json-only") {
      options.json_only = true;
    } else if (name == "only") {
      std::stringstream list(value);
      for (std::string section; std::getline(list, section, ',');) {
        only.insert(section);
      }
    } else if (!positive(value, number)) {
      return usage_error("--" + std::string(name) +
                         " takes a positive number, not '" + value + "'");
    } else if (name == "endpoints") {
      options.endpoints = static_cast<std::size_t>(number);
    } else if (name == "seconds") {
      options.idle_seconds = number;
    } else if (name == "round-trips") {
      options.round_trips = static_cast<std::size_t>(number);
    } else {
      options.throughput_bytes = static_cast<std::size_t>(number * (1u << 20));
    }
  }
  for (const std::string& name : only) {
    bool known = false;
    for (const char* section : kSections) known = known || name == section;
    if (!known) return usage_error("unknown section '" + name + "'");
  }
  const auto wanted = [&](const char* section) {
    return only.empty() || only.count(section) > 0;
  };

  Report report;
  report.section("Machine");
  report.text("cpu", "processor", quorvex::bench::cpu_model());
  report.number("cores", "hardware threads",
                static_cast<double>(std::thread::hardware_concurrency()), "", 0);
  report.flag("quick", "quick smoke run", options.quick);
  try {
    if (wanted("round_trip")) quorvex::bench::measure_round_trip(options, report);
    if (wanted("throughput")) quorvex::bench::measure_throughput(options, report);
    if (wanted("idle")) quorvex::bench::measure_idle(options, report);
    if (wanted("lifecycle")) quorvex::bench::measure_lifecycle(options, report);
    if (wanted("scale")) quorvex::bench::measure_scale(options, report);
  } catch (const std::exception& e) {
    std::cerr << "ip232-bench: " << e.what() << "\n";
    report.print_json(std::cout);
    return 1;
  }
  if (!options.json_only) {
    report.print_table(std::cout);
    std::cout << "\n"
              << (report.all_targets_met() ? "all targets met" : "some targets missed")
              << "\n\n";
  }
  report.print_json(std::cout);
  return report.checks_passed() ? 0 : 1;
}
