// What ip232-term tells the user about the extension's connection, taken
// from the extension itself through its ConnectionStatusSource face: one
// line for each connection made and each one closed, one when an attempt
// fails for a new reason, and the state for the status command. Used by
// the main thread only.
//
// Each connection's lines keep their place among the received bytes: the
// face says where in the received stream a connection's data begins and
// ends, and the session shows the bytes before a line first.

#ifndef QUORVEX_HOST_CONNECTION_REPORT_H_
#define QUORVEX_HOST_CONNECTION_REPORT_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "api/connection_status.h"

namespace quorvex::host {

// "HOST:PORT", with an IPv6 address in brackets.
std::string target_text(const std::string& host, std::uint16_t port);

class ConnectionReport {
 public:
  using Clock = std::chrono::steady_clock;

  // A line due once the received stream has been shown up to `offset`.
  struct Line {
    std::uint64_t offset = 0;
    std::string text;
  };

  // `source`: the device's face (it outlives the report). Nothing is told
  // until the first refresh().
  explicit ConnectionReport(const ConnectionStatusSource& source);

  // Asks the device again. `shown`: the received bytes taken from the
  // device so far (all of which the device delivered before this call).
  void refresh(std::uint64_t shown, Clock::time_point now);
  // The oldest line not yet given out, when it is due by `offset`; it is
  // then taken.
  std::optional<Line> take_line(std::uint64_t offset);
  // The place of the oldest line not yet given out; nothing when none.
  std::optional<std::uint64_t> next_line_offset() const {
    if (lines_.empty()) return std::nullopt;
    return lines_.front().offset;
  }

  // Looks at received bytes as they are shown (`from`: the offset of the
  // first) for telnet negotiation at the start of a connection. In mode
  // ip232 that shows as unknown escapes instead, which refresh() sees.
  void look_at(std::uint64_t from, std::span<const std::uint8_t> bytes);

  // "connected to HOST:PORT for 12.3 s (sent 5, received 7)" or "not
  // connected for 5.2 s: REASON".
  std::string status(Clock::time_point now) const;

  bool connected() const { return status_.connected; }
  std::uint64_t connections() const { return status_.connections; }
  // Whether an attempt to connect has ended, either way (each ends within
  // the extension's own time limits).
  bool attempt_ended() const {
    return status_.connections > 0 || !status_.status_text.empty();
  }
  // Connections whose close has been given out.
  std::uint64_t closes_told() const { return closes_told_; }
  // Why there is no connection: the device's last connect error, or that
  // no attempt has ended yet.
  std::string reason() const;
  // Since when there has been no connection (meaningless while connected).
  Clock::time_point down_since() const { return down_since_; }
  bool held_by_rts() const { return status_.held_by_rts; }

 private:
  void add(std::uint64_t offset, std::string text);
  void telnet_seen(std::uint64_t offset);

  const ConnectionStatusSource& source_;
  ConnectionStatus status_;
  std::string target_;
  std::deque<Line> lines_;
  std::uint64_t opens_told_ = 0;   // newest connection whose line was made
  std::uint64_t closes_told_ = 0;  // newest one whose close line was made
  std::string failure_told_;       // the connect error last told
  std::uint64_t escapes_seen_ = 0;
  bool telnet_told_ = false;
  // The start of the newest connection's data while its first two bytes
  // have not been looked at, and the first of them when one has.
  std::optional<std::uint64_t> probe_from_;
  std::optional<std::uint8_t> probe_first_;
  Clock::time_point down_since_;
};

}  // namespace quorvex::host

#endif  // QUORVEX_HOST_CONNECTION_REPORT_H_
