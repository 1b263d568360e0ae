#include "bench/traffic.h"

namespace quorvex::bench {
namespace {

// A prime length: no power-of-two buffer or chunk size divides it.
constexpr std::size_t kPatternLength = 65521;

}  // namespace

Pattern::Pattern(unsigned ff_percent) : bytes_(kPatternLength) {
  std::uint64_t state = 0x9E3779B97F4A7C15u;  // xorshift64, fixed seed
  for (std::uint8_t& byte : bytes_) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const bool ff = (state >> 32) % 100 < ff_percent;
    byte = ff ? ip232::kEscapeByte : static_cast<std::uint8_t>(state);
  }
}

void encode(const Pattern& pattern, bool raw, std::uint64_t first,
            std::size_t count, std::vector<std::uint8_t>& wire) {
  for (std::size_t i = 0; i < count; ++i) {
    ip232::append_data_byte(raw, pattern.at(first + i), wire);
  }
}

std::size_t StreamChecker::feed(std::span<const std::uint8_t> wire) {
  const std::uint64_t before = payload_bytes_;
  decoder_.decode_events(wire, [this](const ip232::LineEvent& event) {
    if (event.kind == ip232::LineEvent::Kind::kData) {
      take(event.byte);
    } else {
      ++mismatches_;
    }
  });
  return static_cast<std::size_t>(payload_bytes_ - before);
}

void StreamChecker::take(std::uint8_t byte) {
  if (byte != pattern_->at(payload_bytes_)) ++mismatches_;
  ++payload_bytes_;
}

}  // namespace quorvex::bench
