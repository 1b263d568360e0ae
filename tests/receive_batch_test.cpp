// The host takes received bytes from the endpoint in batches: read_byte()
// moves up to a read's worth out of the receive queue at once and hands
// them out one by one. Those bytes still count against the queue's limit
// until the host has read them, and nothing is lost or reordered at the
// batch boundaries.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "ip232/ip232_serial_endpoint.h"
#include "tests/support/bridge_line.h"

namespace quorvex::ip232 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::BridgeLine;
using test::Clock;
using test::wait_until;

constexpr std::size_t kLimit = Ip232SerialEndpoint::kRxQueueLimit;

// Data without 0xFF, so that it is the same on the line in mode "ip232".
Bytes counting_bytes(std::size_t count) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(i % 251);
  return out;
}

TEST(ReceiveBatch, BytesTakenByTheHostCountAgainstTheLimitUntilRead) {
  BridgeLine line({.handshake = false});
  ASSERT_NO_FATAL_FAILURE(line.connect());
  const Bytes data = counting_bytes(3 * kLimit);
  std::thread flood([&] { line.peer->send_all(data); });

  ASSERT_TRUE(wait_until([&] { return line.endpoint->rx_queue_size() == kLimit; }));
  // One byte read: the rest of its batch is still held for the host and
  // counts, so the connector may put back one byte, not a batch's worth.
  ASSERT_TRUE(line.endpoint->has_byte());
  EXPECT_EQ(line.endpoint->read_byte(), data[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(line.endpoint->rx_queue_size(), kLimit);

  // Reading on across many batches and refills: every byte in order, and
  // never more than the limit held.
  Bytes received{data[0]};
  std::size_t largest = 0;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(test::kPatientWaitMs);
  while (received.size() < data.size() && Clock::now() < deadline) {
    largest = std::max(largest, line.endpoint->rx_queue_size());
    if (line.endpoint->has_byte()) received.push_back(line.endpoint->read_byte());
  }
  line.endpoint.reset();
  flood.join();
  EXPECT_LE(largest, kLimit);
  EXPECT_TRUE(received == data) << "received " << received.size() << " of "
                                << data.size() << " bytes, or changed";
}

TEST(ReceiveBatch, HasByteAnswersForTheBatchAndTheQueueAlike) {
  BridgeLine line({.handshake = false});
  ASSERT_NO_FATAL_FAILURE(line.connect());
  const Bytes first = counting_bytes(3);
  ASSERT_TRUE(line.peer->send_all(first));
  ASSERT_TRUE(wait_until([&] { return line.endpoint->rx_queue_size() == 3; }));

  // The first read takes all three into the batch; the other two are
  // answered from it.
  for (const std::uint8_t expected : first) {
    ASSERT_TRUE(line.endpoint->has_byte());
    EXPECT_EQ(line.endpoint->read_byte(), expected);
  }
  EXPECT_FALSE(line.endpoint->has_byte());
  EXPECT_EQ(line.endpoint->read_byte(), 0);  // empty: 0, nothing changes
  EXPECT_EQ(line.endpoint->rx_queue_size(), 0u);

  const Bytes second = {0x41, 0x42};
  ASSERT_TRUE(line.peer->send_all(second));
  ASSERT_TRUE(wait_until([&] { return line.endpoint->has_byte(); }));
  EXPECT_EQ(line.endpoint->read_byte(), 0x41);
  ASSERT_TRUE(wait_until([&] { return line.endpoint->has_byte(); }));
  EXPECT_EQ(line.endpoint->read_byte(), 0x42);
}

}  // namespace
}  // namespace quorvex::ip232
