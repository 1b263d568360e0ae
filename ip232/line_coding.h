// The in-band coding of the byte stream on an IP232 connection.
//
// In mode "ip232" the escape byte 0xFF introduces a two-byte sequence:
// 0xFF 0xFF is one data byte 0xFF, 0xFF 0x00 and 0xFF 0x01 are request-to-
// send deasserted and asserted. Every other byte is data. In mode "raw" the
// stream is data only and nothing is coded.
//
// These are plain value types without locks; their owner serialises use.

#ifndef QUORVEX_IP232_LINE_CODING_H_
#define QUORVEX_IP232_LINE_CODING_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvex::ip232 {

inline constexpr std::uint8_t kEscapeByte = 0xFF;
inline constexpr std::uint8_t kRtsDeasserted = 0x00;
inline constexpr std::uint8_t kRtsAsserted = 0x01;

// Bytes that one data byte takes on the wire: 2 for 0xFF in mode "ip232",
// else 1.
inline std::size_t coded_size(bool raw, std::uint8_t byte) {
  return (!raw && byte == kEscapeByte) ? 2 : 1;
}

// Where a coded stream may resume after its first `cut` bytes went out:
// `cut` itself when it falls between sequences, else the start of the
// sequence it cut in two, so that the sequence is sent again whole. The
// stream `coded` begins with a sequence; in mode "raw" every byte is one.
inline std::size_t resume_point(bool raw, std::span<const std::uint8_t> coded,
                                std::size_t cut) {
  if (raw) return cut;
  std::size_t at = 0;
  while (at < cut && at < coded.size()) {
    const std::size_t next = at + coded_size(false, coded[at]);
    if (next > cut) break;
    at = next;
  }
  return at;
}

// Appends the wire form of data byte `byte` to `out`.
template <typename ByteContainer>
void append_data_byte(bool raw, std::uint8_t byte, ByteContainer& out) {
  out.push_back(byte);
  if (!raw && byte == kEscapeByte) out.push_back(kEscapeByte);
}

// The wire form of a request-to-send change (mode "ip232" only).
inline constexpr std::array<std::uint8_t, 2> rts_change(bool asserted) {
  return {kEscapeByte, asserted ? kRtsAsserted : kRtsDeasserted};
}

// Appends the wire form of a request-to-send change (mode "ip232" only).
template <typename ByteContainer>
void append_rts_change(bool asserted, ByteContainer& out) {
  for (const std::uint8_t b : rts_change(asserted)) out.push_back(b);
}

// One step of a received stream. A decoder reports the steps in the order
// of their bytes on the wire, so line-state changes keep their place among
// the data.
struct LineEvent {
  enum class Kind : std::uint8_t {
    kData,            // `byte` is a data byte (0xFF 0xFF gives 0xFF)
    kRtsDeasserted,   // 0xFF 0x00
    kRtsAsserted,     // 0xFF 0x01
    kUnknownEscape,   // 0xFF and then `byte`, which begins no sequence:
                      // both are dropped
  };
  Kind kind;
  std::uint8_t byte;  // the data byte, or the byte that followed the escape

  bool operator==(const LineEvent&) const = default;
};

// Turns received chunks back into data bytes. An escape byte at the end of
// one chunk pairs with the first byte of the next.
class LineDecoder {
 public:
  explicit LineDecoder(bool raw) : raw_(raw) {}

  // Calls `on_event(LineEvent)` for each step of `chunk`, in order. In mode
  // "raw" every byte is data. An escape that ends the chunk is reported with
  // the byte that completes it, in a later call.
  template <typename OnEvent>
  void decode_events(std::span<const std::uint8_t> chunk, OnEvent&& on_event);

  // Appends the data bytes of `chunk` to `out`: 0xFF 0xFF gives 0xFF,
  // 0xFF 0x00 and 0xFF 0x01 give nothing (line state), 0xFF followed by any
  // other byte gives nothing; every other byte is data. Returns how many
  // such unknown escape sequences were completed.
  std::size_t decode(std::span<const std::uint8_t> chunk,
                     std::vector<std::uint8_t>& out);

  // Forgets a half-received escape sequence.
  void reset() { escape_pending_ = false; }

  bool raw() const { return raw_; }
  bool escape_pending() const { return escape_pending_; }

 private:
  bool raw_;
  bool escape_pending_ = false;
};

template <typename OnEvent>
void LineDecoder::decode_events(std::span<const std::uint8_t> chunk,
                                OnEvent&& on_event) {
  using Kind = LineEvent::Kind;
  for (const std::uint8_t c : chunk) {
    if (escape_pending_) {
      escape_pending_ = false;
      switch (c) {
        case kEscapeByte:
          on_event(LineEvent{Kind::kData, c});
          break;
        case kRtsDeasserted:
          on_event(LineEvent{Kind::kRtsDeasserted, c});
          break;
        case kRtsAsserted:
          on_event(LineEvent{Kind::kRtsAsserted, c});
          break;
        default:
          on_event(LineEvent{Kind::kUnknownEscape, c});
          break;
      }
    } else if (c == kEscapeByte && !raw_) {
      escape_pending_ = true;
    } else {
      on_event(LineEvent{Kind::kData, c});
    }
  }
}

// Codes `data` for the wire in one go (tests, tools and fuzzers).
std::vector<std::uint8_t> encode_data(bool raw,
                                      std::span<const std::uint8_t> data);

}  // namespace quorvex::ip232

#endif  // QUORVEX_IP232_LINE_CODING_H_
