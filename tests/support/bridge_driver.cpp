#include "tests/support/bridge_driver.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace quorvex::test {
namespace {

// Bytes the flooding peer sends per call.
constexpr std::size_t kFloodChunkBytes = 16 * 1024;

}  // namespace

int env_int(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  const int value = std::atoi(text);
  return value > 0 ? value : fallback;
}

MachineSide::MachineSide(SerialPortDevice& device, std::uint64_t transmit_seed,
                         std::uint64_t receive_seed,
                         PatternReceiver::Gaps receive_gaps)
    : device_(device),
      transmit_stream_(transmit_seed),
      received_(receive_seed, receive_gaps) {
  // Allocated once, so that the tests' own heap use stays flat.
  scratch_.reserve(kReceiveBurstBytes);
}

std::size_t MachineSide::transmit(std::size_t max_bytes) {
  std::size_t written = 0;
  while (written < max_bytes && device_.ready_for_byte()) {
    device_.write_byte(transmit_stream_.byte_at(transmitted_));
    ++transmitted_;
    ++written;
  }
  return written;
}

void MachineSide::transmit_unasked(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    device_.write_byte(transmit_stream_.byte_at(transmitted_));
    ++transmitted_;
  }
}

std::size_t MachineSide::receive(std::size_t max_bytes) {
  scratch_.clear();
  // Bounded: the bridge refills its queue while the machine reads it.
  while (scratch_.size() < max_bytes && device_.has_byte()) {
    scratch_.push_back(device_.read_byte());
  }
  received_.take(scratch_);
  return scratch_.size();
}

std::vector<std::uint8_t> coded_pattern(const PatternStream& stream,
                                        std::uint64_t position,
                                        std::size_t count, bool raw) {
  return ip232::encode_data(raw, stream.bytes(position, count));
}

bool receive_decoded(net::TcpStream& stream, ip232::LineDecoder& decoder,
                     PatternReceiver& receiver, int timeout_ms) {
  std::uint8_t buffer[4096];
  const net::ReceiveResult result = stream.receive(buffer, timeout_ms);
  if (result.timed_out) return true;
  if (result.count == 0) return false;
  std::vector<std::uint8_t> decoded;
  decoder.decode(std::span<const std::uint8_t>(buffer, result.count), decoded);
  receiver.take(decoded);
  return true;
}

LoopbackServer::Handler flood() {
  return [](net::TcpStream& stream, const std::atomic<bool>& stopping) {
    const PatternStream flood_stream(0xF100D);
    // Ends when the bridge closes the connection, or when the server is
    // being destroyed (the bridge is gone by then: its destructor closed
    // the connection).
    for (std::uint64_t position = 0; !stopping.load(); position += kFloodChunkBytes) {
      if (!stream.send_all(coded_pattern(flood_stream, position, kFloodChunkBytes, false))) {
        break;
      }
    }
  };
}

void TalkingPeer::serve(net::TcpStream& stream, const std::atomic<bool>& stopping) {
  const PatternStream talk_stream(setup_.talk_seed);
  std::uint64_t sent = 0;
  bool sending = setup_.talks;
  std::uint8_t buffer[4096];
  while (!stopping.load()) {
    if (sending) {
      sending = stream.send_all(coded_pattern(talk_stream, sent, 512, true));
      sent += 512;
    }
    const net::ReceiveResult result = stream.receive(buffer, 5);
    if (result.error) break;
    if (!result.timed_out && result.count == 0) {
      ended_.store(true);
      if (!sending) break;
      // Half-closed: it may still talk, but reads no more.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    received_.take(std::span<const std::uint8_t>(buffer, result.count));
    if (setup_.read_pause_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(setup_.read_pause_ms));
    }
  }
}

}  // namespace quorvex::test
