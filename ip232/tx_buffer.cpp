#include "ip232/tx_buffer.h"

#include "ip232/line_coding.h"

namespace quorvex::ip232 {

TransmitBuffer::TransmitBuffer(bool raw, std::size_t ready_limit)
    : raw_(raw), ready_limit_(ready_limit), hard_limit_(hard_limit(ready_limit)) {}

bool TransmitBuffer::add_data(std::uint8_t byte) {
  // A doubled 0xFF is not tested separately, so the buffer may end one
  // byte above the hard limit. The batch in flight counts too: putting it
  // back does not change the sum, so a host that honours ready() never has
  // a byte refused.
  if (held() >= hard_limit_) {
    ++dropped_;
    return false;
  }
  if (state_after_batch_) {
    // The change came before this byte: it goes first, counted like any
    // pair (held() was at most hard_limit_ - 1, so this stays in bound).
    append_line_state(*state_after_batch_);
    state_after_batch_.reset();
    if (held() >= hard_limit_) {
      ++dropped_;
      return false;
    }
  }
  append_data_byte(raw_, byte, waiting_);
  waiting_ends_with_pair_ = false;
  return true;
}

void TransmitBuffer::add_line_state(bool asserted) {
  if (held() + 2 <= hard_limit_) {
    append_line_state(asserted);
    return;
  }
  // No room. A pair that still waits at the end takes the new state (the
  // change in between is never sent). A pair that ends the batch in flight
  // cannot change any more: the new state follows the batch. Otherwise
  // this pair goes in past the limit; until data follows it, it is the
  // last pair held, so this happens once.
  if (waiting_ends_with_pair_) {
    waiting_.back() = rts_change(asserted)[1];
  } else if (waiting_.empty() && in_flight_ > 0 && batch_ends_with_pair_) {
    state_after_batch_ = asserted;
  } else {
    append_line_state(asserted);
  }
}

void TransmitBuffer::append_line_state(bool asserted) {
  append_rts_change(asserted, waiting_);
  waiting_ends_with_pair_ = true;
  // A newer state than one held back for after the batch.
  state_after_batch_.reset();
}

void TransmitBuffer::take_batch(std::vector<std::uint8_t>& batch,
                                std::optional<bool> opening_state) {
  batch.clear();
  if (opening_state) append_rts_change(*opening_state, batch);
  opening_bytes_ = batch.size();
  if (batch.empty()) {
    // Trades storage with the waiting bytes: no copy.
    batch.swap(waiting_);
  } else {
    batch.insert(batch.end(), waiting_.begin(), waiting_.end());
    waiting_.clear();
  }
  in_flight_ = batch.size() - opening_bytes_;
  batch_ends_with_pair_ = waiting_ends_with_pair_;
  waiting_ends_with_pair_ = false;
}

void TransmitBuffer::finish_batch(std::span<const std::uint8_t> batch,
                                  std::size_t sent) {
  const std::span<const std::uint8_t> data = batch.subspan(opening_bytes_);
  const std::size_t data_sent = sent > opening_bytes_ ? sent - opening_bytes_ : 0;
  const std::size_t from = resume_point(raw_, data, data_sent);
  if (from < data.size()) {
    // The returned bytes end where the batch ended: a pair that ends them
    // is the tail only when nothing was added after them.
    if (waiting_.empty()) waiting_ends_with_pair_ = batch_ends_with_pair_;
    waiting_.insert(waiting_.begin(), data.begin() + static_cast<std::ptrdiff_t>(from),
                    data.end());
  }
  in_flight_ = 0;
  opening_bytes_ = 0;
  batch_ends_with_pair_ = false;
  if (state_after_batch_) {
    const bool asserted = *state_after_batch_;
    state_after_batch_.reset();
    add_line_state(asserted);
  }
}

bool TransmitBuffer::consistent() const {
  const auto ends_with_pair = [](const std::vector<std::uint8_t>& bytes) {
    return bytes.size() >= 2 && bytes[bytes.size() - 2] == kEscapeByte &&
           bytes.back() <= 1;
  };
  if (held() > bound(ready_limit_)) return false;
  if (waiting_ends_with_pair_ && (raw_ || !ends_with_pair(waiting_))) return false;
  if (batch_ends_with_pair_ && (raw_ || in_flight_ < 2)) return false;
  if (state_after_batch_ && (raw_ || !batch_ends_with_pair_ || in_flight_ == 0)) {
    return false;
  }
  return !raw_ || opening_bytes_ == 0;
}

}  // namespace quorvex::ip232
