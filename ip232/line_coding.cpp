#include "ip232/line_coding.h"

namespace quorvex::ip232 {

std::size_t LineDecoder::decode(std::span<const std::uint8_t> chunk,
                                std::vector<std::uint8_t>& out) {
  // Line state and unknown escapes have no effect on the machine.
  std::size_t unknown = 0;
  decode_events(chunk, [&](const LineEvent& event) {
    if (event.kind == LineEvent::Kind::kData) out.push_back(event.byte);
    if (event.kind == LineEvent::Kind::kUnknownEscape) ++unknown;
  });
  return unknown;
}

std::vector<std::uint8_t> encode_data(bool raw,
                                      std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out;
  out.reserve(data.size());
  for (const std::uint8_t b : data) append_data_byte(raw, b, out);
  return out;
}

}  // namespace quorvex::ip232
