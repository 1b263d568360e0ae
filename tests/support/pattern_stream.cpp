#include "tests/support/pattern_stream.h"

#include <algorithm>

namespace quorvex::test {
namespace {

// Bytes of a run after a gap that must match before its place is taken as
// found: 16 random bytes leave no doubt.
constexpr std::size_t kPlacementBytes = 16;

std::uint64_t mix(std::uint64_t x) {
  // splitmix64's finaliser.
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

}  // namespace

std::uint8_t PatternStream::byte_at(std::uint64_t position) const {
  const std::uint64_t word = mix(seed_ ^ mix(position / 8));
  const auto byte = static_cast<std::uint8_t>(word >> (8 * (position % 8)));
  // Low values become escape bytes, so that 0xFF is common.
  return byte < 0x12 ? std::uint8_t{0xFF} : byte;
}

void PatternStream::fill(std::uint64_t position,
                         std::span<std::uint8_t> out) const {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = byte_at(position + i);
}

std::vector<std::uint8_t> PatternStream::bytes(std::uint64_t position,
                                               std::size_t count) const {
  std::vector<std::uint8_t> out(count);
  fill(position, out);
  return out;
}

bool PatternStream::matches(std::uint64_t position,
                            std::span<const std::uint8_t> data) const {
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] != byte_at(position + i)) return false;
  }
  return true;
}

bool PatternReceiver::take(std::span<const std::uint8_t> data) {
  while (ok() && !data.empty()) {
    if (!held_.empty()) {
      const std::size_t hold =
          std::min(data.size(), kPlacementBytes - held_.size());
      held_.insert(held_.end(), data.begin(),
                   data.begin() + static_cast<std::ptrdiff_t>(hold));
      data = data.subspan(hold);
      if (held_.size() == kPlacementBytes) place_held_back();
      continue;
    }
    std::size_t i = 0;
    while (i < data.size() && data[i] == stream_.byte_at(next_ + i)) ++i;
    next_ += i;
    data = data.subspan(i);
    if (data.empty()) break;
    if (!gaps_allowed_) {
      return fail("byte at position " + std::to_string(next_) + " is " +
                  std::to_string(data.front()) + ", expected " +
                  std::to_string(stream_.byte_at(next_)));
    }
    // A new run after a gap: held back until its place is certain.
    held_.push_back(data.front());
    data = data.subspan(1);
  }
  return ok();
}

bool PatternReceiver::settle() {
  if (ok() && !held_.empty()) place_held_back();
  return ok();
}

bool PatternReceiver::settle_ending_at(std::uint64_t end) {
  if (!ok() || held_.empty()) return ok();
  if (end < next_ + 1 + held_.size() ||
      !stream_.matches(end - held_.size(), held_)) {
    return fail("the last " + std::to_string(held_.size()) +
                " bytes received are not the stream's bytes before position " +
                std::to_string(end));
  }
  return place_held_back_at(end - held_.size());
}

bool PatternReceiver::place_held_back_at(std::uint64_t position) {
  ++gaps_;
  skipped_ += position - next_;
  next_ = position + held_.size();
  held_.clear();
  return true;
}

bool PatternReceiver::place_held_back() {
  // The earliest place that fits. A short run may fit by chance earlier
  // than where it was sent, never later, so later bytes are never judged
  // against a position beyond their own.
  for (std::uint64_t p = next_ + 1; p <= next_ + kGapSearchBytes; ++p) {
    if (stream_.byte_at(p) == held_.front() && stream_.matches(p, held_)) {
      return place_held_back_at(p);
    }
  }
  return fail("bytes after position " + std::to_string(next_) +
              " match no later place in the stream");
}

bool PatternReceiver::fail(std::string message) {
  if (failure_.empty()) failure_ = std::move(message);
  return false;
}

}  // namespace quorvex::test
