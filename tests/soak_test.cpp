// A soak of the bridge endpoint: for a bounded time (IP232_SOAK_SECONDS,
// default 20) a peer accepts connection after connection, exchanges pattern
// data with the emulated machine in both directions, and ends each
// connection at a random moment - mostly in order, sometimes with a reset,
// sometimes by hanging up while the machine goes on typing.
//
// What must hold on every connection:
// - machine to peer: the bytes arrive in order, unchanged, each once; after
//   an orderly close the next connection goes on exactly where the last
//   one stopped; after a reset or a hang-up at most the bytes in flight are
//   gone (one gap, at the start of the next connection);
// - peer to machine: every byte the peer sent arrives, in order, unchanged
//   (before a reset or a hang-up the peer waits until the machine has
//   them all);
// - the machine never writes into a full transmit buffer and the receive
//   queue never holds more than its 4096 bytes;
// - heap in use and thread count stay flat, and every thread ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "ip232/ip232_serial_endpoint.h"
#include "ip232/line_coding.h"
#include "tools/net/tcp_stream.h"
#include "tests/support/bridge_driver.h"
#include "tests/support/bridge_line.h"
#include "tests/support/loopback_server.h"
#include "tests/support/pattern_stream.h"
#include "tests/support/process_stats.h"

namespace {

using quorvex::ip232::Ip232SerialEndpoint;
using quorvex::ip232::LineDecoder;
using quorvex::net::TcpStream;
using quorvex::test::env_int;
using quorvex::test::LoopbackServer;
using quorvex::test::MachineSide;
using quorvex::test::PatternReceiver;
using quorvex::test::PatternStream;
using quorvex::test::wait_until;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint64_t kMachineSeed = 0x50A40001;  // machine to peer
constexpr std::uint64_t kPeerSeed = 0x50A40002;     // peer to machine
// Most pattern bytes the peer has sent that the machine has not yet read.
constexpr std::uint64_t kPeerLeadBytes = 256 * 1024;
// Most bytes the transmit buffer may hold at a time (tx_buffer 4096).
constexpr std::size_t kTransmitBufferBound = Ip232SerialEndpoint::tx_bound(4096);
// Anything the soak waits for at a close (the bridge noticing it, the
// machine reading what is queued) comes well within this.
constexpr int kCloseWaitMs = 10000;
// Heap in use is sampled every 100 ms. Buffers and connections come and go,
// so single samples jump; what must not grow is the floor: the least heap
// in use during the last quarter of the run, against the second quarter.
constexpr milliseconds kHeapSampleInterval{100};
constexpr std::size_t kFlatHeapBytes = 256 * 1024;

// The least of the samples taken in [from, to) of the run.
std::optional<std::size_t> floor_between(
    const std::vector<std::pair<double, std::size_t>>& samples, double from,
    double to) {
  std::optional<std::size_t> least;
  for (const auto& [at, bytes] : samples) {
    if (at >= from && at < to) least = std::min(least.value_or(bytes), bytes);
  }
  return least;
}

struct PeerFigures {
  int connections = 0;
  int orderly = 0;
  int resets = 0;
  int hang_ups = 0;
  std::uint64_t sent_before_hang_ups = 0;  // peer bytes checked at hang-ups
  std::uint64_t sent = 0;          // pattern bytes sent to the machine
  std::uint64_t received = 0;      // pattern bytes received from it
  std::uint64_t lost_in_resets = 0;   // machine bytes gone in flight at
                                      // resets and hang-ups
  std::uint64_t lost_elsewhere = 0;   // machine bytes lost anywhere else
  std::vector<std::string> failures;
};

// Codes pattern bytes for the wire as a real peer's stream might carry
// them: now and then a line-state sequence or an unknown escape between
// data bytes, which the bridge must drop.
std::vector<std::uint8_t> peer_chunk(const PatternStream& stream,
                                     std::uint64_t position, std::size_t count,
                                     std::mt19937_64& random) {
  static constexpr std::uint8_t kNoise[] = {0x00, 0x01, 0x7E};
  std::vector<std::uint8_t> out;
  out.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    if (random() % 64 == 0) {
      out.push_back(quorvex::ip232::kEscapeByte);
      out.push_back(kNoise[random() % 3]);
    }
    quorvex::ip232::append_data_byte(false, stream.byte_at(position + i), out);
  }
  return out;
}

// The peer: serves the server's connections, one after another, until
// told to finish, then one last connection that only takes what the
// machine has still to send. It must outlive the server.
class SoakPeer {
 public:
  explicit SoakPeer(const std::atomic<std::uint64_t>& machine_received)
      : machine_received_(machine_received) {}

  LoopbackServer::Handler handler() {
    return [this](TcpStream& stream, const std::atomic<bool>& stopping) {
      take(stream, stopping);
    };
  }

  // Resets no more connections; ends the current one in order and serves
  // a last one that only takes what the machine sends until it stops.
  // Once it returns no connection ends with a reset or a hang-up any more,
  // so that what the machine writes from then on cannot be lost in flight.
  void finish() {
    const std::lock_guard<std::mutex> lock(abrupt_end_lock_);
    finishing_.store(true);
  }
  // The machine has stopped after writing `transmitted` bytes in all.
  void machine_stopped(std::uint64_t transmitted) {
    final_position_.store(transmitted);
    machine_stopped_.store(true);
  }
  bool done() const { return done_.load(); }
  // Pattern bytes sent to the machine so far.
  std::uint64_t sent() const { return sent_.load(); }
  // Once done().
  const PeerFigures& figures() const { return figures_; }
  std::uint64_t received_position() const { return received_.next_position(); }

 private:
  // One connection, closed by the time it returns; ignored once done.
  void take(TcpStream& stream, const std::atomic<bool>& stopping) {
    stopping_ = &stopping;
    if (!done_.load() && !stopping.load() && !serve_and_check(stream)) {
      figures_.sent = sent_.load();
      figures_.received = received_.next_position() - received_.skipped();
      done_.store(true);
    }
    stream.close();
  }

  // Serves `stream` and checks what arrived on it; false once the peer is
  // done (the last connection drained, or the bytes went wrong).
  bool serve_and_check(TcpStream& stream) {
    const bool draining = finishing_.load();
    ++figures_.connections;
    const std::uint64_t gaps_before = received_.gaps();
    const std::uint64_t skipped_before = received_.skipped();
    const std::uint64_t position_before = received_.next_position();
    End wanted = End::kOrderly;
    if (const auto pick = random_() % 4; pick == 0) {
      wanted = End::kReset;
    } else if (pick == 1) {
      wanted = End::kHangUp;
    }
    const End ended = draining ? End::kOrderly : serve(stream, wanted);
    const bool reset = ended != End::kOrderly;
    if (draining) drain(stream);
    // A short run after a gap that is still held back is placed now only
    // if a reset follows; after an orderly close the next connection goes
    // on where it stopped, and the run grows long enough to be placed for
    // sure.
    if (reset) received_.settle();
    const std::uint64_t new_gaps = received_.gaps() - gaps_before;
    const std::uint64_t lost = received_.skipped() - skipped_before;
    if (!received_.ok()) {
      fail("connection " + std::to_string(figures_.connections) + ": " +
           received_.failure());
      return false;
    }
    if (new_gaps > (gap_expected_ ? 1u : 0u)) {
      fail("connection " + std::to_string(figures_.connections) + " lost " +
           std::to_string(lost) + " bytes in " + std::to_string(new_gaps) +
           " gaps after " + (gap_expected_ ? "a reset" : "an orderly close"));
    }
    if (gap_expected_ && new_gaps <= 1) {
      figures_.lost_in_resets += lost;
    } else {
      figures_.lost_elsewhere += lost;
    }
    // Bytes that went on without a gap settle the question too.
    const bool went_on = new_gaps == 0 && received_.next_position() > position_before;
    gap_expected_ = reset || (gap_expected_ && new_gaps == 0 && !went_on);
    if (ended == End::kReset) {
      ++figures_.resets;
    } else if (ended == End::kHangUp) {
      ++figures_.hang_ups;
    } else {
      ++figures_.orderly;
    }
    return !draining;
  }

  enum class End { kOrderly, kReset, kHangUp };

  // One connection: traffic both ways until a random moment, then the end
  // `wanted` (an orderly one when finishing). Returns how it ended.
  End serve(TcpStream& stream, End wanted) {
    LineDecoder decoder(false);
    const std::uint64_t sent_at_start = sent_.load();
    const auto end = Clock::now() + milliseconds(random_() % 1500);
    while (Clock::now() < end && received_.ok() && !stopping_->load()) {
      // The peer stays at most kPeerLeadBytes ahead of the machine, so that
      // a close never waits long for a backlog where the line is slow.
      if (random_() % 2 == 0 && sent_.load() < machine_received_.load() + kPeerLeadBytes) {
        const std::size_t count = 1 + random_() % 8192;
        if (!stream.send_all(peer_chunk(peer_stream_, sent_.load(), count, random_))) {
          fail("send failed on a live connection");
          return End::kOrderly;
        }
        sent_.fetch_add(count);
      }
      quorvex::test::receive_decoded(stream, decoder, received_, 2);
    }
    // Reads on until the machine has everything sent so far.
    const auto machine_caught_up = [&] {
      return wait_until([&] {
        quorvex::test::receive_decoded(stream, decoder, received_, 1);
        return machine_received_.load() >= sent_.load();
      }, kCloseWaitMs);
    };
    if (wanted == End::kHangUp && !finishing_.load()) {
      // The machine goes on typing. Once the machine has what was sent,
      // the peer takes what has arrived and closes; the keys that follow
      // are answered with a reset. (Bytes still unread when a reset comes
      // are Windows' loss, not the bridge's: the fault tests cover them
      // where the system keeps them.)
      if (!machine_caught_up()) fail("the machine fell behind before a hang-up");
      {
        const std::lock_guard<std::mutex> lock(abrupt_end_lock_);
        if (!finishing_.load()) {
          for (int i = 0;
               i < 64 && quorvex::test::receive_decoded(stream, decoder, received_, 0);
               ++i) {
          }
          stream.close();
        }
      }
      if (!stream.valid()) {
        const std::uint64_t sent_at_close = sent_.load();
        if (!wait_until([&] { return machine_received_.load() >= sent_at_close; },
                        kCloseWaitMs)) {
          fail("bytes sent before a hang-up never reached the machine: " +
               std::to_string(machine_received_.load()) + " of " +
               std::to_string(sent_at_close));
        }
        figures_.sent_before_hang_ups += sent_at_close - sent_at_start;
        return End::kHangUp;
      }
    }
    if (wanted == End::kReset && !finishing_.load()) {
      // Every byte sent must reach the machine first: a reset may discard
      // what the bridge's socket holds unread, which is TCP's loss, not
      // the bridge's.
      if (!machine_caught_up()) {
        fail("the machine did not get the peer's bytes before a reset");
      }
      const std::lock_guard<std::mutex> lock(abrupt_end_lock_);
      if (!finishing_.load()) {
        stream.reset();
        return End::kReset;
      }
    }
    // Orderly: no more data from this side; everything the bridge sent
    // before it saw the end is still read.
    stream.shutdown_send();
    const auto deadline = Clock::now() + milliseconds(kCloseWaitMs);
    while (quorvex::test::receive_decoded(stream, decoder, received_, 50)) {
      if (Clock::now() > deadline) {
        fail("the bridge did not close after an orderly close");
        break;
      }
    }
    return End::kOrderly;
  }

  // The last connection: takes what the machine sends until it stops.
  // The machine goes on writing for a while after finish(), so its last
  // bytes were written after the last reset: none of them can have been
  // lost in flight, and every one must arrive here.
  void drain(TcpStream& stream) {
    LineDecoder decoder(false);
    if (!wait_until([&] {
          quorvex::test::receive_decoded(stream, decoder, received_, 5);
          return machine_stopped_.load();
        }, 2 * kCloseWaitMs)) {
      fail("the machine did not stop");
      return;
    }
    const std::uint64_t target = final_position_.load();
    if (!wait_until([&] {
          quorvex::test::receive_decoded(stream, decoder, received_, 5);
          return received_.next_position() + received_.held_back() >= target ||
                 !received_.ok();
        }, kCloseWaitMs)) {
      fail("the last connection did not deliver the machine's last bytes");
    }
    // A short run after a gap is placed by where it must end.
    received_.settle_ending_at(target);
  }

  void fail(std::string message) {
    const std::lock_guard<std::mutex> lock(failures_lock_);
    figures_.failures.push_back(std::move(message));
  }

  const std::atomic<std::uint64_t>& machine_received_;
  const PatternStream peer_stream_{kPeerSeed};
  std::mt19937_64 random_{42};
  PatternReceiver received_{kMachineSeed, PatternReceiver::Gaps::kAllowed};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<bool> finishing_{false};
  std::atomic<bool> machine_stopped_{false};
  std::atomic<std::uint64_t> final_position_{0};
  const std::atomic<bool>* stopping_ = nullptr;  // the server's, for the loops
  // The machine's bytes may resume after a gap: set by a reset, kept until
  // the bytes show whether they did (a connection after a reset may carry
  // none at all).
  bool gap_expected_ = false;
  std::atomic<bool> done_{false};
  std::mutex failures_lock_;
  // Held while a connection ends with a reset or a hang-up, and by finish().
  std::mutex abrupt_end_lock_;
  PeerFigures figures_;  // written by the server's thread until done_
};

TEST(Ip232SerialEndpointSoak, EveryConnectionDeliversExactlyWhatWasSent) {
  const int seconds = env_int("IP232_SOAK_SECONDS", 20);
  const std::optional<std::size_t> threads_before = quorvex::test::baseline_thread_count();
  // (fraction of the run, heap bytes in use)
  std::vector<std::pair<double, std::size_t>> heap_samples;
  std::size_t most_threads = 0;
  std::size_t largest_rx_queue = 0;
  std::size_t largest_tx_pending = 0;
  PeerFigures figures;
  std::uint64_t machine_transmitted = 0;
  std::uint64_t machine_received = 0;
  std::uint64_t tx_dropped = 0;
  int rts_changes = 0;
  {
    std::atomic<std::uint64_t> received_total{0};
    SoakPeer peer(received_total);
    // Declared before the endpoint: should the soak stop half-way, the
    // endpoint goes first and its closed connection frees the peer.
    LoopbackServer server({.serve = peer.handler()});
    ASSERT_TRUE(server.ok()) << server.error();
    // Line-state pairs travel with the data.
    Ip232SerialEndpoint endpoint(
        quorvex::test::endpoint_config({.port = server.port(), .handshake = true}));
    MachineSide machine(endpoint, kMachineSeed, kPeerSeed,
                        PatternReceiver::Gaps::kNever);

    std::mt19937_64 random(7);
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    auto next_heap_sample = start;
    heap_samples.reserve(static_cast<std::size_t>(seconds) * 10 + 10);
    auto next_rts = start;
    bool rts = true;
    const auto observe = [&] {
      largest_rx_queue = std::max(largest_rx_queue, endpoint.rx_queue_size());
      largest_tx_pending = std::max(largest_tx_pending, endpoint.tx_pending_size());
      if (const auto count = quorvex::test::process_thread_count()) {
        most_threads = std::max(most_threads, *count);
      }
    };
    while (Clock::now() < end && machine.received().ok()) {
      const std::size_t moved = machine.transmit(1 + random() % 4096) + machine.receive();
      received_total.store(machine.received().next_position());
      if (Clock::now() >= next_rts) {
        rts = !rts;
        endpoint.set_rts(rts);
        ++rts_changes;
        next_rts += milliseconds(50);
      }
      if (Clock::now() >= next_heap_sample) {
        if (const auto bytes = quorvex::test::heap_bytes_in_use()) {
          const std::chrono::duration<double> elapsed = Clock::now() - start;
          heap_samples.emplace_back(elapsed.count() / seconds, *bytes);
        }
        next_heap_sample += kHeapSampleInterval;
      }
      observe();
      if (moved == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    // The peer resets no more connections; the machine writes 4 KB more,
    // so that its last bytes come after any reset, and stops. The peer
    // ends its connection in order and takes the rest on one last
    // connection, while the machine reads on.
    peer.finish();
    const std::uint64_t at_finish = machine.transmitted();
    wait_until([&] {
      machine.transmit(4096);
      machine.receive();
      received_total.store(machine.received().next_position());
      return machine.transmitted() >= at_finish + 4096;
    }, kCloseWaitMs);
    peer.machine_stopped(machine.transmitted());
    const bool peer_finished = wait_until([&] {
      machine.receive();
      received_total.store(machine.received().next_position());
      return peer.done();
    }, 6 * kCloseWaitMs);
    ASSERT_TRUE(peer_finished) << "the peer did not finish";
    EXPECT_TRUE(wait_until([&] {
      machine.receive();
      return machine.received().next_position() >= peer.sent() ||
             !machine.received().ok();
    }, kCloseWaitMs));
    figures = peer.figures();
    EXPECT_TRUE(machine.received().ok()) << machine.received().failure();
    EXPECT_EQ(machine.received().next_position(), peer.sent())
        << "bytes the peer sent never reached the machine";
    EXPECT_EQ(peer.received_position(), machine.transmitted())
        << "bytes the machine wrote never reached the peer";
    machine_transmitted = machine.transmitted();
    machine_received = machine.received().next_position();
    tx_dropped = endpoint.tx_dropped();
  }

  for (const std::string& failure : figures.failures) ADD_FAILURE() << failure;
  EXPECT_GE(figures.connections, 3) << "too few connections to mean anything";
  EXPECT_EQ(tx_dropped, 0u) << "the machine wrote into a full transmit buffer";
  EXPECT_LE(largest_rx_queue, Ip232SerialEndpoint::kRxQueueLimit);
  // The unsent rest of a batch goes back ahead of what the machine wrote
  // meanwhile, so the buffer may briefly hold several buffers' worth while
  // a lost connection is not yet noticed; it must not grow without bound.
  EXPECT_LE(largest_tx_pending, kTransmitBufferBound);
  EXPECT_EQ(figures.lost_elsewhere, 0u);
  const std::optional<std::size_t> heap_early = floor_between(heap_samples, 0.25, 0.5);
  const std::optional<std::size_t> heap_late = floor_between(heap_samples, 0.75, 1.0);
  if (heap_early && heap_late) {
    EXPECT_LE(*heap_late, *heap_early + kFlatHeapBytes) << "heap in use grew";
  }
  if (threads_before) {
    // The server's acceptor and serving thread and the endpoint's two.
    EXPECT_LE(most_threads, *threads_before + 4);
    const auto after = quorvex::test::settled_thread_count(*threads_before, kCloseWaitMs);
    EXPECT_EQ(after, threads_before) << "threads left running";
  }

  const auto mb = [](std::uint64_t bytes) { return static_cast<double>(bytes) / 1e6; };
  std::cout << std::fixed << std::setprecision(1) << "[   SOAK   ] " << seconds
            << " s, " << figures.connections << " connections (" << figures.orderly
            << " orderly closes, " << figures.resets << " resets, " << figures.hang_ups
            << " hang-ups while the machine typed), " << rts_changes
            << " request-to-send changes\n"
            << "[   SOAK   ] machine to peer " << mb(machine_transmitted)
            << " MB, peer to machine " << mb(machine_received) << " MB\n"
            << "[   SOAK   ] lost: peer to machine "
            << (machine_received == figures.sent ? 0 : figures.sent - machine_received)
            << ", machine to peer after orderly closes " << figures.lost_elsewhere
            << ", " << figures.lost_in_resets << " machine bytes in flight at "
            << figures.resets + figures.hang_ups
            << " resets and hang-ups; refused by a full buffer: " << tx_dropped << "\n"
            << "[   SOAK   ] peer bytes sent before hang-ups, each checked at the machine: "
            << figures.sent_before_hang_ups << "\n"
            << "[   SOAK   ] largest receive queue " << largest_rx_queue
            << ", largest transmit buffer " << largest_tx_pending
            << ", least heap in use (second quarter -> last quarter) "
            << (heap_early ? std::to_string(*heap_early) : "-") << " -> "
            << (heap_late ? std::to_string(*heap_late) : "-") << " bytes, threads "
            << (threads_before ? std::to_string(*threads_before) : "-") << " -> at most "
            << (threads_before ? std::to_string(most_threads) : "-") << "\n";
}

}  // namespace
