// The endpoint's connection status face: each connection counted and
// placed in the received stream, however short it was, with its own bytes.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "api/connection_status.h"
#include "tests/support/bridge_line.h"

namespace quorvex::ip232 {
namespace {

using test::BridgeLine;

ConnectionStatus status_when(const Ip232SerialEndpoint& endpoint,
                             bool (*holds)(const ConnectionStatus&)) {
  ConnectionStatus status;
  test::wait_until([&] {
    status = endpoint.connection_status();
    return holds(status);
  });
  return status;
}

TEST(ConnectionStatus, RecordsEachConnectionWithItsPlaceAndBytes) {
  BridgeLine line({.handshake = false});
  ASSERT_TRUE(line.server.ok());
  ASSERT_NO_FATAL_FAILURE(line.connect());
  Ip232SerialEndpoint& endpoint = *line.endpoint;

  // The first: "ab", a telnet WILL ECHO (an unknown escape, then 0x01 as
  // data), "c"; then the server hangs up.
  const std::vector<std::uint8_t> first = {'a', 'b', 0xFF, 0xFB, 0x01, 'c'};
  ASSERT_TRUE(line.peer->send_all(first));
  EXPECT_EQ(test::host_read(endpoint, 4),
            (std::vector<std::uint8_t>{'a', 'b', 0x01, 'c'}));
  line.peer->close();

  // The second takes what the machine types and answers one byte.
  std::optional<net::TcpStream> second = line.server.take_connection();
  ASSERT_TRUE(second.has_value());
  ASSERT_TRUE(test::wait_until([&] { return endpoint.ready_for_byte(); }));
  test::host_write(endpoint, {'x', 'y', 'z'});
  EXPECT_EQ(test::receive_bytes(*second, 3).size(), 3u);
  ASSERT_TRUE(second->send_all(std::vector<std::uint8_t>{'d'}));
  EXPECT_EQ(test::host_read(endpoint, 1), std::vector<std::uint8_t>{'d'});
  second->close();

  // The third ends as soon as it is accepted, and still counts.
  std::optional<net::TcpStream> third = line.server.take_connection();
  ASSERT_TRUE(third.has_value());
  third->close();

  const ConnectionStatus status = status_when(endpoint, [](const ConnectionStatus& s) {
    return s.recent.size() == 3 && !s.recent[2].open;
  });
  ASSERT_EQ(status.recent.size(), 3u);
  EXPECT_EQ(status.connections, 3u);
  EXPECT_EQ(status.unknown_escapes, 1u);
  EXPECT_EQ(status.port, line.server.port());
  struct Expected {
    std::uint64_t from, to, sent, received;
  };
  const Expected expected[] = {{0, 4, 0, 6}, {4, 5, 3, 1}, {5, 5, 0, 0}};
  for (std::size_t i = 0; i < 3; ++i) {
    const ConnectionRecord& record = status.recent[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(record.number, i + 1);
    EXPECT_FALSE(record.open);
    EXPECT_EQ(record.received_from, expected[i].from);
    EXPECT_EQ(record.received_to, expected[i].to);
    EXPECT_EQ(record.bytes_sent, expected[i].sent);
    EXPECT_EQ(record.bytes_received, expected[i].received);
  }
  EXPECT_TRUE(status.status_text.empty()) << status.status_text;
}

}  // namespace
}  // namespace quorvex::ip232
