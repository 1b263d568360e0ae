#include "tools/command_line.h"

#include <charconv>

namespace quorvex::tools {
namespace {

const OptionSpec* find_long(std::span<const OptionSpec> options,
                            std::string_view name) {
  for (const OptionSpec& option : options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

const OptionSpec* find_short(std::span<const OptionSpec> options, char name) {
  for (const OptionSpec& option : options) {
    if (option.short_name != 0 && option.short_name == name) return &option;
  }
  return nullptr;
}

std::string display_name(const OptionSpec& option) {
  return "--" + std::string(option.name);
}

}  // namespace

std::optional<std::vector<Argument>> split_command_line(
    std::span<const std::string_view> args,
    std::span<const OptionSpec> options, std::string& error) {
  std::vector<Argument> result;
  bool operands_only = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    // "-" alone is an operand (standard input or output, by custom).
    if (operands_only || arg.size() < 2 || arg[0] != '-') {
      result.push_back(Argument{nullptr, arg});
      continue;
    }
    if (arg == "--") {
      operands_only = true;
      continue;
    }
    const OptionSpec* option = nullptr;
    std::optional<std::string_view> value;
    if (arg[1] == '-') {
      std::string_view name = arg.substr(2);
      if (const auto eq = name.find('='); eq != std::string_view::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
      option = find_long(options, name);
      if (option == nullptr) {
        error = "unknown option '--" + std::string(name) + "'";
        return std::nullopt;
      }
      if (value && !option->takes_value) {
        error = "option " + display_name(*option) + " takes no value";
        return std::nullopt;
      }
    } else {
      option = find_short(options, arg[1]);
      if (option == nullptr || (!option->takes_value && arg.size() > 2)) {
        error = "unknown option '" + std::string(arg) + "'";
        return std::nullopt;
      }
      if (arg.size() > 2) value = arg.substr(2);
    }
    if (option->takes_value && !value) {
      if (i + 1 >= args.size()) {
        error = "option " + display_name(*option) + " needs a value";
        return std::nullopt;
      }
      value = args[++i];
    }
    result.push_back(Argument{option, value.value_or(std::string_view())});
    if (option->name == "help" || option->name == "version") break;
  }
  return result;
}

std::optional<std::int64_t> parse_whole_number(std::string_view text,
                                               std::int64_t min,
                                               std::int64_t max) {
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < min ||
      value > max) {
    return std::nullopt;
  }
  return value;
}

std::string_view project_version() { return IP232_VERSION; }

std::string version_line(std::string_view program) {
  return std::string(program) + " " + std::string(project_version()) + "\n";
}

std::string usage_error_line(std::string_view program,
                             std::string_view reason) {
  return std::string(program) + ": " + std::string(reason) + " (try '" +
         std::string(program) + " --help')\n";
}

}  // namespace quorvex::tools
