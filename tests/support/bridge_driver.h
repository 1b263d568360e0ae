// Both ends of a bridge endpoint's line, as the fault and soak tests drive
// them: the emulated machine's side (the endpoint's source and sink faces,
// called from the test's thread) and peers for a LoopbackServer that flood
// it or talk and listen.
//
// The data in each direction is a pattern stream (pattern_stream.h), so
// every byte that arrives is checked for place and value.

#ifndef QUORVEX_TESTS_SUPPORT_BRIDGE_DRIVER_H_
#define QUORVEX_TESTS_SUPPORT_BRIDGE_DRIVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "api/serial_device.h"
#include "ip232/line_coding.h"
#include "tools/net/tcp_stream.h"
#include "tests/support/loopback_server.h"
#include "tests/support/pattern_stream.h"
#include "tests/support/waiting.h"

namespace quorvex::test {

// An integer from the environment variable `name`, or `fallback` when it
// is unset or not a positive number.
int env_int(const char* name, int fallback);

// The emulated machine: transmits a pattern stream through the sink while
// the device is ready for bytes, and checks what the source delivers
// against another.
class MachineSide {
 public:
  MachineSide(SerialPortDevice& device, std::uint64_t transmit_seed,
              std::uint64_t receive_seed, PatternReceiver::Gaps receive_gaps);

  // Writes pattern bytes while ready_for_byte() answers true, at most
  // `max_bytes`; returns how many it wrote.
  std::size_t transmit(std::size_t max_bytes);
  // Writes `count` pattern bytes without asking whether the device is
  // ready (bytes beyond its buffer are refused and counted by the device).
  void transmit_unasked(std::size_t count);
  static constexpr std::size_t kReceiveBurstBytes = 64 * 1024;
  // Takes the bytes the device holds now (at most `max_bytes`) and checks
  // them; returns how many.
  std::size_t receive(std::size_t max_bytes = kReceiveBurstBytes);

  std::uint64_t transmitted() const { return transmitted_; }
  const PatternReceiver& received() const { return received_; }

 private:
  SerialPortDevice& device_;
  PatternStream transmit_stream_;
  std::uint64_t transmitted_ = 0;
  PatternReceiver received_;
  std::vector<std::uint8_t> scratch_;
};

// The line coding of a peer: pattern bytes coded for the wire, and a
// decoder for what it receives (one per connection).
std::vector<std::uint8_t> coded_pattern(const PatternStream& stream,
                                        std::uint64_t position,
                                        std::size_t count, bool raw);

// Receives on `stream` for at most `timeout_ms`, decodes with `decoder` and
// checks with `receiver`; returns false once the stream ended or failed.
bool receive_decoded(net::TcpStream& stream, ip232::LineDecoder& decoder,
                     PatternReceiver& receiver, int timeout_ms);

// Handler for a LoopbackServer: sends a coded pattern stream (ip232 coding)
// as fast as the connection takes it, until it ends.
LoopbackServer::Handler flood();

// A peer on a LoopbackServer that checks what it receives against a
// pattern stream and, when it talks, sends raw-coded pattern bytes without
// pause (512 at a time), until the connection ends or the server stops.
// Meant for one connection (LoopbackServer::Options::served = 1); it must
// outlive the server.
class TalkingPeer {
 public:
  struct Setup {
    std::uint64_t talk_seed;     // what it sends
    std::uint64_t receive_seed;  // what it expects
    bool talks = true;
    // A pause after each read: a slow reader.
    int read_pause_ms = 0;
  };

  explicit TalkingPeer(Setup setup)
      : setup_(setup), received_(setup.receive_seed, PatternReceiver::Gaps::kNever) {}

  LoopbackServer::Handler handler() {
    return [this](net::TcpStream& stream, const std::atomic<bool>& stopping) {
      serve(stream, stopping);
    };
  }
  // The connection ended in order (end of stream).
  bool ended() const { return ended_.load(); }
  // Readable once ended() (nothing is received after the end).
  const PatternReceiver& received() const { return received_; }

 private:
  void serve(net::TcpStream& stream, const std::atomic<bool>& stopping);

  const Setup setup_;
  PatternReceiver received_;
  std::atomic<bool> ended_{false};
};

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_BRIDGE_DRIVER_H_
