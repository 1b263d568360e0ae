// The endpoint's connector and sender threads against real loopback
// servers: traffic both ways, reconnection, gating by request-to-send,
// flow control of the receive queue, and stopping in every state.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ip232/ip232_serial_endpoint.h"
#include "ip232/line_coding.h"
#include "tools/net/tcp_stream.h"
#include "tests/support/bridge_line.h"
#include "tests/support/loopback_server.h"

namespace quorvex::ip232 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::BridgeLine;
using test::Clock;
using test::host_read;
using test::host_write;
using test::kPatientWaitMs;
using test::make_endpoint;
using test::ms_since;
using test::wait_until;

// Long enough for a reconnection (500 ms back-off) on a slow machine.
constexpr int kReconnectWaitMs = 3 * kPatientWaitMs;

// Everything the peer receives until the endpoint closes the connection.
Bytes receive_until_end(net::TcpStream& stream,
                        int timeout_ms = kPatientWaitMs) {
  const Clock::time_point start = Clock::now();
  Bytes out;
  std::uint8_t buffer[4096];
  for (;;) {
    const int left = timeout_ms - static_cast<int>(ms_since(start));
    if (left <= 0) return out;
    const net::ReceiveResult result = stream.receive(buffer, left);
    if (result.count == 0) return out;
    out.insert(out.end(), buffer, buffer + result.count);
  }
}

// Whether anything arrives within a short while (for "nothing more").
bool receives_more(net::TcpStream& stream) {
  std::uint8_t byte = 0;
  return stream.receive(std::span<std::uint8_t>(&byte, 1), 200).count > 0;
}

// Data with every byte value, 0xFF among them, in an order that a lost or
// repeated stretch would break.
std::uint8_t pattern_byte(std::size_t i) {
  return static_cast<std::uint8_t>(i * 7 + i / 251);
}

Bytes pattern(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = pattern_byte(i);
  return out;
}

std::string describe_mismatch(const Bytes& got, const Bytes& want) {
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return "got " + std::to_string(got.size()) + " bytes, want " +
         std::to_string(want.size()) + ", first difference at " +
         std::to_string(i);
}

TEST(BridgeConnector, CarriesBytesBothWays) {
  struct Case {
    const char* name;
    std::string address;
    bool raw;
    bool handshake;
    Bytes host_out;  // written by the emulated machine once connected
    Bytes wire_out;  // what the peer receives, from the start
    Bytes wire_in;   // what the peer sends
    Bytes host_in;   // what the emulated machine reads
  };
  const Case cases[] = {
      {"ip232 with handshake",
       test::kLoopbackIpv4,
       false,
       true,
       {0x41, 0xFF, 0x00, 0x01},
       {0xFF, 0x01, 0x41, 0xFF, 0xFF, 0x00, 0x01},
       {0x41, 0xFF, 0xFF, 0x42, 0xFF, 0x01, 0x43, 0xFF, 0x00, 0xFF, 0x7E, 0x44},
       {0x41, 0xFF, 0x42, 0x43, 0x44}},
      {"ip232 without handshake",
       test::kLoopbackIpv4,
       false,
       false,
       {0xFF, 0x41},
       {0xFF, 0xFF, 0x41},
       {0xFF, 0xFF, 0xFF, 0x00},
       {0xFF}},
      {"raw",
       test::kLoopbackIpv4,
       true,
       true,
       {0xFF, 0x00, 0x01},
       {0xFF, 0x00, 0x01},
       {0xFF, 0xFF, 0x00, 0xFF, 0x01},
       {0xFF, 0xFF, 0x00, 0xFF, 0x01}},
      {"ip232 over IPv6",
       test::kLoopbackIpv6,
       false,
       true,
       {0xFF},
       {0xFF, 0x01, 0xFF, 0xFF},
       {0xFF, 0xFF, 0x30},
       {0xFF, 0x30}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!test::can_listen_on(c.address)) continue;  // no IPv6 here
    BridgeLine line({.raw = c.raw, .handshake = c.handshake},
                    {.address = c.address});
    Ip232SerialEndpoint& endpoint = *line.endpoint;
    // As on attach: request-to-send asserted (this also lets mode "raw"
    // connect). Without handshake the pairs must never leave.
    endpoint.set_rts(true);
    ASSERT_NO_FATAL_FAILURE(line.connect());
    ASSERT_TRUE(wait_until([&] { return endpoint.ready_for_byte(); }));
    EXPECT_EQ(endpoint.status_text(), "");
    EXPECT_FALSE(endpoint.carrier_detect());  // never reported

    // A break in the middle of the data puts nothing on the line.
    const auto half = c.host_out.begin() + static_cast<std::ptrdiff_t>(c.host_out.size() / 2);
    host_write(endpoint, Bytes(c.host_out.begin(), half));
    endpoint.set_break(true);
    endpoint.set_break(false);
    host_write(endpoint, Bytes(half, c.host_out.end()));
    EXPECT_EQ(test::receive_bytes(*line.peer, c.wire_out.size()), c.wire_out);
    EXPECT_FALSE(receives_more(*line.peer));
    ASSERT_TRUE(line.peer->send_all(c.wire_in));
    EXPECT_EQ(host_read(endpoint, c.host_in.size()), c.host_in);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(endpoint.has_byte());
  }
}

// After the peer closes, the endpoint reconnects; what the emulated
// machine wrote meanwhile goes out on the new connection, which in mode
// "ip232" with handshake begins with the current request-to-send state.
TEST(BridgeConnector, ReconnectsAndSendsWhatWaited) {
  struct Case {
    const char* name;
    bool raw;
    bool handshake;
    Bytes first_wire;             // the first connection receives
    Bytes written_meanwhile;      // data bytes while disconnected
    bool rts_drops_meanwhile;     // set_rts(false) after those bytes
    Bytes second_wire;            // the second connection receives
  };
  const Case cases[] = {
      {"ip232 with handshake", false, true, {0xFF, 0x01}, {0x10, 0xFF}, true,
       {0xFF, 0x00, 0x10, 0xFF, 0xFF, 0xFF, 0x00}},
      {"ip232, nothing waiting", false, true, {0xFF, 0x01}, {}, false,
       {0xFF, 0x01}},
      {"ip232 without handshake", false, false, {}, {0x10, 0xFF}, true,
       {0x10, 0xFF, 0xFF}},
      {"raw", true, true, {}, {0x10, 0xFF}, false, {0x10, 0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeLine line({.raw = c.raw, .handshake = c.handshake});
    line.endpoint->set_rts(true);
    ASSERT_NO_FATAL_FAILURE(line.connect());
    EXPECT_EQ(test::receive_bytes(*line.peer, c.first_wire.size()), c.first_wire);

    line.peer->close();
    ASSERT_TRUE(wait_until([&] { return !line.endpoint->is_connected(); }));
    EXPECT_FALSE(line.endpoint->ready_for_byte());
    host_write(*line.endpoint, c.written_meanwhile);
    if (c.rts_drops_meanwhile) line.endpoint->set_rts(false);

    std::optional<net::TcpStream> second =
        line.server.take_connection(kReconnectWaitMs);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(test::receive_bytes(*second, c.second_wire.size()),
              c.second_wire);
    EXPECT_FALSE(receives_more(*second));
    EXPECT_TRUE(wait_until([&] { return line.endpoint->ready_for_byte(); }));
    EXPECT_EQ(line.endpoint->tx_dropped(), 0u);
  }
}

// An escape that ended the last read of a closed connection must not eat
// the first byte of the next connection.
TEST(BridgeConnector, ForgetsAHalfEscapeWhenTheConnectionChanges) {
  BridgeLine line({.handshake = false});
  ASSERT_NO_FATAL_FAILURE(line.connect());
  ASSERT_TRUE(line.peer->send_all(Bytes{0x30, 0xFF}));
  EXPECT_EQ(host_read(*line.endpoint, 1), Bytes{0x30});
  line.peer->close();
  std::optional<net::TcpStream> second = line.server.take_connection(kReconnectWaitMs);
  ASSERT_TRUE(second.has_value());
  ASSERT_TRUE(second->send_all(Bytes{0x41, 0x42}));
  EXPECT_EQ(host_read(*line.endpoint, 2), (Bytes{0x41, 0x42}));
}

TEST(BridgeConnector, RetriesRefusedConnectionsForItsWholeLife) {
  const std::uint16_t port = test::refused_port();
  auto changes = std::make_shared<std::atomic<int>>(0);
  auto endpoint = make_endpoint(
      {.port = port, .on_change = [changes] { ++*changes; }});

  // Every failed attempt is reported; several means it keeps trying.
  ASSERT_TRUE(wait_until([&] { return changes->load() >= 3; },
                         kReconnectWaitMs));
  const std::string prefix =
      "cannot connect to 127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(endpoint->status_text().substr(0, prefix.size()), prefix);
  EXPECT_FALSE(endpoint->is_connected());
  EXPECT_FALSE(endpoint->ready_for_byte());

  // Once something listens there, the next attempt succeeds.
  test::LoopbackServer server({.port = port});
  if (!server.ok()) GTEST_SKIP() << "the port was taken meanwhile: " << server.error();
  ASSERT_TRUE(server.take_connection(kReconnectWaitMs).has_value());
  ASSERT_TRUE(wait_until([&] { return endpoint->is_connected(); }));
  EXPECT_EQ(endpoint->status_text(), "");

  // Nothing runs after destruction: no more notifications.
  endpoint.reset();
  const int after_stop = changes->load();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(changes->load(), after_stop);
}

TEST(BridgeConnector, RawModeHoldsTheConnectionOnlyWhileRtsIsAsserted) {
  BridgeLine line({.raw = true});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(line.server.accepted_count(), 0u);

  line.endpoint->set_rts(true);
  ASSERT_NO_FATAL_FAILURE(line.connect());

  line.endpoint->set_rts(false);
  EXPECT_TRUE(test::wait_for_end(*line.peer));
  ASSERT_TRUE(wait_until([&] { return !line.endpoint->is_connected(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(line.server.accepted_count(), 1u);

  line.endpoint->set_rts(true);
  EXPECT_TRUE(line.server.take_connection().has_value());
  EXPECT_TRUE(wait_until([&] { return line.endpoint->is_connected(); }));
}

// A peer sends far more than the receive queue holds while the host reads
// slowly: the queue never exceeds its limit and every byte arrives, in
// order.
TEST(BridgeConnector, DeliversAFloodWithoutLoss) {
  constexpr std::size_t kFloodBytes = 1 << 20;
  for (const bool raw : {false, true}) {
    SCOPED_TRACE(raw ? "raw" : "ip232");
    BridgeLine line({.raw = raw});
    line.endpoint->set_rts(true);
    ASSERT_NO_FATAL_FAILURE(line.connect());
    const Bytes data = pattern(kFloodBytes);
    const Bytes wire = encode_data(raw, data);
    std::thread flood([&] { line.peer->send_all(wire); });

    // The host does not read at first: the queue fills to its limit and
    // stays there.
    EXPECT_TRUE(wait_until([&] {
      return line.endpoint->rx_queue_size() == Ip232SerialEndpoint::kRxQueueLimit;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(line.endpoint->rx_queue_size(), Ip232SerialEndpoint::kRxQueueLimit);

    Bytes received;
    received.reserve(kFloodBytes);
    std::size_t largest_queue = 0;
    Clock::time_point last_progress = Clock::now();
    while (received.size() < kFloodBytes &&
           ms_since(last_progress) < kPatientWaitMs) {
      largest_queue = std::max(largest_queue, line.endpoint->rx_queue_size());
      for (int i = 0; i < 1024 && line.endpoint->has_byte(); ++i) {
        received.push_back(line.endpoint->read_byte());
        last_progress = Clock::now();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Closes the connection, so that a peer still sending gives up.
    line.endpoint.reset();
    flood.join();
    EXPECT_LE(largest_queue, Ip232SerialEndpoint::kRxQueueLimit);
    EXPECT_TRUE(received == data) << describe_mismatch(received, data);
  }
}

// A reset while the receive queue is full and the machine types: the
// failed writes end sending only, every byte that arrived before the reset
// is still delivered once the host reads, and then the endpoint reconnects
// and sends what was typed there.
TEST(BridgeConnector, DeliversWhatArrivedBeforeAResetWhileTheReceiveQueueIsFull) {
  BridgeLine line({.handshake = false});
  ASSERT_NO_FATAL_FAILURE(line.connect());
  const Bytes data = pattern(2 * Ip232SerialEndpoint::kRxQueueLimit);
  ASSERT_TRUE(line.peer->send_all(encode_data(false, data)));
  ASSERT_TRUE(wait_until([&] {
    return line.endpoint->rx_queue_size() == Ip232SerialEndpoint::kRxQueueLimit;
  }));
  line.peer->reset();
  for (int i = 0; i < 5; ++i) {
    line.endpoint->write_byte(0x41);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(host_read(*line.endpoint, data.size()), data);
  std::optional<net::TcpStream> second = line.server.take_connection();
  ASSERT_TRUE(second.has_value());
  EXPECT_FALSE(receive_until_end(*second, 500).empty());
}

// A batch larger than the socket takes at once is completed in further
// writes once the peer reads.
TEST(BridgeSender, CompletesABatchAcrossPartialWrites) {
  constexpr std::size_t kBatchBytes = 512 * 1024;
  BridgeLine line({.raw = true, .tx_buffer = kBatchBytes},
                  {.receive_buffer_bytes = 4096});
  line.endpoint->set_rts(true);
  ASSERT_NO_FATAL_FAILURE(line.connect());
  const Bytes data = pattern(kBatchBytes);
  host_write(*line.endpoint, data);
  EXPECT_EQ(line.endpoint->tx_dropped(), 0u);
  // Let the socket fill up before the peer starts reading.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const Bytes received = test::receive_bytes(*line.peer, kBatchBytes, 60'000);
  EXPECT_TRUE(received == data) << describe_mismatch(received, data);
}

// In mode "raw" dropping request-to-send ends the connection under the
// sender's feet. Whatever the connection did not take is sent on the next
// one: across many connections the peer receives every byte exactly once,
// in order.
TEST(BridgeSender, LosesNothingWhenTheConnectionIsDroppedMidStream) {
  constexpr int kConnections = 20;
  BridgeLine line({.raw = true});
  ASSERT_TRUE(line.server.ok()) << line.server.error();

  std::atomic<bool> writing{true};
  std::atomic<std::size_t> written{0};
  std::thread host([&] {
    // A host that honours ready_for_byte(): never more than one byte past
    // the point where it turned false, so nothing is refused.
    std::size_t i = 0;
    while (writing.load()) {
      if (line.endpoint->ready_for_byte()) {
        line.endpoint->write_byte(pattern_byte(i++));
        written.store(i);
      } else {
        std::this_thread::yield();
      }
    }
  });

  Bytes received;
  for (int k = 0; k < kConnections; ++k) {
    line.endpoint->set_rts(true);
    std::optional<net::TcpStream> peer = line.server.take_connection();
    if (!peer) {
      ADD_FAILURE() << "no connection " << k;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Bytes part;
    if (k == kConnections - 1) {
      writing.store(false);
      host.join();
      part = test::receive_bytes(*peer, written.load() - received.size());
    } else {
      line.endpoint->set_rts(false);
      part = receive_until_end(*peer);
      EXPECT_TRUE(wait_until([&] { return !line.endpoint->is_connected(); }));
    }
    received.insert(received.end(), part.begin(), part.end());
  }
  if (host.joinable()) {
    writing.store(false);
    host.join();
  }
  const Bytes expected = pattern(written.load());
  EXPECT_EQ(line.endpoint->tx_dropped(), 0u);
  EXPECT_TRUE(received == expected) << describe_mismatch(received, expected);
}

TEST(BridgeStop, WhileConnectedAndIdle) {
  BridgeLine line;
  ASSERT_NO_FATAL_FAILURE(line.connect());
  const Clock::time_point start = Clock::now();
  line.endpoint.reset();
  EXPECT_LT(ms_since(start), kPatientWaitMs);
  EXPECT_TRUE(test::wait_for_end(*line.peer));
}

TEST(BridgeStop, WhileTheSenderIsMidBatch) {
  // More than the largest send buffer plus the peer's small receive buffer,
  // so the peer that never reads leaves the sender mid-batch.
  constexpr std::size_t kBatchBytes = 5 << 20;
  BridgeLine line({.raw = true, .tx_buffer = kBatchBytes},
                  {.receive_buffer_bytes = 4096});
  line.endpoint->set_rts(true);
  ASSERT_NO_FATAL_FAILURE(line.connect());
  host_write(*line.endpoint, Bytes(kBatchBytes, 0x55));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const Clock::time_point start = Clock::now();
  line.endpoint.reset();
  EXPECT_LT(ms_since(start), kPatientWaitMs);
  // The rest of the batch was not sent.
  EXPECT_LT(receive_until_end(*line.peer, 60'000).size(), kBatchBytes);
}

}  // namespace
}  // namespace quorvex::ip232
