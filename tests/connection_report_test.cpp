// ip232-term's report of the extension's connection, fed by a status face
// whose answers the test sets: which lines come, and where among the
// received bytes each one is due.

#include "host/connection_report.h"
#include "host/term_console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace quorvex::host {
namespace {

using namespace std::chrono_literals;

class SetStatus : public ConnectionStatusSource {
 public:
  SetStatus() {
    status.host = "::1";
    status.port = 23;
  }
  ConnectionStatus connection_status() const override { return status; }
  ConnectionStatus status;
};

ConnectionRecord record(std::uint64_t number, bool open, std::uint64_t from,
                        std::uint64_t to) {
  ConnectionRecord r;
  r.number = number;
  r.open = open;
  r.duration = 1500ms;
  r.bytes_sent = 2;
  r.bytes_received = to - from;
  r.received_from = from;
  r.received_to = to;
  return r;
}

// Every line due by `offset`, each as "OFFSET TEXT".
std::vector<std::string> due(ConnectionReport& report, std::uint64_t offset) {
  std::vector<std::string> lines;
  while (auto line = report.take_line(offset)) {
    lines.push_back(std::to_string(line->offset) + " " + line->text);
  }
  return lines;
}

TEST(ConnectionReport, PlacesEachConnectionAmongTheReceivedBytes) {
  SetStatus source;
  ConnectionReport report(source);
  const auto now = ConnectionReport::Clock::now();
  // Two connections came and went between two looks, the second still
  // finishing; the machine has taken 3 of the 10 bytes so far.
  source.status.connections = 2;
  source.status.recent = {record(1, false, 0, 4), record(2, true, 4, 10)};
  report.refresh(3, now);
  EXPECT_EQ(due(report, 3), (std::vector<std::string>{"0 connected to [::1]:23"}));
  EXPECT_EQ(due(report, 4),
            (std::vector<std::string>{
                "4 connection closed after 1.5 s (sent 2, received 4)",
                "4 connected to [::1]:23"}));
  // The same answer again tells nothing new.
  report.refresh(10, now);
  EXPECT_TRUE(due(report, 10).empty());
  // A failure told once however often it repeats, in one line; a new
  // reason is told again.
  source.status.recent = {record(1, false, 0, 4), record(2, false, 4, 10)};
  source.status.status_text = "cannot connect to [::1]:23: Connection refused.\r\n";
  report.refresh(10, now);
  report.refresh(10, now);
  source.status.status_text = "cannot resolve h:23: no such name";
  report.refresh(10, now);
  EXPECT_EQ(due(report, 10),
            (std::vector<std::string>{
                "10 connection closed after 1.5 s (sent 2, received 6)",
                "10 not connected: cannot connect to [::1]:23: Connection refused (retrying)",
                "10 not connected: cannot resolve h:23: no such name (retrying)"}));
  EXPECT_EQ(report.closes_told(), 2u);
}

TEST(ConnectionReport, SaysWhenConnectionsWentUnseen) {
  SetStatus source;
  ConnectionReport report(source);
  source.status.connections = 40;
  source.status.recent = {record(39, false, 7, 7), record(40, true, 7, 7)};
  report.refresh(7, ConnectionReport::Clock::now());
  const std::vector<std::string> lines = due(report, 7);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "7 38 earlier connections came and went unseen");
  EXPECT_EQ(lines[1], "7 connected to [::1]:23");
}

TEST(ConnectionReport, NamesTelnetOnceFromBytesOrEscapes) {
  struct Case {
    std::vector<std::uint8_t> first_bytes;  // at the connection's start
    std::uint64_t unknown_escapes;
    bool named;
  };
  const Case cases[] = {
      {{0xFF, 0xFB, 0x01}, 0, true},   // IAC WILL ECHO, in mode raw
      {{0xFF, 0xFE, 0x01}, 0, true},   // IAC DONT
      {{0xFF, 0xFF}, 0, false},        // a data 0xFF
      {{'l', 0xFF, 0xFB}, 0, false},   // not at the start
      {{0x01, 0x03}, 1, true},         // mode ip232: the escape was dropped
  };
  for (const Case& c : cases) {
    SetStatus source;
    ConnectionReport report(source);
    source.status.connections = 1;
    source.status.unknown_escapes = c.unknown_escapes;
    source.status.recent = {record(1, true, 0, 0)};
    report.refresh(0, ConnectionReport::Clock::now());
    // The bytes come in two parts: the check spans them.
    report.look_at(0, std::span(c.first_bytes).first(1));
    report.look_at(1, std::span(c.first_bytes).subspan(1));
    report.look_at(0, std::span(c.first_bytes));  // seen again: no second line
    int telnet = 0;
    for (const std::string& line : due(report, 100)) {
      telnet += line.find("negotiates telnet") != std::string::npos;
    }
    EXPECT_EQ(telnet, c.named ? 1 : 0) << int(c.first_bytes[0]) << " " << int(c.first_bytes[1]);
  }
}

}  // namespace
}  // namespace quorvex::host

namespace quorvex::host {
namespace {

// On a raw terminal a message starts at the left edge of a fresh line,
// whatever the received bytes left: a bare LF moves down only, a CR moves
// back only.
TEST(ConsoleLineStart, StartsMessagesAtTheLeftEdge) {
  struct Case {
    std::string received;
    bool raw;
    std::string start;
  };
  const Case cases[] = {
      {"", true, ""},           {"ok\r\n", true, ""},  {"ok\n\r", true, ""},
      {"ok\n", true, "\r"},     {"ok", true, "\r\n"},  {"ok\r", true, "\r\n"},
      {"ok", false, ""},
  };
  for (const Case& c : cases) {
    Console console;
    console.set_raw(c.raw);
    const std::vector<std::uint8_t> bytes(c.received.begin(), c.received.end());
    console.output_written(bytes);
    EXPECT_EQ(console.line_start(), c.start) << c.received << " raw " << c.raw;
    EXPECT_EQ(console.line_start(), "") << "a second message follows a line end";
  }
}

}  // namespace
}  // namespace quorvex::host
