#include "host/connection_report.h"

#include <cstdlib>
#include <map>

#include "extension/endpoint_address.h"
#include "ip232/endpoint_config.h"
#include "host/term_console.h"

namespace quorvex::host {
namespace {

// How long the extension waits between two connection attempts.
constexpr std::string_view kRetryText = " (retrying every 0.5 s)";

std::string two_digits(long long value) {
  return std::string(1, static_cast<char>('0' + value / 10)) +
         static_cast<char>('0' + value % 10);
}

std::string clock_text(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const long long seconds =
      duration_cast<std::chrono::seconds>(when - floor<days>(when)).count();
  return two_digits(seconds / 3600) + ":" + two_digits(seconds / 60 % 60) +
         ":" + two_digits(seconds % 60) + " UTC";
}

}  // namespace

std::optional<ConnectionTarget> connection_target(
    const std::vector<std::pair<std::string, std::string>>& options) {
  std::map<std::string, std::string> last;
  for (const auto& [key, value] : options) last.insert_or_assign(key, value);
  const auto value_of = [&](const char* key) {
    const auto found = last.find(key);
    return found == last.end() ? std::string() : found->second;
  };
  const bool raw = value_of("mode") == "raw";
  const std::string url = value_of("url");
  if (!url.empty()) {
    std::string error;
    const std::optional<EndpointAddress> address =
        parse_endpoint_address(url, error);
    if (!address) return std::nullopt;
    return ConnectionTarget{address->host, address->port, raw};
  }
  ConnectionTarget target{value_of("host"), ip232::kDefaultPort, raw};
  if (target.host.empty()) target.host = ip232::kDefaultHost;
  const std::string port = value_of("port");
  if (!port.empty()) {
    // The extension's conversion: C's atoi, then the range check.
    const long value = std::strtol(port.c_str(), nullptr, 10);
    if (value < 1 || value > ip232::kMaxPort) return std::nullopt;
    target.port = static_cast<std::uint16_t>(value);
  }
  return target;
}

std::string target_text(const ConnectionTarget& target) {
  const std::string port = std::to_string(target.port);
  if (target.host.find(':') != std::string::npos) {
    return "[" + target.host + "]:" + port;
  }
  return target.host + ":" + port;
}

ConnectionReport::ConnectionReport(ConnectionTarget target,
                                   Clock::time_point start)
    : where_(std::move(target)), target_(target_text(where_)), since_(start) {}

std::string ConnectionReport::take(const ConnectionEvent& event,
                                   std::uint64_t sent, std::uint64_t received) {
  using Kind = ConnectionEvent::Kind;
  switch (event.kind) {
    case Kind::kConnected:
      connected_ = true;
      ever_connected_ = true;
      unresolved_.clear();
      since_ = event.at;
      since_clock_ = clock_text(
          std::chrono::time_point_cast<std::chrono::system_clock::duration>(
              std::chrono::system_clock::now() - (Clock::now() - event.at)));
      return "connected to " + target_;
    case Kind::kClosed: {
      // Nothing moves while there is no connection, so the bytes since the
      // last close are this connection's.
      const std::string line =
          "connection closed after " + seconds_text(event.at - since_) +
          " (sent " + std::to_string(sent - sent_before_) + ", received " +
          std::to_string(received - received_before_) + ")";
      connected_ = false;
      since_ = event.at;
      sent_before_ = sent;
      received_before_ = received;
      return line;
    }
    case Kind::kNoAnswer:
      return "not connected: nothing answers at " + target_ +
             std::string(kRetryText);
    case Kind::kUnresolved:
      unresolved_ = event.reason;
      return "not connected: " + reason() + std::string(kRetryText);
    case Kind::kUnwatchable:
      unwatchable_ = event.reason;
      return "cannot watch the connection: " + unwatchable_;
  }
  return {};
}

std::string ConnectionReport::status(Clock::time_point now) const {
  if (!watching()) return "cannot watch the connection: " + unwatchable_;
  if (connected_) {
    return "connected since " + since_clock_ + " (" +
           seconds_text(now - since_) + " ago)";
  }
  std::string line = "not connected for " + seconds_text(now - since_);
  if (!unresolved_.empty()) line += " (" + reason() + ")";
  return line;
}

std::string ConnectionReport::reason() const {
  if (!unresolved_.empty()) {
    return "cannot resolve " + where_.host + ": " + unresolved_;
  }
  return "nothing answers at " + target_;
}

}  // namespace quorvex::host
