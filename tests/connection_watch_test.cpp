// ip232-term's watch on its own process's TCP connection, against real
// loopback servers: the connections are this test process's own.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/connection_report.h"
#include "host/connection_watch.h"
#include "support/bridge_line.h"
#include "support/loopback_server.h"
#include "tools/net/tcp_stream.h"

namespace quorvex::host {
namespace {

using Kind = ConnectionEvent::Kind;
using namespace std::chrono_literals;

// Quick looks, so that the tests wait little; "nothing answers" only when
// a case asks for it.
ConnectionWatch::Timing quick(std::chrono::milliseconds no_answer_after) {
  ConnectionWatch::Timing timing;
  timing.scan_unconnected = 20ms;
  timing.scan_connected = 20ms;
  timing.no_answer_after = no_answer_after;
  return timing;
}

// Gathers a watch's events as they come.
class Events {
 public:
  std::function<void()> waker() {
    return [this] {
      std::lock_guard<std::mutex> hold(lock_);
      ++wakes_;
      changed_.notify_all();
    };
  }
  // Waits until `count` events have come in all; returns them all.
  std::vector<ConnectionEvent> wait(ConnectionWatch& watch, std::size_t count) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(test::kPatientWaitMs * 4);
    for (;;) {
      for (ConnectionEvent& event : watch.take_events()) {
        seen_.push_back(std::move(event));
      }
      if (seen_.size() >= count) return seen_;
      std::unique_lock<std::mutex> hold(lock_);
      if (!changed_.wait_until(hold, deadline, [&] { return wakes_ > taken_; })) {
        return seen_;
      }
      taken_ = wakes_;
    }
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int wakes_ = 0;  // guarded by lock_
  int taken_ = 0;
  std::vector<ConnectionEvent> seen_;
};

std::vector<Kind> kinds(const std::vector<ConnectionEvent>& events) {
  std::vector<Kind> out;
  for (const ConnectionEvent& event : events) out.push_back(event.kind);
  return out;
}

TEST(ConnectionWatch, SeesItsProcessConnectAndEitherEndClose) {
  test::LoopbackServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  Events events;
  ConnectionWatch watch(test::kLoopbackIpv4, server.port(), events.waker(),
                        quick(1h));
  std::string error;
  std::optional<net::TcpStream> first =
      net::TcpStream::connect(test::kLoopbackIpv4, server.port(), error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(kinds(events.wait(watch, 1)), std::vector<Kind>{Kind::kConnected});
  // The server ends it: the far end has closed.
  std::optional<net::TcpStream> accepted = server.take_connection();
  ASSERT_TRUE(accepted);
  accepted->close();
  EXPECT_EQ(kinds(events.wait(watch, 2)),
            (std::vector<Kind>{Kind::kConnected, Kind::kClosed}));
  first->close();
  // A second connection, ended by this side.
  std::optional<net::TcpStream> second =
      net::TcpStream::connect(test::kLoopbackIpv4, server.port(), error);
  ASSERT_TRUE(second) << error;
  EXPECT_EQ(kinds(events.wait(watch, 3)).back(), Kind::kConnected);
  second->close();
  EXPECT_EQ(kinds(events.wait(watch, 4)),
            (std::vector<Kind>{Kind::kConnected, Kind::kClosed,
                               Kind::kConnected, Kind::kClosed}));
}

TEST(ConnectionWatch, SaysWhyThereIsNoConnection) {
  const std::uint16_t unused_port = test::refused_port();
  struct Case {
    std::string host;
    std::uint16_t port;
    Kind expected;
  };
  const Case cases[] = {
      {test::kLoopbackIpv4, unused_port, Kind::kNoAnswer},
      {"nosuch..invalid", 23, Kind::kUnresolved},
  };
  for (const Case& c : cases) {
    Events events;
    ConnectionWatch watch(c.host, c.port, events.waker(), quick(50ms));
    const std::vector<ConnectionEvent> seen = events.wait(watch, 1);
    ASSERT_FALSE(seen.empty()) << c.host;
    EXPECT_EQ(seen[0].kind, c.expected) << c.host;
    EXPECT_EQ(seen[0].reason.empty(), c.expected != Kind::kUnresolved)
        << c.host << ": " << seen[0].reason;
  }
}

TEST(ConnectionTarget, FollowsTheExtensionsOptionRules) {
  using Options = std::vector<std::pair<std::string, std::string>>;
  const std::pair<Options, std::optional<std::string>> cases[] = {
      {{}, "localhost:25232"},
      {{{"url", "tcp://[::1]:23"}}, "[::1]:23"},
      {{{"url", ""}, {"host", "h"}, {"port", "24"}, {"port", "2323"}},
       "h:2323"},
      {{{"port", "0"}}, std::nullopt},
      {{{"url", "h"}}, std::nullopt},
  };
  for (const auto& [options, expected] : cases) {
    const std::optional<ConnectionTarget> target = connection_target(options);
    EXPECT_EQ(target ? std::optional<std::string>(target_text(*target))
                     : std::nullopt,
              expected);
  }
}

TEST(ConnectionReport, CountsEachConnectionsOwnBytes) {
  const auto start = std::chrono::steady_clock::now();
  ConnectionReport report({"h", 23}, start);
  EXPECT_EQ(report.take({Kind::kNoAnswer, start + 2s, {}}, 0, 0),
            "not connected: nothing answers at h:23 (retrying every 0.5 s)");
  EXPECT_EQ(report.take({Kind::kConnected, start + 3s, {}}, 0, 0),
            "connected to h:23");
  EXPECT_EQ(report.take({Kind::kClosed, start + 15390ms, {}}, 5, 7),
            "connection closed after 12.3 s (sent 5, received 7)");
  report.take({Kind::kConnected, start + 16s, {}}, 5, 7);
  EXPECT_EQ(report.take({Kind::kClosed, start + 17s, {}}, 8, 7),
            "connection closed after 1.0 s (sent 3, received 0)");
  EXPECT_EQ(report.status(start + 22200ms), "not connected for 5.2 s");
  EXPECT_EQ(report.take({Kind::kUnresolved, start + 23s, "no such name"}, 8, 7),
            "not connected: cannot resolve h: no such name (retrying every "
            "0.5 s)");
  EXPECT_TRUE(report.ever_connected());
  EXPECT_FALSE(report.connected());
}

}  // namespace
}  // namespace quorvex::host
