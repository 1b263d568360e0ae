// The data the benchmark sends: a fixed pseudo-random byte sequence that
// both ends generate, its line coding for the wire, and a checker that
// decodes what arrives and compares it with the sequence.

#ifndef QUORVEX_BENCH_TRAFFIC_H_
#define QUORVEX_BENCH_TRAFFIC_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ip232/line_coding.h"

namespace quorvex::bench {

// Byte i of the payload is at(i). `ff_percent` of the bytes are 0xFF, the
// rest spread evenly over all values; the sequence repeats after a prime
// number of bytes so that a lost or repeated block shows up as a mismatch.
class Pattern {
 public:
  explicit Pattern(unsigned ff_percent);
  std::uint8_t at(std::uint64_t index) const {
    return bytes_[static_cast<std::size_t>(index % bytes_.size())];
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Appends payload bytes [first, first + count) to `wire` as they travel on
// the line: in mode "ip232" every 0xFF is doubled, in mode "raw" nothing
// changes.
void encode(const Pattern& pattern, bool raw, std::uint64_t first,
            std::size_t count, std::vector<std::uint8_t>& wire);

// Decodes a received byte stream and compares it with the pattern from
// payload byte 0 on. No line-state sequences are expected, so any escape
// other than 0xFF 0xFF counts as a mismatch.
class StreamChecker {
 public:
  StreamChecker(const Pattern& pattern, bool raw)
      : pattern_(&pattern), decoder_(raw) {}

  // Feeds bytes as they arrived; returns how many payload bytes they held.
  std::size_t feed(std::span<const std::uint8_t> wire);
  std::uint64_t payload_bytes() const { return payload_bytes_; }
  std::uint64_t mismatches() const { return mismatches_; }

 private:
  void take(std::uint8_t byte);

  const Pattern* pattern_;
  ip232::LineDecoder decoder_;
  std::uint64_t payload_bytes_ = 0;
  std::uint64_t mismatches_ = 0;
};

}  // namespace quorvex::bench

#endif  // QUORVEX_BENCH_TRAFFIC_H_
