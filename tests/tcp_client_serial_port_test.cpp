#include "net/tcp_client_serial_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/socket_ops.h"
#include "tools/net/tcp_stream.h"
#include "tests/support/loopback_server.h"
#include "tests/support/unanswered_listener.h"

namespace {

using quorvex::net::TcpClientSerialPort;
using quorvex::net::TcpStream;
using quorvex::serial::ReadResult;
using quorvex::serial::WriteResult;
using quorvex::test::kLoopbackIpv4;
using quorvex::test::kLoopbackIpv6;
using quorvex::test::kPatientWaitMs;
using quorvex::test::LoopbackServer;
using quorvex::test::Clock;
using quorvex::test::ms_since;

constexpr std::chrono::milliseconds kConnectTimeout{5000};

std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

std::string endpoint(const std::string& host, std::uint16_t port) {
  return host + ":" + std::to_string(port);
}

void expect_read(const ReadResult& result, std::size_t count, bool would_block,
                 bool closed) {
  EXPECT_EQ(result.count, count);
  EXPECT_EQ(result.would_block, would_block);
  EXPECT_EQ(result.closed, closed);
}

void expect_write(const WriteResult& result, std::size_t count, bool failed) {
  EXPECT_EQ(result.count, count);
  EXPECT_EQ(result.failed, failed);
}

// A port that never connected or has ended answers at once and stays so.
void expect_ended(TcpClientSerialPort& port) {
  std::uint8_t buffer[16];
  const std::uint8_t data[] = {1, 2, 3};
  EXPECT_FALSE(port.is_open());
  expect_read(port.read(buffer), 0, false, true);
  expect_write(port.write(data), 0, true);
  port.shutdown();  // harmless in any state
  EXPECT_FALSE(port.is_open());
}

// Reads until `count` bytes have arrived or the port reports anything but
// data or would-block.
std::vector<std::uint8_t> read_bytes(TcpClientSerialPort& port, std::size_t count) {
  const Clock::time_point start = Clock::now();
  std::vector<std::uint8_t> received;
  std::uint8_t buffer[256];
  while (received.size() < count && ms_since(start) < kPatientWaitMs) {
    const ReadResult result = port.read(buffer);
    if (result.closed) break;
    received.insert(received.end(), buffer, buffer + result.count);
  }
  return received;
}

// Reads until the port reports something other than would-block.
ReadResult read_until_not_blocked(TcpClientSerialPort& port) {
  const Clock::time_point start = Clock::now();
  std::uint8_t buffer[256];
  ReadResult result;
  do {
    result = port.read(buffer);
  } while (result.would_block && ms_since(start) < kPatientWaitMs);
  return result;
}

TEST(TcpClientSerialPort, UnresolvableHostNamesHostAndDecimalPort) {
  // An empty label: the resolver refuses the name without asking the
  // network.
  const std::string host = "no-such-host..invalid";
  for (const std::uint16_t port_number : {0, 9, 2323, 65535}) {
    SCOPED_TRACE(port_number);
    TcpClientSerialPort port(host, port_number, kConnectTimeout);
    const std::string prefix = "cannot resolve " + endpoint(host, port_number) + ": ";
    const std::string error(port.last_error());
    EXPECT_EQ(error.substr(0, prefix.size()), prefix);
    EXPECT_GT(error.size(), prefix.size()) << "no system text after the prefix";
    expect_ended(port);
  }
}

// A name whose first addresses refuse and whose last one accepts: the port
// tries them in order and connects to the last.
TEST(TcpClientSerialPort, FallsBackToLaterAddressOfName) {
  // A name with several addresses needs a hosts file of the test's own:
  // tests/with_hosts_file.sh gives ip232-multi.test 127.0.0.2 to 127.0.0.6
  // and names it here. Only the last address listens; the others refuse.
  const char* host = std::getenv("IP232_MULTI_ADDRESS_HOST");
  if (host == nullptr || *host == '\0') {
    GTEST_SKIP() << "needs a name with several addresses: run through "
                    "tests/with_hosts_file.sh (Linux, root)";
  }
  LoopbackServer server({.address = "127.0.0.6"});
  ASSERT_TRUE(server.ok()) << server.error();
  TcpClientSerialPort port(host, server.port(), kConnectTimeout);
  EXPECT_TRUE(port.is_open()) << port.last_error();
  EXPECT_EQ(port.last_error(), "");
  EXPECT_TRUE(server.take_connection().has_value());
}

// The cases below run on 127.0.0.1 and on ::1 (skipped where ::1 cannot be
// bound).
class TcpClientSerialPortOnLoopback : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!quorvex::test::can_listen_on(address())) {
      GTEST_SKIP() << "cannot listen on " << address();
    }
  }

  std::string address() const { return GetParam(); }

  // Starts a server, connects a port to it and takes the server's side.
  void connect(LoopbackServer::Options options = {}) {
    options.address = address();
    server_.emplace(options);
    ASSERT_TRUE(server_->ok()) << server_->error();
    port_.emplace(address(), server_->port(), kConnectTimeout);
    ASSERT_TRUE(port_->is_open()) << port_->last_error();
    EXPECT_EQ(port_->last_error(), "");
    peer_ = server_->take_connection();
    ASSERT_TRUE(peer_.has_value());
  }

  std::optional<LoopbackServer> server_;
  std::optional<TcpClientSerialPort> port_;
  std::optional<TcpStream> peer_;
};

INSTANTIATE_TEST_SUITE_P(Families, TcpClientSerialPortOnLoopback,
                         ::testing::Values(kLoopbackIpv4, kLoopbackIpv6),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == kLoopbackIpv4 ? "Ipv4"
                                                                           : "Ipv6";
                         });

TEST_P(TcpClientSerialPortOnLoopback, RefusedPortFailsAtOnceWithReason) {
  const std::uint16_t closed = quorvex::test::refused_port(address());
  // A refusal must not cost the connect timeout, however long it is.
  constexpr std::chrono::milliseconds kLongTimeout{10000};
  const Clock::time_point start = Clock::now();
  TcpClientSerialPort port(address(), closed, kLongTimeout);
  EXPECT_LT(ms_since(start), 3000);

  // The IPv6 host appears without brackets.
  const std::string prefix = "cannot connect to " + endpoint(address(), closed) + ": ";
  const std::string error(port.last_error());
  EXPECT_EQ(error.substr(0, prefix.size()), prefix);
  EXPECT_GT(error.size(), prefix.size()) << "no reason after the prefix";
  EXPECT_EQ(error.find("timed out"), std::string::npos) << error;
  expect_ended(port);
}

TEST_P(TcpClientSerialPortOnLoopback, UnansweredAddressTimesOut) {
  const quorvex::test::UnansweredListener listener(address());
  if (!listener.ok()) GTEST_SKIP() << listener.reason();

  constexpr std::int64_t kShortTimeoutMs = 300;
  const Clock::time_point start = Clock::now();
  TcpClientSerialPort port(address(), listener.port(),
                           std::chrono::milliseconds(kShortTimeoutMs));
  const std::int64_t elapsed_ms = ms_since(start);
  EXPECT_EQ(port.last_error(), "cannot connect to " +
                                   endpoint(address(), listener.port()) +
                                   ": connection timed out");
  EXPECT_GE(elapsed_ms, kShortTimeoutMs - 20);
  EXPECT_LT(elapsed_ms, kPatientWaitMs);
  expect_ended(port);
}

TEST_P(TcpClientSerialPortOnLoopback, CarriesBytesBothWays) {
  ASSERT_NO_FATAL_FAILURE(connect());
  // Nothing there yet: the read waits only briefly and the port stays open.
  std::uint8_t buffer[256];
  const Clock::time_point start = Clock::now();
  expect_read(port_->read(buffer), 0, true, false);
  EXPECT_LT(ms_since(start), 2000) << "the read wait is short";
  EXPECT_TRUE(port_->is_open());

  const std::vector<std::uint8_t> sent = bytes_of(std::string_view("hello\xff\x00world", 12));
  ASSERT_TRUE(peer_->send_all(sent));
  EXPECT_EQ(read_bytes(*port_, sent.size()), sent);
  // A small write goes out whole.
  const std::vector<std::uint8_t> data = bytes_of("ATDT\r");
  expect_write(port_->write(data), data.size(), false);
  EXPECT_EQ(quorvex::test::receive_bytes(*peer_, data.size()), data);
  EXPECT_TRUE(port_->is_open());
}

TEST_P(TcpClientSerialPortOnLoopback, PeerEndingConnectionClosesPort) {
  struct Ending {
    const char* name;
    void (*end)(TcpStream&);
  };
  const Ending endings[] = {
      {"orderly close", [](TcpStream& peer) { peer.close(); }},
      {"end of sending", [](TcpStream& peer) { peer.shutdown_send(); }},
      {"reset", [](TcpStream& peer) { peer.reset(); }},
  };
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.name);
    ASSERT_NO_FATAL_FAILURE(connect());
    ending.end(*peer_);
    expect_read(read_until_not_blocked(*port_), 0, false, true);
    expect_ended(*port_);
  }
}

TEST_P(TcpClientSerialPortOnLoopback, WriteToPeerThatNeverReadsAnswersZeroAndStaysOpen) {
  ASSERT_NO_FATAL_FAILURE(connect({.receive_buffer_bytes = 4096}));
  const std::vector<std::uint8_t> chunk(64 * 1024, 0x55);
  const Clock::time_point start = Clock::now();
  std::int64_t longest_write_ms = 0;
  WriteResult result{1, false};
  while (result.count > 0 && !result.failed && ms_since(start) < 2 * kPatientWaitMs) {
    const Clock::time_point before = Clock::now();
    result = port_->write(chunk);
    longest_write_ms = std::max(longest_write_ms, ms_since(before));
  }
  expect_write(result, 0, false);
  EXPECT_LT(longest_write_ms, 1000) << "a write must not wait for the peer";
  EXPECT_TRUE(port_->is_open());
}

TEST_P(TcpClientSerialPortOnLoopback, ShutdownWakesBlockedReadAndEndsPort) {
  ASSERT_NO_FATAL_FAILURE(connect());
  ReadResult outcome;
  std::atomic<bool> read_done{false};
  std::thread reader([&] {
    outcome = read_until_not_blocked(*port_);
    read_done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port_->shutdown();
  const bool returned = quorvex::test::wait_until([&] { return read_done.load(); });
  reader.join();
  ASSERT_TRUE(returned);
  expect_read(outcome, 0, false, true);
  expect_ended(*port_);
  EXPECT_TRUE(quorvex::test::wait_for_end(*peer_)) << "the peer sees the end";
}

TEST_P(TcpClientSerialPortOnLoopback, ReadWriteAndShutdownMayRace) {
  ASSERT_NO_FATAL_FAILURE(connect());
  std::thread reader([&] {
    std::uint8_t buffer[256];
    while (!port_->read(buffer).closed) {
    }
  });
  std::thread writer([&] {
    const std::vector<std::uint8_t> data = bytes_of("ping");
    while (!port_->write(data).failed) std::this_thread::yield();
  });
  std::thread drain([&] { quorvex::test::wait_for_end(*peer_); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::thread second_shutdown([&] { port_->shutdown(); });
  port_->shutdown();
  second_shutdown.join();
  reader.join();
  writer.join();
  drain.join();
  expect_ended(*port_);
}

TEST_P(TcpClientSerialPortOnLoopback, DestructionClosesConnection) {
  ASSERT_NO_FATAL_FAILURE(connect());
  port_.reset();
  EXPECT_TRUE(quorvex::test::wait_for_end(*peer_));
}

}  // namespace
