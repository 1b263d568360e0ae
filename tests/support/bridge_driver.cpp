#include "tests/support/bridge_driver.h"

#include <cstdlib>
#include <string>

namespace quorvex::test {
namespace {

// How long the peer's thread waits for a connection before it looks at its
// stop flag again.
constexpr int kPeerPollMs = 20;
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

MisbehavingPeer::MisbehavingPeer(Behaviour behaviour,
                                 LoopbackServer::Options options)
    : behaviour_(behaviour), server_(std::move(options)) {
  if (server_.ok()) thread_ = std::thread([this] { serve(); });
}

MisbehavingPeer::~MisbehavingPeer() {
  stopping_.store(true);
  if (thread_.joinable()) thread_.join();
}

void MisbehavingPeer::serve() {
  const PatternStream flood_stream(0xF100D);
  while (!stopping_.load()) {
    std::optional<net::TcpStream> stream = server_.take_connection(kPeerPollMs);
    if (!stream) continue;
    handled_.fetch_add(1);
    switch (behaviour_) {
      case Behaviour::kCloseAtOnce:
        stream->close();
        break;
      case Behaviour::kResetAtOnce:
        stream->reset();
        break;
      case Behaviour::kNeverRead:
        held_.push_back(std::move(*stream));
        break;
      case Behaviour::kFlood: {
        // Ends when the bridge closes the connection, or when this peer is
        // being destroyed (the bridge is gone by then: its destructor
        // closed the connection).
        std::uint64_t position = 0;
        while (!stopping_.load()) {
          const std::vector<std::uint8_t> chunk = coded_pattern(
              flood_stream, position, kFloodChunkBytes, false);
          if (!stream->send_all(chunk)) break;
          position += kFloodChunkBytes;
        }
        break;
      }
    }
  }
  held_.clear();
}

}  // namespace quorvex::test
