// The bridge endpoint against peers that misbehave on purpose: resets,
// closes in the middle of a transfer, peers that never read or that flood,
// connections closed as soon as they are accepted, and endpoints destroyed
// while they connect, read or write. Every byte that arrives is checked
// against a pattern stream; "nothing lost" means every byte the bridge
// held arrives, in order, once.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "api/extension.h"
#include "ip232/ip232_serial_endpoint.h"
#include "ip232/line_coding.h"
#include "tools/net/tcp_stream.h"
#include "tests/support/bridge_driver.h"
#include "tests/support/bridge_line.h"
#include "tests/support/extension_helpers.h"
#include "tests/support/loopback_server.h"
#include "tests/support/pattern_stream.h"
#include "tests/support/process_stats.h"
#include "tests/support/unanswered_listener.h"

namespace {

using quorvex::ip232::EndpointConfig;
using quorvex::ip232::Ip232SerialEndpoint;
using quorvex::ip232::LineDecoder;
using quorvex::net::TcpStream;
using quorvex::test::coded_pattern;
using quorvex::test::env_int;
using quorvex::test::kLoopbackIpv4;
using quorvex::test::kPatientWaitMs;
using quorvex::test::LoopbackServer;
using quorvex::test::MachineSide;
using quorvex::test::ms_since;
using quorvex::test::PatternReceiver;
using quorvex::test::PatternStream;
using quorvex::test::receive_decoded;
using quorvex::test::until_done_or_stalled;
using quorvex::test::wait_until;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMachineSeed = 0x5EED0001;  // machine to peer
constexpr std::uint64_t kPeerSeed = 0x5EED0002;     // peer to machine
// A connection lost while the test waits is noticed and replaced within
// the 500 ms back-off plus a connect; this leaves room for slow machines.
constexpr int kReconnectWaitMs = 10000;

// Data only on the wire: simpler to account.
EndpointConfig config_for(std::uint16_t port, std::size_t tx_buffer = 4096) {
  return quorvex::test::endpoint_config(
      {.port = port, .handshake = false, .tx_buffer = tx_buffer});
}

// The machine transmits `count` more bytes, waiting while the endpoint is
// not ready; false if it stayed not ready for a whole patient wait.
bool transmit_all(MachineSide& machine, std::size_t count) {
  std::size_t left = count;
  while (left > 0) {
    const bool moved = wait_until([&] {
      const std::size_t written = machine.transmit(left);
      left -= written;
      return written > 0 || left == 0;
    });
    if (!moved) return false;
  }
  return true;
}

// The peer reads `stream` until `receiver` has reached `position`, the
// stream ends or nothing more arrives for a long while (a 4 KB window makes
// a slow line on a loaded machine, and the system may hold megabytes).
void peer_read_until(TcpStream& stream, LineDecoder& decoder,
                     PatternReceiver& receiver, std::uint64_t position) {
  until_done_or_stalled(
      [&] {
        return !receiver.ok() || receiver.next_position() >= position ||
               !receive_decoded(stream, decoder, receiver, 50);
      },
      [&] { return receiver.next_position() + receiver.held_back(); });
  receiver.settle();
}

// The machine writes whenever the endpoint is ready, until the line is
// congested: the endpoint is connected, has handed far more to the system
// than the peer's 4 KB window takes, and its own buffer is full again.
// False if that never happens.
bool fill_the_line(Ip232SerialEndpoint& endpoint, MachineSide& machine) {
  constexpr std::uint64_t kInTheSystem = 64 * 1024;
  return wait_until([&] { return endpoint.ready_for_byte(); }) &&
         wait_until([&] {
           machine.transmit(64 * 1024);
           return !endpoint.ready_for_byte() && endpoint.tx_pending_size() >= 4096 &&
                  machine.transmitted() >= kInTheSystem;
         }, 2 * kPatientWaitMs);
}

// How many times to repeat a destroy-while-busy cycle: IP232_FAULT_ITERATIONS
// (default 100), but no more than fit in about three seconds, so that a slow
// build (TSan, Wine) repeats fewer times. At least a handful always run.
class IterationBudget {
 public:
  IterationBudget()
      : limit_(env_int("IP232_FAULT_ITERATIONS", 100)), start_(Clock::now()) {}
  bool another() {
    if (done_ >= limit_) return false;
    if (done_ >= kMinimum && Clock::now() - start_ > kTimeBudget) return false;
    ++done_;
    return true;
  }
  int done() const { return done_; }

 private:
  static constexpr int kMinimum = 5;
  static constexpr auto kTimeBudget = std::chrono::seconds(3);
  const int limit_;
  const Clock::time_point start_;
  int done_ = 0;
};

// Thread count before a test's endpoints exist, to compare with afterwards.
class ThreadCountCheck {
 public:
  ThreadCountCheck() : before_(quorvex::test::baseline_thread_count()) {}
  void expect_back() const {
    if (!before_) return;  // not measured on this platform
    const auto after = quorvex::test::settled_thread_count(*before_, kPatientWaitMs);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(*after, *before_) << "threads left running";
  }

 private:
  std::optional<std::size_t> before_;
};

TEST(Ip232SerialEndpointFaults, ResetMidStreamKeepsOrderAndReconnects) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  Ip232SerialEndpoint endpoint(config_for(server.port()));
  // A reset may destroy bytes in flight in both directions: gaps are
  // allowed, but only where the reset was.
  MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kAllowed);
  const PatternStream peer_stream(kPeerSeed);
  constexpr std::size_t kBurst = 16 * 1024;

  std::optional<TcpStream> first = server.take_connection();
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(first->send_all(coded_pattern(peer_stream, 0, kBurst, false)));
  ASSERT_TRUE(transmit_all(machine, kBurst));
  first->reset();

  // The machine keeps reading: with its receive queue full the bridge
  // reads no further and would not see the reset.
  std::optional<TcpStream> second;
  ASSERT_TRUE(wait_until([&] {
    machine.receive();
    second = server.take_connection(10);
    return second.has_value();
  }, kReconnectWaitMs)) << "no new connection after a reset";
  ASSERT_TRUE(second->send_all(coded_pattern(peer_stream, kBurst, kBurst, false)));
  ASSERT_TRUE(transmit_all(machine, kBurst));

  // Everything sent on the second connection reaches the machine.
  EXPECT_TRUE(wait_until([&] {
    machine.receive();
    return machine.received().next_position() >= 2 * kBurst ||
           !machine.received().ok();
  }));
  EXPECT_TRUE(machine.received().ok()) << machine.received().failure();
  EXPECT_EQ(machine.received().next_position(), 2 * kBurst);
  EXPECT_LE(machine.received().gaps(), 1u);

  // Everything the machine wrote that did not go out before the reset goes
  // out on the second connection, in order.
  LineDecoder decoder(false);
  PatternReceiver peer_received(kMachineSeed, PatternReceiver::Gaps::kAllowed);
  peer_read_until(*second, decoder, peer_received, machine.transmitted());
  EXPECT_TRUE(peer_received.ok()) << peer_received.failure();
  EXPECT_EQ(peer_received.next_position(), machine.transmitted());
  EXPECT_LE(peer_received.gaps(), 1u);
  EXPECT_EQ(endpoint.tx_dropped(), 0u);
}

TEST(Ip232SerialEndpointFaults, CloseWhileSenderIsMidBatchResendsTheRest) {
  // In mode "raw" the endpoint connects only while request-to-send is
  // asserted: the machine fills the buffer first, so the sender takes all
  // 6 MB as one batch. The peer's 4 KB receive window makes it write that
  // batch in many partial writes; the peer reads a little and closes with
  // data unread. The system's send buffer takes at most 4 MB (Linux's
  // default ceiling), so much of the batch is still the bridge's.
  LoopbackServer server({.receive_buffer_bytes = 4096});
  ASSERT_TRUE(server.ok()) << server.error();
  constexpr std::size_t kBatch = 6 * 1024 * 1024;
  EndpointConfig config = config_for(server.port(), kBatch);
  config.raw = true;
  Ip232SerialEndpoint endpoint(std::move(config));
  MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kNever);
  machine.transmit_unasked(kBatch);
  endpoint.set_rts(true);

  std::optional<TcpStream> first = server.take_connection();
  ASSERT_TRUE(first.has_value());
  LineDecoder first_decoder(true);
  PatternReceiver peer_received(kMachineSeed, PatternReceiver::Gaps::kAllowed);
  peer_read_until(*first, first_decoder, peer_received, 8 * 1024);
  ASSERT_TRUE(peer_received.ok()) << peer_received.failure();
  const std::uint64_t before_close = peer_received.next_position();
  first->close();

  std::optional<TcpStream> second = server.take_connection(kReconnectWaitMs);
  ASSERT_TRUE(second.has_value()) << "no new connection after the close";
  // The rest comes faster through a larger window.
  second->set_receive_buffer(256 * 1024);
  LineDecoder second_decoder(true);
  peer_read_until(*second, second_decoder, peer_received, machine.transmitted());
  EXPECT_TRUE(peer_received.ok()) << peer_received.failure();
  // What was in flight when the peer closed is gone; the rest of the batch
  // arrives, in order, up to the last byte written.
  EXPECT_EQ(peer_received.next_position(), machine.transmitted());
  EXPECT_LE(peer_received.gaps(), 1u);
  const std::uint64_t resent =
      peer_received.next_position() - before_close - peer_received.skipped();
  EXPECT_GE(resent, kBatch / 6) << "the bridge dropped the rest of its batch";
  EXPECT_EQ(endpoint.tx_dropped(), 0u);
  std::cout << "[          ] " << before_close << " bytes before the close, "
            << peer_received.skipped() << " lost in flight, " << resent
            << " resent on the next connection\n";
}

TEST(Ip232SerialEndpointFaults, PeerThatNeverReadsBacksUpTransmitAndLosesNothing) {
  LoopbackServer server({.receive_buffer_bytes = 4096});
  ASSERT_TRUE(server.ok()) << server.error();
  Ip232SerialEndpoint endpoint(config_for(server.port()));
  MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kNever);
  std::optional<TcpStream> peer = server.take_connection();
  ASSERT_TRUE(peer.has_value());
  EXPECT_TRUE(fill_the_line(endpoint, machine)) << "transmit side never backed up";
  // Not asked again here: a system that grows its send buffer on its own
  // (Wine does) may take a little more meanwhile and make it ready again.
  EXPECT_TRUE(endpoint.is_connected());

  // Once the peer reads, every byte written arrives and the endpoint is
  // ready again.
  LineDecoder decoder(false);
  PatternReceiver peer_received(kMachineSeed, PatternReceiver::Gaps::kNever);
  peer_read_until(*peer, decoder, peer_received, machine.transmitted());
  EXPECT_TRUE(peer_received.ok()) << peer_received.failure();
  EXPECT_EQ(peer_received.next_position(), machine.transmitted());
  EXPECT_TRUE(wait_until([&] { return endpoint.ready_for_byte(); }));
  EXPECT_EQ(endpoint.tx_dropped(), 0u);
}

TEST(Ip232SerialEndpointFaults, FloodingPeerIsHeldBackAndLosesNothing) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  Ip232SerialEndpoint endpoint(config_for(server.port()));
  MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kNever);
  std::optional<TcpStream> peer = server.take_connection();
  ASSERT_TRUE(peer.has_value());

  // The peer sends as fast as the connection takes it, keeping up to
  // 256 KB ahead of the machine (far beyond the 4 KB queue): 2 MB, or what
  // got through in about two seconds where the line is slow (Wine).
  constexpr std::size_t kFlood = 2 * 1024 * 1024;
  constexpr std::size_t kChunk = 16 * 1024;
  constexpr std::uint64_t kAhead = 256 * 1024;
  const PatternStream peer_stream(kPeerSeed);
  std::atomic<bool> enough{false};       // set by the machine's side
  std::atomic<bool> flood_over{false};   // set by the flooder
  std::atomic<std::uint64_t> flooded{0};
  std::atomic<std::uint64_t> taken{0};   // by the machine
  std::thread flooder([&] {
    while (flooded.load() < kFlood && !enough.load()) {
      if (flooded.load() > taken.load() + kAhead) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      if (!peer->send_all(coded_pattern(peer_stream, flooded.load(), kChunk, false))) break;
      flooded.fetch_add(kChunk);
    }
    flood_over.store(true);
  });
  // The machine reads in bursts with pauses, so the receive queue fills up
  // again and again; it never holds more than its 4096 bytes.
  const auto stop_flooding = Clock::now() + std::chrono::seconds(2);
  std::size_t largest_queue = 0;
  std::uint64_t next_pause = 0;
  const bool all_arrived = wait_until([&] {
    largest_queue = std::max(largest_queue, endpoint.rx_queue_size());
    machine.receive();
    const std::uint64_t at = machine.received().next_position();
    taken.store(at);
    if (at >= next_pause) {
      next_pause = at + 128 * 1024;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (Clock::now() > stop_flooding) enough.store(true);
    return (flood_over.load() && at >= flooded.load()) || !machine.received().ok();
  }, 6 * kPatientWaitMs);
  // The flooder may be waiting for room: the machine reads until it is done.
  enough.store(true);
  wait_until([&] {
    machine.receive();
    taken.store(machine.received().next_position());
    return flood_over.load();
  }, 6 * kPatientWaitMs);
  flooder.join();
  EXPECT_TRUE(all_arrived);
  EXPECT_TRUE(machine.received().ok()) << machine.received().failure();
  EXPECT_EQ(machine.received().next_position(), flooded.load());
  EXPECT_LE(largest_queue, Ip232SerialEndpoint::kRxQueueLimit);
  EXPECT_EQ(largest_queue, Ip232SerialEndpoint::kRxQueueLimit)
      << "the queue never filled: the pauses did not hold the machine back";
  std::cout << "[          ] " << flooded.load() << " bytes flooded\n";
}

TEST(Ip232SerialEndpointFaults, PeerClosingAtOnceInALoopIsRetriedThenServed) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  Ip232SerialEndpoint endpoint(config_for(server.port()));
  MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kNever);
  // Bytes written while there is no good connection wait for one.
  machine.transmit_unasked(1000);

  constexpr int kRefusals = 4;
  for (int i = 0; i < kRefusals; ++i) {
    std::optional<TcpStream> stream = server.take_connection(kReconnectWaitMs);
    ASSERT_TRUE(stream.has_value()) << "attempt " << i << " never came";
    if (i % 2 == 0) {
      stream->close();
    } else {
      stream->reset();
    }
  }
  std::optional<TcpStream> good = server.take_connection(kReconnectWaitMs);
  ASSERT_TRUE(good.has_value());
  ASSERT_TRUE(wait_until([&] { return endpoint.is_connected(); }));

  const PatternStream peer_stream(kPeerSeed);
  ASSERT_TRUE(good->send_all(coded_pattern(peer_stream, 0, 1000, false)));
  ASSERT_TRUE(transmit_all(machine, 1000));
  EXPECT_TRUE(wait_until([&] {
    machine.receive();
    return machine.received().next_position() >= 1000;
  }));
  EXPECT_TRUE(machine.received().ok()) << machine.received().failure();

  // The bytes written before any good connection may have gone to one
  // that closed at once; from the good one on everything arrives.
  LineDecoder decoder(false);
  PatternReceiver peer_received(kMachineSeed, PatternReceiver::Gaps::kAllowed);
  peer_read_until(*good, decoder, peer_received, machine.transmitted());
  EXPECT_TRUE(peer_received.ok()) << peer_received.failure();
  EXPECT_EQ(peer_received.next_position(), machine.transmitted());
  EXPECT_EQ(endpoint.tx_dropped(), 0u);
}

// --- The ends of a connection ----------------------------------------------
//
// A call ends while bytes are on their way: the server hangs up while the
// machine types, the machine drops request-to-send while the server talks,
// the line state changes while the line is congested, servers that close at
// once while the machine never stops writing.

// A server sends its last screen and hangs up in order while the machine,
// reading at a serial line's pace, goes on typing: the keys typed after the
// close make the server's system answer with a reset, and still every byte
// of the screen reaches the machine.
class HangUpWhileTyping : public testing::TestWithParam<bool> {};

TEST_P(HangUpWhileTyping, EveryByteOfTheLastScreenArrives) {
  const bool raw = GetParam();
  constexpr std::size_t kLastScreen = 30000;
  std::atomic<bool> hung_up{false};
  const auto last_screen = [&](TcpStream& peer, const std::atomic<bool>&) {
    peer.send_all(coded_pattern(PatternStream(kPeerSeed), 0, kLastScreen, raw));
    // Its system has taken the screen; the server reads what was typed so
    // far and closes.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::uint8_t typed[4096];
    while (peer.receive(typed, 10).count > 0) {
    }
    peer.close();
    hung_up.store(true);
  };
  LoopbackServer server({.serve = last_screen, .served = 1});
  ASSERT_TRUE(server.ok()) << server.error();
  EndpointConfig config = config_for(server.port());
  config.raw = raw;
  Ip232SerialEndpoint endpoint(std::move(config));
  MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kNever);
  if (raw) endpoint.set_rts(true);
  // 256 bytes every 5 ms, a key every 20 ms.
  auto next_key = Clock::now();
  const auto deadline = Clock::now() + std::chrono::milliseconds(4 * kPatientWaitMs);
  while (machine.received().next_position() < kLastScreen && machine.received().ok() &&
         Clock::now() < deadline) {
    machine.receive(256);
    if (Clock::now() >= next_key) {
      machine.transmit_unasked(1);
      next_key += std::chrono::milliseconds(20);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(wait_until([&] { return hung_up.load(); }));
  EXPECT_TRUE(machine.received().ok()) << machine.received().failure();
  EXPECT_EQ(machine.received().next_position(), kLastScreen);
}

INSTANTIATE_TEST_SUITE_P(Ip232SerialEndpointFaults, HangUpWhileTyping,
                         testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Raw" : "Ip232");
                         });

TEST(Ip232SerialEndpointFaults, RawDropOfRequestToSendDeliversWhatWasAccepted) {
  // The server talks all the time and reads slowly through a small window,
  // so most of what the bridge accepted still waits in its system when the
  // machine drops request-to-send.
  quorvex::test::TalkingPeer far_end(
      {.talk_seed = kPeerSeed, .receive_seed = kMachineSeed, .read_pause_ms = 10});
  LoopbackServer server(
      {.receive_buffer_bytes = 8192, .serve = far_end.handler(), .served = 1});
  ASSERT_TRUE(server.ok()) << server.error();
  EndpointConfig config = config_for(server.port());
  config.raw = true;
  Ip232SerialEndpoint endpoint(std::move(config));
  MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kAllowed);
  endpoint.set_rts(true);

  // Everything the machine writes is accepted: handed to the system.
  constexpr std::size_t kAccepted = 200000;
  EXPECT_TRUE(wait_until([&] {
    machine.transmit(kAccepted - machine.transmitted());
    machine.receive();
    return machine.transmitted() == kAccepted && endpoint.tx_pending_size() == 0;
  }, 4 * kPatientWaitMs));
  endpoint.set_rts(false);
  ASSERT_TRUE(wait_until([&] {
    machine.receive();
    return far_end.ended();
  }, 8 * kPatientWaitMs)) << "the connection did not end in order";
  EXPECT_TRUE(far_end.received().ok()) << far_end.received().failure();
  EXPECT_EQ(far_end.received().next_position(), kAccepted);
  EXPECT_TRUE(machine.received().ok()) << machine.received().failure();
}

// The machine's request-to-send changes, in the order the peer reads them.
struct LineStateSeen {
  std::uint64_t data_bytes = 0;        // data bytes decoded so far
  std::optional<bool> last_state;      // the last change seen
  std::uint64_t data_before_last = 0;  // data bytes ahead of that change
  int changes = 0;
};

class RtsBurstOnACongestedLine : public testing::TestWithParam<bool> {};

TEST_P(RtsBurstOnACongestedLine, PeerEndsWithTheMachinesState) {
  const bool final_state = GetParam();
  LoopbackServer server({.receive_buffer_bytes = 4096});
  ASSERT_TRUE(server.ok()) << server.error();
  EndpointConfig config = config_for(server.port());
  config.handshake = true;
  Ip232SerialEndpoint endpoint(std::move(config));
  MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kNever);
  std::optional<TcpStream> peer = server.take_connection();
  ASSERT_TRUE(peer.has_value());

  ASSERT_TRUE(fill_the_line(endpoint, machine)) << "transmit side never backed up";
  constexpr int kChanges = 40;
  for (int i = 0; i < kChanges; ++i) endpoint.set_rts((i % 2 == 1) == final_state);

  // The peer reads the raw stream and follows the line state, through a
  // wider window now: the system may hold megabytes ahead of the changes,
  // which a 4 KB window on a loaded machine takes longer than any fixed
  // wait allows.
  peer->set_receive_buffer(256 * 1024);
  LineStateSeen seen;
  PatternReceiver data(kMachineSeed, PatternReceiver::Gaps::kNever);
  LineDecoder decoder(false);
  std::vector<std::uint8_t> decoded;
  const auto take_decoded = [&] {
    data.take(decoded);
    seen.data_bytes += decoded.size();
    decoded.clear();
  };
  until_done_or_stalled([&] {
    std::uint8_t buffer[4096];
    const quorvex::net::ReceiveResult result = peer->receive(buffer, 20);
    decoder.decode_events(
        std::span<const std::uint8_t>(buffer, result.count),
        [&](const quorvex::ip232::LineEvent& event) {
          using Kind = quorvex::ip232::LineEvent::Kind;
          if (event.kind == Kind::kData) {
            decoded.push_back(event.byte);
            return;
          }
          if (event.kind == Kind::kUnknownEscape) {
            ADD_FAILURE() << "an escape that begins no sequence: "
                          << static_cast<int>(event.byte);
            return;
          }
          take_decoded();
          seen.last_state = event.kind == Kind::kRtsAsserted;
          seen.data_before_last = seen.data_bytes;
          ++seen.changes;
        });
    take_decoded();
    return seen.data_bytes >= machine.transmitted() && seen.last_state == final_state;
  }, [&] { return seen.data_bytes + static_cast<std::uint64_t>(seen.changes); });
  EXPECT_TRUE(data.ok()) << data.failure();
  EXPECT_EQ(seen.data_bytes, machine.transmitted());
  ASSERT_TRUE(seen.last_state.has_value()) << "no line state reached the peer";
  EXPECT_EQ(*seen.last_state, final_state) << "after " << seen.changes << " changes";
  EXPECT_EQ(seen.data_before_last, machine.transmitted())
      << "the last change is not in order with the data";
  EXPECT_EQ(endpoint.tx_dropped(), 0u);
  std::cout << "[          ] " << machine.transmitted() << " transmitted; " << seen.changes << " of " << kChanges
            << " changes reached the peer\n";
}

INSTANTIATE_TEST_SUITE_P(Ip232SerialEndpointFaults, RtsBurstOnACongestedLine,
                         testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "EndingAsserted"
                                                         : "EndingDeasserted");
                         });

TEST(Ip232SerialEndpointFaults, ChurningServerKeepsTheTransmitBufferBounded) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  constexpr std::size_t kTxBuffer = 4096;
  Ip232SerialEndpoint endpoint(config_for(server.port(), kTxBuffer));
  // The machine writes without pause whenever the endpoint is ready.
  std::atomic<bool> machine_stop{false};
  std::atomic<std::size_t> largest{0};
  std::atomic<std::uint64_t> transmitted{0};
  std::atomic<std::uint64_t> dropped{0};
  std::thread machine_side([&] {
    MachineSide machine(endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kNever);
    while (!machine_stop.load()) {
      if (machine.transmit(kTxBuffer) == 0) std::this_thread::yield();
      largest.store(std::max(largest.load(), endpoint.tx_pending_size()));
    }
    transmitted.store(machine.transmitted());
    dropped.store(endpoint.tx_dropped());
  });
  // Connections that end as soon as they are accepted, in order or with a
  // reset: each takes a batch or fails it.
  constexpr int kChurned = 12;
  int churned = 0;
  for (; churned < kChurned; ++churned) {
    std::optional<TcpStream> stream = server.take_connection(kReconnectWaitMs);
    if (!stream) break;
    if (churned % 2 == 0) {
      stream->reset();
    } else {
      stream->close();
    }
  }
  std::optional<TcpStream> good = server.take_connection(kReconnectWaitMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  machine_stop.store(true);
  machine_side.join();
  ASSERT_EQ(churned, kChurned);
  ASSERT_TRUE(good.has_value());

  // What went to the closing servers is gone in flight; from the good
  // connection on, everything arrives, in order, once.
  LineDecoder decoder(false);
  PatternReceiver peer_received(kMachineSeed, PatternReceiver::Gaps::kAllowed);
  peer_read_until(*good, decoder, peer_received, transmitted.load());
  EXPECT_TRUE(peer_received.ok()) << peer_received.failure();
  EXPECT_EQ(peer_received.next_position(), transmitted.load());
  EXPECT_EQ(dropped.load(), 0u);
  EXPECT_LE(largest.load(), Ip232SerialEndpoint::tx_bound(kTxBuffer));
  std::cout << "[          ] largest transmit buffer " << largest.load() << " bytes, "
            << transmitted.load() << " written\n";
}

// --- Destroying an endpoint while it is busy -------------------------------

enum class Busy { kConnecting, kReading, kWriting };

struct DestroyCase {
  const char* name;
  Busy busy;
  // How the peer it is busy with serves; null: a port nobody listens on.
  LoopbackServer::Handler (*peer)();
};
void PrintTo(const DestroyCase& c, std::ostream* os) { *os << c.name; }

class DestroyWhileBusy : public testing::TestWithParam<DestroyCase> {};

TEST_P(DestroyWhileBusy, EndsPromptlyAndLeavesNoThread) {
  const DestroyCase& c = GetParam();
  // The peer outlives every endpoint of the loop.
  std::optional<LoopbackServer> peer;
  std::uint16_t port = quorvex::test::refused_port();
  if (c.peer) {
    peer.emplace(LoopbackServer::Options{
        .receive_buffer_bytes = c.busy == Busy::kWriting ? 4096 : 0, .serve = c.peer()});
    ASSERT_TRUE(peer->ok()) << peer->error();
    port = peer->port();
  }
  const ThreadCountCheck threads;
  std::mt19937 random(1234);
  IterationBudget budget;
  std::int64_t slowest = 0;
  while (budget.another()) {
    auto endpoint = std::make_unique<Ip232SerialEndpoint>(config_for(port));
    MachineSide machine(*endpoint, kMachineSeed, kPeerSeed, PatternReceiver::Gaps::kNever);
    switch (c.busy) {
      case Busy::kConnecting:
        // Somewhere in the first few milliseconds: resolving, connecting,
        // publishing, or backing off after a refusal.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        break;
      case Busy::kReading:
        // The queue full: the connector waits for room, not for the socket.
        ASSERT_TRUE(wait_until([&] {
          return endpoint->rx_queue_size() == Ip232SerialEndpoint::kRxQueueLimit;
        })) << "iteration " << budget.done();
        if (random() % 2 == 0) machine.receive();
        break;
      case Busy::kWriting:
        ASSERT_TRUE(wait_until([&] {
          machine.transmit(4096);
          return endpoint->tx_pending_size() > 0 && !endpoint->ready_for_byte();
        })) << "iteration " << budget.done();
        break;
    }
    const auto start = Clock::now();
    endpoint.reset();
    slowest = std::max(slowest, ms_since(start));
  }
  // Destruction waits for at most one read (100 ms) or one connect attempt
  // (2000 ms per address); anything near the patient bound is a hang.
  EXPECT_LT(slowest, kPatientWaitMs) << "slowest destruction";
  threads.expect_back();
  std::cout << "[          ] " << budget.done() << " endpoints destroyed, slowest "
            << slowest << " ms\n";
}

INSTANTIATE_TEST_SUITE_P(
    Ip232SerialEndpointFaults, DestroyWhileBusy,
    testing::Values(
        DestroyCase{"ConnectingToARefusedPort", Busy::kConnecting, nullptr},
        DestroyCase{"ConnectingToAPeerThatCloses", Busy::kConnecting,
                    quorvex::test::close_at_once},
        DestroyCase{"ConnectingToAPeerThatResets", Busy::kConnecting,
                    quorvex::test::reset_at_once},
        DestroyCase{"ReadingFromAFloodingPeer", Busy::kReading, quorvex::test::flood},
        DestroyCase{"WritingToAPeerThatNeverReads", Busy::kWriting,
                    quorvex::test::never_read}),
    [](const testing::TestParamInfo<DestroyCase>& info) {
      return std::string(info.param.name);
    });

TEST(Ip232SerialEndpointFaults, DestroyDuringAnUnansweredConnectWaitsForTheAttempt) {
  quorvex::test::UnansweredListener unanswered;
  if (!unanswered.ok()) GTEST_SKIP() << unanswered.reason();
  const ThreadCountCheck threads;
  for (int i = 0; i < 2; ++i) {
    auto endpoint = std::make_unique<Ip232SerialEndpoint>(config_for(unanswered.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(endpoint->is_connected());
    EXPECT_EQ(endpoint->status_text(), "");  // no failure yet: still trying
    const auto start = Clock::now();
    endpoint.reset();
    // The attempt in progress ends by its 2000 ms timeout at the latest.
    EXPECT_LT(ms_since(start), Ip232SerialEndpoint::kConnectTimeout.count() + kPatientWaitMs);
  }
  threads.expect_back();
}

TEST(Ip232SerialEndpointFaults, DestroyDuringAMultiAddressConnectDoesNotWaitForTheList) {
  // The name must resolve to several addresses, which needs a hosts file of
  // the test's own: tests/with_hosts_file.sh runs this test in a private
  // mount namespace with one and names the host here.
  const char* host = std::getenv("IP232_MULTI_ADDRESS_HOST");
  if (host == nullptr || *host == '\0') {
    GTEST_SKIP() << "needs a name with several addresses: run through "
                    "tests/with_hosts_file.sh (Linux, root)";
  }
  // 127.0.0.2 to 127.0.0.6, one port, every accept queue full.
  std::vector<std::unique_ptr<quorvex::test::UnansweredListener>> listeners;
  std::uint16_t port = 0;
  for (int last = 2; last <= 6; ++last) {
    listeners.push_back(std::make_unique<quorvex::test::UnansweredListener>(
        "127.0.0." + std::to_string(last), port));
    if (!listeners.back()->ok()) GTEST_SKIP() << listeners.back()->reason();
    port = listeners.back()->port();
  }
  const ThreadCountCheck threads;
  EndpointConfig config = config_for(port);
  config.host = host;
  auto endpoint = std::make_unique<Ip232SerialEndpoint>(std::move(config));
  // Well into the list: the second or third address.
  std::this_thread::sleep_for(
      Ip232SerialEndpoint::kConnectTimeout * 5 / 2);
  EXPECT_FALSE(endpoint->is_connected());
  const auto start = Clock::now();
  endpoint.reset();
  const std::int64_t took = ms_since(start);
  // The address being tried is abandoned at once; without that the stop
  // would wait for the rest of its timeout and then for every other address.
  EXPECT_LT(took, Ip232SerialEndpoint::kConnectTimeout.count());
  threads.expect_back();
  std::cout << "[          ] destroyed during a 5-address connect in " << took
            << " ms\n";
}

// --- Attach and detach through the extension ------------------------------

TEST(Ip232SerialExtensionFaults, AttachDetachCyclesLeaveNothingRunning) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  const ThreadCountCheck threads;
  quorvex::SerialPort port;
  quorvex::ExtensionContext context;
  context.serial_port = &port;
  const auto extension = quorvex::test::make_extension(
      {{"host", kLoopbackIpv4}, {"port", std::to_string(server.port())}, {"handshake", "0"}});

  IterationBudget budget;
  int exchanged = 0;
  while (budget.another()) {
    {
      // attach prints a line each time; kept out of the test's output.
      const quorvex::test::CoutCapture capture;
      extension->attach(context);
    }
    ASSERT_NE(port.controller.sink, nullptr);
    std::optional<TcpStream> peer = server.take_connection();
    ASSERT_TRUE(peer.has_value()) << "cycle " << budget.done();
    // Every other cycle carries a byte each way before the detach; the
    // others detach at once, perhaps before the endpoint has published
    // its connection.
    if (budget.done() % 2 == 0) {
      ASSERT_TRUE(wait_until([&] { return port.controller.sink->ready_for_byte(); }));
      port.controller.sink->write_byte(0x41);
      ASSERT_EQ(quorvex::test::receive_bytes(*peer, 1), std::vector<std::uint8_t>{0x41});
      const std::uint8_t reply[] = {0xFF, 0xFF};
      ASSERT_TRUE(peer->send_all(reply));
      ASSERT_TRUE(wait_until([&] { return port.controller.source->has_byte(); }));
      EXPECT_EQ(port.controller.source->read_byte(), 0xFF);
      ++exchanged;
    }
    extension->detach();
    EXPECT_EQ(port.device, nullptr);
    EXPECT_EQ(port.controller.source, nullptr);
    EXPECT_EQ(port.controller.sink, nullptr);
    // The detached endpoint closed its connection.
    EXPECT_TRUE(quorvex::test::wait_for_end(*peer)) << "cycle " << budget.done();
  }
  EXPECT_EQ(server.accepted_count(), static_cast<std::size_t>(budget.done()));
  threads.expect_back();
  std::cout << "[          ] " << budget.done() << " attach/detach cycles, "
            << exchanged << " with traffic\n";
}

}  // namespace
