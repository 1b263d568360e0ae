// TransmitBuffer: the coded bytes an endpoint holds for the network, and
// every rule about them: the coding of data bytes, the limits, the
// request-to-send pairs that are never refused, the batch the sender is
// writing, and what goes back when a connection did not take all of it.
//
// The bytes held are the batch in flight (taken by the sender, not yet
// finished) followed by the waiting bytes. Both count against the limits:
// ready() turns false at `ready_limit` bytes, add_data() refuses bytes once
// `ready_limit` + kOverrunBytes are held (a doubled 0xFF may end one byte
// above that), and a line-state pair that finds no room goes in past the
// limit once; later changes replace that pair while it still waits, or
// take its place after the batch when it is already being written. So the
// buffer never holds more than bound(ready_limit) bytes, and the last pair
// the peer receives is always the current state, after the data that came
// before it.
//
// A plain value without locks: the endpoint guards it with its transmit
// lock. The sender writes a batch outside that lock from its own copy.

#ifndef QUORVEX_IP232_TX_BUFFER_H_
#define QUORVEX_IP232_TX_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace quorvex::ip232 {

class TransmitBuffer {
 public:
  // Bytes accepted beyond the ready limit.
  static constexpr std::size_t kOverrunBytes = 64;

  // The hard limit: data bytes are refused once this many are held.
  static constexpr std::size_t hard_limit(std::size_t ready_limit) {
    return saturating_add(ready_limit, kOverrunBytes);
  }
  // Most bytes ever held: the hard limit, one byte of a doubled 0xFF past
  // it, and one line-state pair past that.
  static constexpr std::size_t bound(std::size_t ready_limit) {
    return saturating_add(hard_limit(ready_limit), 3);
  }

  // `raw`: mode "raw" (data bytes are not coded, no line state).
  TransmitBuffer(bool raw, std::size_t ready_limit);

  // Appends data byte `byte`, coded. False when the buffer was full: the
  // byte is refused and counted in dropped().
  bool add_data(std::uint8_t byte);
  // Appends the pair for a request-to-send change (mode "ip232"). Never
  // refused; see the header comment for where it goes without room.
  void add_line_state(bool asserted);

  // Whether the host may write another byte: fewer than ready_limit held.
  bool ready() const { return held() < ready_limit_; }
  // Bytes held: the batch in flight and the waiting bytes. The pair that
  // opens a connection (take_batch) is not counted.
  std::size_t held() const { return in_flight_ + waiting_.size(); }
  bool has_waiting() const { return !waiting_.empty(); }
  std::uint64_t dropped() const { return dropped_; }

  // Whether the members that place line-state pairs agree with the bytes
  // held: at most bound() bytes; a pair flag only where a pair really ends
  // the bytes; a state held back for after the batch only while a batch
  // that ends with a pair is in flight; none of it in mode "raw". Always
  // true; the randomized test checks it after every step.
  bool consistent() const;

  // Moves every waiting byte into `batch` (emptied first), after the pair
  // for `opening_state` when one is given (the line state that opens a new
  // connection). The batch stays held until finish_batch(). One batch at a
  // time.
  void take_batch(std::vector<std::uint8_t>& batch,
                  std::optional<bool> opening_state);
  // Ends the batch: its first `sent` bytes went out. The rest goes back,
  // ahead of the waiting bytes, from the start of a sequence that `sent`
  // cut in two (the next connection must not begin with half a pair); an
  // opening pair never goes back. `batch` is the one take_batch() filled.
  void finish_batch(std::span<const std::uint8_t> batch, std::size_t sent);

 private:
  static constexpr std::size_t saturating_add(std::size_t a, std::size_t b) {
    return a > std::numeric_limits<std::size_t>::max() - b
               ? std::numeric_limits<std::size_t>::max()
               : a + b;
  }
  void append_line_state(bool asserted);

  const bool raw_;
  const std::size_t ready_limit_;
  const std::size_t hard_limit_;

  std::vector<std::uint8_t> waiting_;
  // The last bytes of waiting_ are a request-to-send pair.
  bool waiting_ends_with_pair_ = false;
  // Bytes of the batch in flight that count against the limits, and the
  // size of the opening pair ahead of them in the batch.
  std::size_t in_flight_ = 0;
  std::size_t opening_bytes_ = 0;
  // The batch in flight ends with a request-to-send pair.
  bool batch_ends_with_pair_ = false;
  // A change made while nothing waits, the batch in flight ends with a pair
  // and there is no room: it follows the batch.
  std::optional<bool> state_after_batch_;
  std::uint64_t dropped_ = 0;
};

}  // namespace quorvex::ip232

#endif  // QUORVEX_IP232_TX_BUFFER_H_
