#include "host/connection_report.h"

#include <utility>

#include "host/term_console.h"
#include "sys/error_text.h"

namespace quorvex::host {
namespace {

constexpr std::uint8_t kTelnetCommand = 0xFF;      // IAC
constexpr std::uint8_t kTelnetFirstOption = 0xFB;  // WILL; then WONT, DO, DONT
constexpr std::uint8_t kTelnetLastOption = 0xFE;

// The extension's status text as one line: the system's part of it may
// end in a period and a line break (Windows' texts do).
std::string one_line(const std::string& text) { return sys::error_text(text, 0); }

std::string figures_text(const ConnectionRecord& record) {
  return "(sent " + std::to_string(record.bytes_sent) + ", received " +
         std::to_string(record.bytes_received) + ")";
}

}  // namespace

std::string target_text(const std::string& host, std::uint16_t port) {
  const std::string number = std::to_string(port);
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + number;
  return host + ":" + number;
}

ConnectionReport::ConnectionReport(const ConnectionStatusSource& source)
    : source_(source), down_since_(Clock::now()) {
  const ConnectionStatus first = source.connection_status();
  target_ = target_text(first.host, first.port);
  status_.held_by_rts = first.held_by_rts;
}

void ConnectionReport::refresh(std::uint64_t shown, Clock::time_point now) {
  const bool was_connected = status_.connected;
  const std::uint64_t closes_before = closes_told_;
  status_ = source_.connection_status();
  const std::uint64_t first_kept =
      status_.recent.empty() ? status_.connections + 1 : status_.recent.front().number;
  if (first_kept > opens_told_ + 1) {
    // More came and went between two looks than the device remembers.
    const std::uint64_t missed = first_kept - opens_told_ - 1;
    add(shown, std::to_string(missed) + " earlier connection" +
                   (missed == 1 ? "" : "s") + " came and went unseen");
    opens_told_ = closes_told_ = first_kept - 1;
  }
  for (const ConnectionRecord& record : status_.recent) {
    if (record.number > opens_told_) {
      add(record.received_from, "connected to " + target_);
      opens_told_ = record.number;
      probe_from_ = record.received_from;
      probe_first_.reset();
    }
    if (!record.open && record.number > closes_told_) {
      add(record.received_to, "connection closed after " +
                                  seconds_text(record.duration) + " " +
                                  figures_text(record));
      closes_told_ = record.number;
    }
  }
  if (closes_told_ > closes_before || (was_connected && !status_.connected)) {
    down_since_ = now;
  }
  if (status_.connected || status_.status_text.empty()) {
    failure_told_.clear();
  } else if (status_.status_text != failure_told_) {
    failure_told_ = status_.status_text;
    add(shown, "not connected: " + one_line(failure_told_) + " (retrying)");
  }
  if (status_.unknown_escapes > escapes_seen_) {
    escapes_seen_ = status_.unknown_escapes;
    telnet_seen(shown);
  }
}

std::optional<ConnectionReport::Line> ConnectionReport::take_line(
    std::uint64_t offset) {
  if (lines_.empty() || lines_.front().offset > offset) return std::nullopt;
  Line line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

void ConnectionReport::look_at(std::uint64_t from,
                               std::span<const std::uint8_t> bytes) {
  if (!probe_from_) return;
  const std::uint64_t end = from + bytes.size();
  for (std::uint64_t at = *probe_from_ + (probe_first_ ? 1 : 0); at < end && probe_from_;
       ++at) {
    if (at < from) continue;
    const std::uint8_t byte = bytes[at - from];
    if (!probe_first_) {
      if (byte != kTelnetCommand) probe_from_.reset();
      else probe_first_ = byte;
      continue;
    }
    if (byte >= kTelnetFirstOption && byte <= kTelnetLastOption) telnet_seen(at + 1);
    probe_from_.reset();
  }
}

void ConnectionReport::telnet_seen(std::uint64_t offset) {
  if (telnet_told_) return;
  telnet_told_ = true;
  add(offset, "the server negotiates telnet, which the extension does not "
              "speak: offer the port raw (see \"Which mode for which "
              "server\" in the README)");
}

void ConnectionReport::add(std::uint64_t offset, std::string text) {
  lines_.push_back({offset, std::move(text)});
}

std::string ConnectionReport::status(Clock::time_point now) const {
  if (status_.connected && !status_.recent.empty()) {
    const ConnectionRecord& record = status_.recent.back();
    return "connected to " + target_ + " for " + seconds_text(record.duration) +
           " " + figures_text(record);
  }
  return "not connected for " + seconds_text(now - down_since_) + ": " + reason();
}

std::string ConnectionReport::reason() const {
  if (!status_.status_text.empty()) return one_line(status_.status_text);
  return "no attempt to connect to " + target_ + " has ended yet";
}

}  // namespace quorvex::host
