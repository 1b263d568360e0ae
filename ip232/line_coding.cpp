#include "ip232/line_coding.h"

namespace quorvex::ip232 {

void LineDecoder::decode(std::span<const std::uint8_t> chunk,
                         std::vector<std::uint8_t>& out) {
  for (const std::uint8_t c : chunk) {
    if (escape_pending_) {
      escape_pending_ = false;
      // 0xFF 0x00 and 0xFF 0x01 are line state, anything else after an
      // escape is discarded with it; only a doubled escape is data.
      if (c == kEscapeByte) out.push_back(kEscapeByte);
    } else if (c == kEscapeByte && !raw_) {
      escape_pending_ = true;
    } else {
      out.push_back(c);
    }
  }
}

std::vector<std::uint8_t> encode_data(bool raw,
                                      std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  out.reserve(data.size());
  for (const std::uint8_t b : data) append_data_byte(raw, b, out);
  return out;
}

}  // namespace quorvex::ip232
