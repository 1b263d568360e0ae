// The plain blocking sockets of tools/net (on net's socket primitives),
// against real loopback connections.

#include "tools/net/tcp_stream.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace quorvex::net {
namespace {

constexpr int kWaitMs = 5000;

struct Pair {
  TcpListener listener;
  TcpStream client;
  TcpStream server;
};

// A listener on `address`, one client connected to it and the accepted
// side; nothing when `address` cannot be listened on here.
std::optional<Pair> connected_pair(const std::string& address) {
  std::string error;
  std::optional<TcpListener> listener = TcpListener::open(address, 0, 4, error);
  if (!listener) return std::nullopt;
  std::optional<TcpStream> client =
      TcpStream::connect(address, listener->port(), error, kWaitMs);
  EXPECT_TRUE(client) << error;
  if (!client) return std::nullopt;
  std::optional<TcpStream> server = listener->accept(kWaitMs);
  EXPECT_TRUE(server);
  if (!server) return std::nullopt;
  return Pair{std::move(*listener), std::move(*client), std::move(*server)};
}

TEST(TcpStream, CarriesBytesBothWaysOnEitherFamily) {
  for (const char* address : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(address);
    std::optional<Pair> pair = connected_pair(address);
    if (!pair) {
      ASSERT_STREQ(address, "::1") << "no IPv4 loopback";
      continue;  // no IPv6 loopback on this machine
    }
    EXPECT_NE(pair->listener.port(), 0);
    const std::array<std::uint8_t, 3> out{0x00, 0xFF, 0x41};
    ASSERT_TRUE(pair->client.send_all(out));
    std::array<std::uint8_t, 8> in{};
    std::size_t got = 0;
    while (got < out.size()) {
      const ReceiveResult r =
          pair->server.receive(std::span(in).subspan(got), kWaitMs);
      ASSERT_TRUE(r.count > 0 && !r.error && !r.timed_out);
      got += r.count;
    }
    EXPECT_EQ(in[0], 0x00);
    EXPECT_EQ(in[1], 0xFF);
    EXPECT_EQ(in[2], 0x41);
    ASSERT_TRUE(pair->server.send_all(std::span(in).first(1)));
    const ReceiveResult back = pair->client.receive(std::span(in).subspan(4, 1), kWaitMs);
    EXPECT_EQ(back.count, 1u);
  }
}

// How the far end sees each way of ending a stream.
TEST(TcpStream, EachEndingShowsAsItShouldOnTheFarSide) {
  enum class Ending { kClose, kReset, kShutdownSend };
  struct Case {
    Ending ending;
    // An error, else an orderly end of stream; absent: either (a reset is an
    // error on Linux, and under Wine the end of stream).
    std::optional<bool> error;
  };
  const Case cases[] = {
      {Ending::kClose, false},
      {Ending::kReset, std::nullopt},
      {Ending::kShutdownSend, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.ending));
    std::optional<Pair> pair = connected_pair("127.0.0.1");
    ASSERT_TRUE(pair);
    switch (c.ending) {
      case Ending::kClose: pair->client.close(); break;
      case Ending::kReset: pair->client.reset(); break;
      case Ending::kShutdownSend: pair->client.shutdown_send(); break;
    }
    std::array<std::uint8_t, 4> in{};
    const ReceiveResult r = pair->server.receive(in, kWaitMs);
    EXPECT_FALSE(r.timed_out);
    if (c.error) {
      EXPECT_EQ(r.error, *c.error);
    }
    EXPECT_EQ(r.count, 0u);
    if (c.ending == Ending::kShutdownSend) {
      // Only the sending direction ended: the client still receives.
      const std::array<std::uint8_t, 1> out{0x7E};
      ASSERT_TRUE(pair->server.send_all(out));
      const ReceiveResult back = pair->client.receive(in, kWaitMs);
      EXPECT_EQ(back.count, 1u);
      EXPECT_EQ(in[0], 0x7E);
    }
  }
}

TEST(TcpStream, NothingArrivingIsATimeOutNotAnEnd) {
  std::optional<Pair> pair = connected_pair("127.0.0.1");
  ASSERT_TRUE(pair);
  std::array<std::uint8_t, 4> in{};
  const ReceiveResult r = pair->server.receive(in, 10);
  EXPECT_TRUE(r.timed_out);
  EXPECT_FALSE(r.error);
}

// Failures name the address and give the system's reason on one line.
TEST(TcpStream, FailuresNameTheAddressAndOneLineReason) {
  std::string error;
  std::optional<TcpListener> taken = TcpListener::open("127.0.0.1", 0, 4, error);
  ASSERT_TRUE(taken) << error;
  const std::uint16_t port = taken->port();
  const std::string where = "127.0.0.1:" + std::to_string(port) + ": ";

  std::string listen_error;
  EXPECT_FALSE(TcpListener::open("127.0.0.1", port, 4, listen_error));
  taken->close();
  std::string connect_error;
  EXPECT_FALSE(TcpStream::connect("127.0.0.1", port, connect_error, kWaitMs));

  const struct {
    const std::string& text;
    std::string prefix;
  } cases[] = {
      {listen_error, "cannot listen on " + where},
      {connect_error, "cannot connect to " + where},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(c.text.rfind(c.prefix, 0), 0u);
    const std::string reason = c.text.substr(c.prefix.size());
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(reason.back(), '.');
  }
}

}  // namespace
}  // namespace quorvex::net
