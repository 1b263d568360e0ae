// TransmitBuffer on its own, without sockets: the bound, the order of data
// and line state, and what goes back when a connection took only part of a
// batch. The randomized test runs a buffer against a simple model of the
// line: every batch goes out whole or in part (then the connection ends),
// and the peer decodes what arrived.

#include "ip232/tx_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

namespace quorvex::ip232 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The far end: decodes what each connection delivered.
struct ModelPeer {
  Bytes data;  // data bytes, over all connections
  // Line-state pairs other than the ones that open a connection: the state
  // and how many data bytes came before it.
  std::vector<std::pair<std::size_t, bool>> changes;
  std::optional<bool> last_state;  // of every pair, opening ones included
  bool escape = false;

  void receive(std::span<const std::uint8_t> bytes, std::size_t opening_bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const std::uint8_t b = bytes[i];
      if (escape) {
        escape = false;
        if (b == 0xFF) {
          data.push_back(b);
        } else {
          last_state = b == 0x01;
          if (i >= opening_bytes) changes.emplace_back(data.size(), b == 0x01);
        }
      } else if (b == 0xFF) {
        escape = true;
      } else {
        data.push_back(b);
      }
    }
  }
  // A connection that ended: a half-received escape is forgotten.
  void new_connection() { escape = false; }
};

TEST(TransmitBuffer, ChangeWhileTheOverLimitPairIsInFlightFollowsTheBatch) {
  TransmitBuffer buffer(false, 1);  // hard limit 65, bound 68
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(buffer.add_data(0x41));
  ASSERT_TRUE(buffer.add_data(0xFF));  // 66: one past the hard limit
  buffer.add_line_state(true);         // 68: the pair past it
  EXPECT_EQ(buffer.held(), TransmitBuffer::bound(1));
  Bytes batch;
  buffer.take_batch(batch, std::nullopt);
  buffer.add_line_state(false);
  buffer.add_line_state(true);
  buffer.add_line_state(false);
  EXPECT_FALSE(buffer.add_data(0x42));
  EXPECT_EQ(buffer.held(), TransmitBuffer::bound(1));
  buffer.finish_batch(batch, batch.size());
  EXPECT_EQ(buffer.held(), 2u);  // the newest state, after the batch
  buffer.take_batch(batch, std::nullopt);
  EXPECT_EQ(batch, (Bytes{0xFF, 0x00}));
  EXPECT_EQ(buffer.dropped(), 1u);
}

TEST(TransmitBuffer, WhatAConnectionDidNotTakeGoesBackWhole) {
  struct Case {
    const char* name;
    std::optional<bool> opening;
    std::size_t sent;
    Bytes back;  // what the next batch holds
  };
  // Waiting: 0x41 0xFF(0xFF) 0xFF 0x01 0x42.
  const Case cases[] = {
      {"nothing sent", std::nullopt, 0, {0x41, 0xFF, 0xFF, 0xFF, 0x01, 0x42}},
      {"cut inside a doubled escape", std::nullopt, 2, {0xFF, 0xFF, 0xFF, 0x01, 0x42}},
      {"cut inside a pair", std::nullopt, 4, {0xFF, 0x01, 0x42}},
      {"cut between sequences", std::nullopt, 5, {0x42}},
      {"opening pair cut", true, 1, {0x41, 0xFF, 0xFF, 0xFF, 0x01, 0x42}},
      {"opening pair sent", false, 3, {0xFF, 0xFF, 0xFF, 0x01, 0x42}},
      {"all sent", std::nullopt, 6, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransmitBuffer buffer(false, 4096);
    buffer.add_data(0x41);
    buffer.add_data(0xFF);
    buffer.add_line_state(true);
    buffer.add_data(0x42);
    Bytes batch;
    buffer.take_batch(batch, c.opening);
    EXPECT_EQ(buffer.held(), 6u);
    buffer.finish_batch(batch, c.sent);
    EXPECT_EQ(buffer.held(), c.back.size());
    buffer.take_batch(batch, std::nullopt);
    EXPECT_EQ(batch, c.back);
  }
}

// Random writes, line-state changes and batches that go out whole or in
// part, against the model: the buffer never holds more than its bound, it
// refuses data only when full, and the peer receives every accepted data
// byte once, in order, each line state after the data that came before
// it, and the current state last.
TEST(TransmitBuffer, RandomTrafficKeepsTheBoundAndTheOrder) {
  for (const std::size_t ready_limit : {std::size_t{1}, std::size_t{7}, std::size_t{100}}) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
      SCOPED_TRACE(testing::Message() << "ready limit " << ready_limit << ", seed " << seed);
      std::mt19937 random(seed);
      TransmitBuffer buffer(false, ready_limit);
      const std::size_t hard = TransmitBuffer::hard_limit(ready_limit);
      const std::size_t bound = TransmitBuffer::bound(ready_limit);
      Bytes accepted;
      std::uint64_t refused = 0;
      std::vector<std::pair<std::size_t, bool>> changes_made;  // data before, state
      std::optional<bool> state;
      ModelPeer peer;
      Bytes batch;
      bool in_flight = false;
      bool new_connection = false;  // the last one ended mid-batch
      std::size_t opening_bytes = 0;
      // The line stalls now and then (no batch starts or ends), so the
      // buffer runs full and line-state pairs go past the limit.
      bool stalled = false;
      for (int step = 0; step < 4000; ++step) {
        if (random() % 40 == 0) stalled = !stalled;
        const unsigned pick = random() % (stalled ? 75 : 100);
        if (pick < 55) {
          const std::uint8_t byte = random() % 6 == 0 ? 0xFF : static_cast<std::uint8_t>(random());
          const std::size_t before = buffer.held();
          if (buffer.add_data(byte)) {
            ASSERT_LT(before, hard);
            accepted.push_back(byte);
          } else {
            ASSERT_GE(before + 1, hard) << "refused with room";
            ++refused;
          }
        } else if (pick < 75) {
          state = random() % 2 == 0;
          changes_made.emplace_back(accepted.size(), *state);
          buffer.add_line_state(*state);
        } else if (!in_flight) {
          // A new connection opens with the current state.
          std::optional<bool> opening;
          if (new_connection && state) opening = state;
          buffer.take_batch(batch, opening);
          opening_bytes = opening ? 2 : 0;
          in_flight = true;
          new_connection = false;
        } else {
          // Mostly whole; otherwise the connection ends after part of it.
          const bool whole = random() % 3 != 0;
          const std::size_t sent = whole ? batch.size() : random() % (batch.size() + 1);
          peer.receive(std::span<const std::uint8_t>(batch).first(sent), opening_bytes);
          buffer.finish_batch(batch, sent);
          in_flight = false;
          new_connection = sent < batch.size();
          if (new_connection) peer.new_connection();
        }
        ASSERT_LE(buffer.held(), bound) << "step " << step;
        ASSERT_TRUE(buffer.consistent()) << "step " << step;
      }
      // The line drains.
      for (int pass = 0; pass < 3; ++pass) {
        if (!in_flight) {
          buffer.take_batch(batch, std::nullopt);
          opening_bytes = 0;
        }
        peer.receive(batch, opening_bytes);
        buffer.finish_batch(batch, batch.size());
        in_flight = false;
      }
      EXPECT_EQ(buffer.held(), 0u);
      EXPECT_EQ(peer.data, accepted);
      EXPECT_EQ(buffer.dropped(), refused);
      for (const auto& change : peer.changes) {
        EXPECT_TRUE(std::find(changes_made.begin(), changes_made.end(), change) !=
                    changes_made.end())
            << "state " << change.second << " after " << change.first << " data bytes";
      }
      EXPECT_EQ(peer.last_state, state);
    }
  }
}

}  // namespace
}  // namespace quorvex::ip232
