// What ip232-term tells the user about the extension's connection: where
// the extension connects (read from the same options it reads), one line
// for each event of the ConnectionWatch, and the state for the status
// command. Used by the main thread only.

#ifndef QUORVEX_HOST_CONNECTION_REPORT_H_
#define QUORVEX_HOST_CONNECTION_REPORT_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/connection_watch.h"

namespace quorvex::host {

struct ConnectionTarget {
  std::string host;  // a name or address, IPv6 without brackets
  std::uint16_t port = 0;
  bool raw = false;  // mode raw: connected only while request-to-send is on
};

// The host and port that the extension connects to with these options
// (KEY=VALUE in the order given; the last of a repeated key counts), by
// the extension's own rules: `url` when it is not empty, else `host`
// (default localhost) and `port` (default 25232); and whether the mode is
// raw. Nothing when the options
// are not valid, which the extension reports itself.
std::optional<ConnectionTarget> connection_target(
    const std::vector<std::pair<std::string, std::string>>& options);

// "HOST:PORT", with an IPv6 address in brackets.
std::string target_text(const ConnectionTarget& target);

class ConnectionReport {
 public:
  using Clock = std::chrono::steady_clock;

  // `start`: when the extension began connecting.
  ConnectionReport(ConnectionTarget target, Clock::time_point start);

  // Takes `event` in and returns its line (without the program's name).
  // `sent` and `received`: the bytes the machine has sent and received in
  // this run so far; a closed connection is told the part of them that
  // passed since the one before it closed.
  std::string take(const ConnectionEvent& event, std::uint64_t sent,
                   std::uint64_t received);

  // "connected since HH:MM:SS UTC (12.3 s ago)" or "not connected for
  // 5.2 s", with the reason when the name does not resolve.
  std::string status(Clock::time_point now) const;

  bool connected() const { return connected_; }
  // False once the watch said that the system cannot tell.
  bool watching() const { return unwatchable_.empty(); }
  bool ever_connected() const { return ever_connected_; }
  // Why there is no connection: the name's failure to resolve, else that
  // nothing answers.
  std::string reason() const;
  const std::string& target() const { return target_; }

 private:
  const ConnectionTarget where_;
  const std::string target_;
  bool connected_ = false;
  bool ever_connected_ = false;
  Clock::time_point since_;  // of the connection, or of the outage
  std::string since_clock_;  // the connection's start, HH:MM:SS UTC
  std::uint64_t sent_before_ = 0;
  std::uint64_t received_before_ = 0;
  std::string unresolved_;   // the resolver's reason while it fails
  std::string unwatchable_;  // why the connection cannot be watched
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_CONNECTION_REPORT_H_
