// The endpoint's device faces while it has no connection: coding into the
// transmit buffer, the transmit limits and the request-to-send pairs. Each
// endpoint here is aimed at a loopback port that refuses connections, so it
// never connects and nothing it buffers is sent.

#include "ip232/ip232_serial_endpoint.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tests/support/bridge_line.h"

namespace quorvex::ip232 {
namespace {

std::unique_ptr<Ip232SerialEndpoint> unconnected_endpoint(
    bool raw, bool handshake, std::size_t tx_buffer = 4096) {
  return test::make_endpoint({.port = test::refused_port(),
                              .raw = raw,
                              .handshake = handshake,
                              .tx_buffer = tx_buffer});
}

void write_bytes(Ip232SerialEndpoint& endpoint, std::uint8_t byte,
                 std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) endpoint.write_byte(byte);
}

TEST(Ip232SerialEndpoint, CodesWrittenBytesIntoThePendingBuffer) {
  struct Case {
    bool raw;
    std::vector<std::uint8_t> bytes;
    std::size_t pending;
  };
  const Case cases[] = {
      {false, {0x41}, 1},
      {false, {0xFF}, 2},
      {false, {0xFF, 0x00, 0x01, 0xFF}, 6},
      {true, {0xFF}, 1},
      {true, {0xFF, 0x00, 0x01, 0xFF}, 4},
  };
  for (const Case& c : cases) {
    auto endpoint = unconnected_endpoint(c.raw, true);
    for (const std::uint8_t b : c.bytes) endpoint->write_byte(b);
    EXPECT_EQ(endpoint->tx_pending_size(), c.pending) << "raw " << c.raw;
    EXPECT_EQ(endpoint->tx_dropped(), 0u);
  }
}

TEST(Ip232SerialEndpoint, AcceptsUpToTheHardLimitThenCountsDrops) {
  for (const std::size_t tx_buffer : {std::size_t{1}, std::size_t{16},
                                      std::size_t{4096}}) {
    auto endpoint = unconnected_endpoint(false, true, tx_buffer);
    const std::size_t hard_limit = tx_buffer + 64;
    write_bytes(*endpoint, 0x41, hard_limit);
    EXPECT_EQ(endpoint->tx_pending_size(), hard_limit) << tx_buffer;
    EXPECT_EQ(endpoint->tx_dropped(), 0u) << tx_buffer;
    write_bytes(*endpoint, 0x41, 3);
    endpoint->write_byte(0xFF);
    EXPECT_EQ(endpoint->tx_pending_size(), hard_limit) << tx_buffer;
    EXPECT_EQ(endpoint->tx_dropped(), 4u) << tx_buffer;
  }
}

// A doubled escape is not tested against the limit on its own: the buffer
// may end one byte above it, and the next byte is refused.
TEST(Ip232SerialEndpoint, DoubledEscapeMayEndOneAboveTheHardLimit) {
  struct Case {
    bool raw;
    std::size_t pending_after_escape;
  };
  const Case cases[] = {{false, 81}, {true, 80}};
  for (const Case& c : cases) {
    auto endpoint = unconnected_endpoint(c.raw, true, 16);
    write_bytes(*endpoint, 0x41, 79);
    endpoint->write_byte(0xFF);
    EXPECT_EQ(endpoint->tx_pending_size(), c.pending_after_escape);
    endpoint->write_byte(0x41);
    EXPECT_EQ(endpoint->tx_pending_size(), c.pending_after_escape);
    EXPECT_EQ(endpoint->tx_dropped(), 1u);
  }
}

TEST(Ip232SerialEndpoint, NotReadyWhileNotConnectedWhateverIsPending) {
  auto endpoint = unconnected_endpoint(false, true, 16);
  for (const std::size_t pending : {0, 1, 15, 16, 80}) {
    write_bytes(*endpoint, 0x41, pending - endpoint->tx_pending_size());
    EXPECT_FALSE(endpoint->ready_for_byte()) << pending;
    EXPECT_FALSE(endpoint->is_connected());
  }
}

TEST(Ip232SerialEndpoint, QueuesRequestToSendPairsOnlyInIp232WithHandshake) {
  struct Case {
    bool raw;
    bool handshake;
    std::size_t pending;  // after set_rts(true), set_rts(false)
  };
  const Case cases[] = {
      {false, true, 4}, {false, false, 0}, {true, true, 0}, {true, false, 0}};
  for (const Case& c : cases) {
    auto endpoint = unconnected_endpoint(c.raw, c.handshake);
    endpoint->set_rts(true);
    endpoint->set_rts(false);
    EXPECT_EQ(endpoint->tx_pending_size(), c.pending)
        << "raw " << c.raw << " handshake " << c.handshake;
    EXPECT_EQ(endpoint->tx_dropped(), 0u);
  }
}

// The pair goes in whole. A change without room for it goes in past the
// limit once; later changes replace that pair, and data is refused after
// it, so the buffer stays bounded and its last pair is the current state.
TEST(Ip232SerialEndpoint, RequestToSendChangeWithoutRoomIsKeptOnce) {
  struct Case {
    std::size_t pending_before;  // hard limit 65
    int changes;
    std::size_t pending_after;
  };
  const Case cases[] = {{62, 1, 64}, {63, 1, 65}, {64, 1, 66}, {65, 1, 67},
                        {62, 2, 64}, {64, 3, 66}, {65, 5, 67}};
  for (const Case& c : cases) {
    auto endpoint = unconnected_endpoint(false, true, 1);
    write_bytes(*endpoint, 0x41, c.pending_before);
    for (int i = 0; i < c.changes; ++i) endpoint->set_rts(i % 2 == 0);
    EXPECT_EQ(endpoint->tx_pending_size(), c.pending_after) << c.pending_before;
    EXPECT_LE(endpoint->tx_pending_size(), Ip232SerialEndpoint::tx_bound(1));
    EXPECT_EQ(endpoint->tx_dropped(), 0u) << c.pending_before;
  }
}

}  // namespace
}  // namespace quorvex::ip232
