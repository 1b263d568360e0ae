// Warnings about the KEY=VALUE options ip232-term passes to the extension:
// keys it does not read (with the key probably meant) and values it reads
// differently than they look.

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extension/options.h"
#include "host/ip232_term_options.h"
#include "tools/command_line.h"

namespace quorvex::host {

namespace {

// The last value of each key, as the host's option map keeps it.
OptionMap last_values(
    const std::vector<std::pair<std::string, std::string>>& options) {
  OptionMap last;
  for (const auto& [key, value] : options) last.insert_or_assign(key, value);
  return last;
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `typed` is `known` with at most one slip, ignoring case: one
// character wrong, missing or extra, or two neighbours swapped.
bool one_slip_from(std::string_view typed, std::string_view known) {
  std::string a(typed);
  std::transform(a.begin(), a.end(), a.begin(), lower);
  const std::string_view b = known;
  if (a == b) return true;
  if (a.size() == b.size()) {
    std::size_t first = 0;
    while (a[first] == b[first]) ++first;
    if (a.substr(first + 1) == b.substr(first + 1)) return true;
    return first + 1 < a.size() && a[first] == b[first + 1] &&
           a[first + 1] == b[first] && a.substr(first + 2) == b.substr(first + 2);
  }
  const std::string_view longer = a.size() > b.size() ? std::string_view(a) : b;
  const std::string_view shorter = a.size() > b.size() ? b : std::string_view(a);
  if (longer.size() != shorter.size() + 1) return false;
  std::size_t first = 0;
  while (first < shorter.size() && longer[first] == shorter[first]) ++first;
  return longer.substr(first + 1) == shorter.substr(first);
}

// What an unread key was probably meant to be: an extension key, or one of
// ip232-term's own options typed as KEY=VALUE. Empty when nothing is close.
std::string suggestion_for(std::string_view key) {
  for (const std::string_view known : kExtensionOptionKeys) {
    if (one_slip_from(key, known)) return std::string(known);
  }
  for (const std::string_view name : term_option_names()) {
    if (one_slip_from(key, name)) return "--" + std::string(name);
  }
  return {};
}

}  // namespace

std::vector<std::string> extension_option_warnings(
    const std::vector<std::pair<std::string, std::string>>& options) {
  std::vector<std::string> warnings;
  std::string known;
  for (const std::string_view key : kExtensionOptionKeys) {
    known += (known.empty() ? "" : ", ") + std::string(key);
  }
  for (const auto& [key, value] : options) {
    if (std::find(std::begin(kExtensionOptionKeys),
                  std::end(kExtensionOptionKeys),
                  key) == std::end(kExtensionOptionKeys)) {
      const std::string meant = suggestion_for(key);
      warnings.push_back("the extension does not read '" + key + "'" +
                         (meant.empty() ? " (it reads " + known + ")"
                                        : ": did you mean " + meant + "?"));
    }
  }
  // The last of a repeated key is the one the extension sees. What it
  // makes of a value is asked of its own rules, one key at a time; a value
  // it refuses gets no warning here: attaching says what is wrong.
  const auto taken = [](const std::string& key, const std::string& value) {
    try {
      return std::optional<BridgeSettings>(read_bridge_settings(OptionMap{{key, value}}));
    } catch (const std::runtime_error&) {
      return std::optional<BridgeSettings>();
    }
  };
  const auto taken_as = [&](const std::string& key, const std::string& value,
                            std::uint64_t number) {
    const auto typed = tools::parse_whole_number(
        value, 0, std::numeric_limits<std::int64_t>::max());
    if (!typed || static_cast<std::uint64_t>(*typed) != number) {
      warnings.push_back(key + "=" + value + " is taken as " + std::to_string(number));
    }
  };
  for (const auto& [key, value] : last_values(options)) {
    if (value.empty()) continue;
    const std::optional<BridgeSettings> settings = taken(key, value);
    if (!settings) continue;
    if (key == "handshake" && value != "true" && value != "1" &&
        value != "false" && value != "0") {
      warnings.push_back("handshake=" + value + " is taken as " +
                         (settings->endpoint.handshake ? "true" : "false") +
                         ": only false or 0 turn it off");
    } else if (key == "port") {
      taken_as(key, value, settings->endpoint.port);
    } else if (key == "tx_buffer") {
      taken_as(key, value, settings->endpoint.tx_buffer);
    }
  }
  return warnings;
}

}  // namespace quorvex::host
