// ConnectionLog: what the endpoint tells of its connections through the
// ConnectionStatusSource face (api/connection_status.h): the latest
// connections with their figures, the status text and the count of unknown
// escapes. A plain value type; its owner serialises use.

#ifndef QUORVEX_IP232_CONNECTION_LOG_H_
#define QUORVEX_IP232_CONNECTION_LOG_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "api/connection_status.h"

namespace quorvex::ip232 {

class ConnectionLog {
 public:
  using Clock = std::chrono::steady_clock;

  // Connection `number` (one more than the last) was published at `now`;
  // its first data byte will be at `received_offset` of the received
  // stream.
  void opened(std::uint64_t number, std::uint64_t received_offset,
              Clock::time_point now);
  // Connection `number` carries no more data; its last byte was just
  // before `received_offset`. Nothing for a number not open.
  void closed(std::uint64_t number, std::uint64_t received_offset,
              Clock::time_point now);
  // Coded bytes that went out on, or came in from, connection `number`.
  void sent(std::uint64_t number, std::uint64_t count);
  void received(std::uint64_t number, std::uint64_t count);
  void unknown_escapes(std::uint64_t count) { unknown_escapes_ += count; }
  void set_status(std::string_view text) { status_text_.assign(text); }
  const std::string& status_text() const { return status_text_; }

  // The log's part of the status, the durations of open connections
  // measured to `now`.
  void fill(ConnectionStatus& status, Clock::time_point now) const;

 private:
  struct Entry {
    ConnectionRecord record;
    Clock::time_point started;
  };
  Entry* find(std::uint64_t number);

  std::deque<Entry> recent_;  // at most kRecentConnections, oldest first
  std::uint64_t unknown_escapes_ = 0;
  std::string status_text_;  // empty after a connect
};

}  // namespace quorvex::ip232

#endif  // QUORVEX_IP232_CONNECTION_LOG_H_
