// Pattern streams for tests that must prove that bytes arrive exactly, in
// order, across connections that end at arbitrary points.
//
// A pattern stream is an endless pseudo-random byte sequence in which the
// byte at each position is a function of a seed and the position, so a
// receiver can check every byte without a copy of what was sent, and can
// find where a run of bytes belongs after a gap. About one byte in
// fourteen is 0xFF, so the escape coding is exercised throughout.

#ifndef QUORVEX_TESTS_SUPPORT_PATTERN_STREAM_H_
#define QUORVEX_TESTS_SUPPORT_PATTERN_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvex::test {

class PatternStream {
 public:
  explicit PatternStream(std::uint64_t seed) : seed_(seed) {}

  std::uint8_t byte_at(std::uint64_t position) const;
  // Fills `out` with the bytes from `position` on.
  void fill(std::uint64_t position, std::span<std::uint8_t> out) const;
  std::vector<std::uint8_t> bytes(std::uint64_t position, std::size_t count) const;
  // Whether `data` is the stream from `position` on.
  bool matches(std::uint64_t position, std::span<const std::uint8_t> data) const;

 private:
  std::uint64_t seed_;
};

// Follows a receiver through a pattern stream. Bytes must arrive in order
// and unchanged. Where the test allows gaps (bytes lost in flight when a
// connection was reset), a byte that does not follow on starts a new run,
// whose place is found from its first bytes; otherwise it is a failure.
class PatternReceiver {
 public:
  enum class Gaps { kNever, kAllowed };
  // A run after a gap is looked for this far ahead at most.
  static constexpr std::uint64_t kGapSearchBytes = 32u << 20;

  PatternReceiver(std::uint64_t seed, Gaps gaps) : stream_(seed), gaps_allowed_(gaps == Gaps::kAllowed) {}

  // Checks received bytes; false (with failure() set) at the first one
  // that does not belong. Stays false after a failure.
  bool take(std::span<const std::uint8_t> data);
  // Places a run after a gap that is still too short to be placed for
  // sure (call when no more bytes will come for now): at the earliest
  // place that fits.
  bool settle();
  // Same, for a run known to end just before position `end`.
  bool settle_ending_at(std::uint64_t end);
  // Bytes of a run after a gap, received but not yet placed.
  std::size_t held_back() const { return held_.size(); }

  // One past the last position received; bytes skipped over by gaps; gaps.
  std::uint64_t next_position() const { return next_; }
  std::uint64_t skipped() const { return skipped_; }
  std::uint64_t gaps() const { return gaps_; }
  bool ok() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

 private:
  bool place_held_back();
  bool place_held_back_at(std::uint64_t position);
  bool fail(std::string message);

  PatternStream stream_;
  bool gaps_allowed_;
  std::uint64_t next_ = 0;
  std::uint64_t skipped_ = 0;
  std::uint64_t gaps_ = 0;
  std::vector<std::uint8_t> held_;  // first bytes of a run being placed
  std::string failure_;
};

}  // namespace quorvex::test

#endif  // QUORVEX_TESTS_SUPPORT_PATTERN_STREAM_H_
