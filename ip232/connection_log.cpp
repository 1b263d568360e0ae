#include "ip232/connection_log.h"

namespace quorvex::ip232 {

void ConnectionLog::opened(std::uint64_t number, std::uint64_t received_offset,
                           Clock::time_point now) {
  if (recent_.size() == ConnectionStatusSource::kRecentConnections) {
    recent_.pop_front();
  }
  Entry entry{ConnectionRecord{}, now};
  entry.record.number = number;
  entry.record.open = true;
  entry.record.received_from = received_offset;
  entry.record.received_to = received_offset;
  recent_.push_back(entry);
  status_text_.clear();
}

void ConnectionLog::closed(std::uint64_t number, std::uint64_t received_offset,
                           Clock::time_point now) {
  Entry* const entry = find(number);
  if (entry == nullptr || !entry->record.open) return;
  entry->record.open = false;
  entry->record.duration = now - entry->started;
  entry->record.received_to = received_offset;
}

void ConnectionLog::sent(std::uint64_t number, std::uint64_t count) {
  if (Entry* const entry = find(number)) entry->record.bytes_sent += count;
}

void ConnectionLog::received(std::uint64_t number, std::uint64_t count) {
  if (Entry* const entry = find(number)) entry->record.bytes_received += count;
}

void ConnectionLog::fill(ConnectionStatus& status, Clock::time_point now) const {
  // Connections are numbered from 1 in the order made.
  status.connections = recent_.empty() ? 0 : recent_.back().record.number;
  status.status_text = status_text_;
  status.unknown_escapes = unknown_escapes_;
  status.recent.clear();
  status.recent.reserve(recent_.size());
  for (const Entry& entry : recent_) {
    status.recent.push_back(entry.record);
    if (entry.record.open) status.recent.back().duration = now - entry.started;
  }
}

ConnectionLog::Entry* ConnectionLog::find(std::uint64_t number) {
  // The connection asked for is nearly always the newest.
  for (auto it = recent_.rbegin(); it != recent_.rend(); ++it) {
    if (it->record.number == number) return &*it;
  }
  return nullptr;
}

}  // namespace quorvex::ip232
