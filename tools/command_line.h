// The command-line convention shared by ip232-term, ip232-peer and
// ip232-bench: "--name VALUE" and "--name=VALUE", a short form "-x VALUE"
// or "-xVALUE" for the common options, "--" before operands that start
// with a dash, and a usage error as one line that ends in "try --help".

#ifndef QUORVEX_TOOLS_COMMAND_LINE_H_
#define QUORVEX_TOOLS_COMMAND_LINE_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex::tools {

inline constexpr int kExitUsage = 2;

// One option a program accepts.
struct OptionSpec {
  std::string_view name;   // the long form without its dashes: "escape"
  char short_name = 0;     // 'e', or 0 when there is no short form
  bool takes_value = false;
};

// One item of a command line: an option with its value, or an operand.
struct Argument {
  const OptionSpec* option = nullptr;  // null for an operand
  std::string_view value;              // the option's value, or the operand
};

// Splits `args` (the arguments after the program name) into options and
// operands, in order. Stops after "help" or "version" when the program
// knows them, so that they win over anything later. On a usage error
// returns nothing and sets `error` to a one-line reason.
std::optional<std::vector<Argument>> split_command_line(
    std::span<const std::string_view> args,
    std::span<const OptionSpec> options, std::string& error);

// A whole decimal number from `min` to `max`, digits only.
std::optional<std::int64_t> parse_whole_number(std::string_view text,
                                               std::int64_t min,
                                               std::int64_t max);

// The project's version ("0.1.0").
std::string_view project_version();

// "PROGRAM VERSION\n", what --version prints on standard output.
std::string version_line(std::string_view program);

// "PROGRAM: REASON (try 'PROGRAM --help')\n", for standard error.
std::string usage_error_line(std::string_view program, std::string_view reason);

}  // namespace quorvex::tools

#endif  // QUORVEX_TOOLS_COMMAND_LINE_H_
