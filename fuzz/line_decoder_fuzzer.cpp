// Fuzzes the receiving side of the line coding.
//
// The input picks the mode, a stream of received bytes and a way to cut it
// into chunks. Properties:
// - decoding the chunks one after another with one decoder gives the same
//   bytes, and the same half-received escape at the end, as decoding the
//   whole stream at once (an escape that ends a chunk pairs with the first
//   byte of the next);
// - no chunk yields more bytes than it holds, plus one for an escape
//   carried in;
// - in mode "raw" the output is the input;
// - the coded form of any data, with request-to-send changes put in
//   anywhere, decodes back to exactly the data, whatever the chunking, and
//   leaves no escape half-received.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ip232/line_coding.h"

namespace {

using quorvex::fuzz::check;
using quorvex::ip232::LineDecoder;

// Chunk lengths for a stream of `total` bytes: `pattern` repeated, each
// entry a length of 0 to 255 bytes (0: an empty read). Every byte of the
// stream lands in exactly one chunk; an empty pattern gives one chunk.
std::vector<std::size_t> chunk_lengths(std::span<const std::uint8_t> pattern,
                                       std::size_t total) {
  std::vector<std::size_t> lengths;
  std::size_t left = total;
  for (std::size_t i = 0; left > 0 && !pattern.empty(); ++i) {
    // A pattern of zeros only would never end.
    if (i > total + pattern.size()) break;
    const std::size_t length =
        std::min<std::size_t>(pattern[i % pattern.size()], left);
    lengths.push_back(length);
    left -= length;
  }
  if (left > 0 || lengths.empty()) lengths.push_back(left);
  return lengths;
}

// The data bytes of a whole stream, read as units of one byte or of an
// escape and its follower. Also tells whether the stream ends inside an
// escape sequence.
std::vector<std::uint8_t> decode_by_units(bool raw,
                                          std::span<const std::uint8_t> stream,
                                          bool& ends_in_escape) {
  std::vector<std::uint8_t> out;
  ends_in_escape = false;
  std::size_t i = 0;
  while (i < stream.size()) {
    if (raw || stream[i] != quorvex::ip232::kEscapeByte) {
      out.push_back(stream[i]);
      i += 1;
    } else if (i + 1 == stream.size()) {
      ends_in_escape = true;
      i += 1;
    } else {
      if (stream[i + 1] == quorvex::ip232::kEscapeByte) out.push_back(stream[i + 1]);
      i += 2;
    }
  }
  return out;
}

std::vector<std::uint8_t> decode_chunked(bool raw,
                                         std::span<const std::uint8_t> stream,
                                         const std::vector<std::size_t>& lengths,
                                         bool& escape_pending_at_end) {
  LineDecoder decoder(raw);
  std::vector<std::uint8_t> out;
  std::size_t offset = 0;
  for (const std::size_t length : lengths) {
    const bool carried_escape = decoder.escape_pending();
    const std::size_t before = out.size();
    decoder.decode(stream.subspan(offset, length), out);
    check(out.size() - before <= length + (carried_escape ? 1 : 0),
          "a chunk yielded more bytes than it holds");
    offset += length;
  }
  check(offset == stream.size(), "chunks do not cover the stream");
  escape_pending_at_end = decoder.escape_pending();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // Layout: mode, two chunk patterns and a pattern of request-to-send
  // changes (up to 8 bytes each), then the stream.
  FuzzedDataProvider input(data, size);
  const bool raw = input.ConsumeBool();
  constexpr std::size_t kMaxPattern = 8;
  const auto pattern_length = [&input] {
    return input.ConsumeIntegralInRange<std::size_t>(0, kMaxPattern);
  };
  const std::vector<std::uint8_t> received_pattern =
      input.ConsumeBytes<std::uint8_t>(pattern_length());
  const std::vector<std::uint8_t> coded_pattern =
      input.ConsumeBytes<std::uint8_t>(pattern_length());
  const std::vector<std::uint8_t> rts_pattern =
      input.ConsumeBytes<std::uint8_t>(pattern_length());
  const std::vector<std::uint8_t> stream =
      input.ConsumeRemainingBytes<std::uint8_t>();

  // Received stream: whole versus chunked.
  LineDecoder whole_decoder(raw);
  std::vector<std::uint8_t> whole;
  whole_decoder.decode(stream, whole);
  check(whole.size() <= stream.size(), "decoded more bytes than received");
  bool ends_in_escape = false;
  check(whole == decode_by_units(raw, stream, ends_in_escape),
        "decoding differs from reading the stream in units");
  check(whole_decoder.escape_pending() == ends_in_escape,
        "escape state at the end differs from reading in units");
  if (raw) check(whole == stream, "raw mode changed the data");

  bool chunked_escape = false;
  const std::vector<std::uint8_t> chunked = decode_chunked(
      raw, stream, chunk_lengths(received_pattern, stream.size()),
      chunked_escape);
  check(chunked == whole, "chunked decoding differs from whole decoding");
  check(chunked_escape == whole_decoder.escape_pending(),
        "chunked decoding ends in a different escape state");

  // The stream taken as data, coded with request-to-send changes before the
  // bytes that the pattern's bits pick (bit 0: a change here, bit 1: its
  // state), decodes back to the data.
  std::vector<std::uint8_t> coded;
  for (std::size_t k = 0; k < stream.size(); ++k) {
    if (!raw && !rts_pattern.empty()) {
      const std::uint8_t bits = rts_pattern[k % rts_pattern.size()] >> (k % 4 * 2);
      if ((bits & 1) != 0) {
        quorvex::ip232::append_rts_change((bits & 2) != 0, coded);
      }
    }
    quorvex::ip232::append_data_byte(raw, stream[k], coded);
  }
  if (raw) check(coded == stream, "raw mode coded the data");
  const auto escapes = static_cast<std::size_t>(
      std::count(stream.begin(), stream.end(), quorvex::ip232::kEscapeByte));
  const std::vector<std::uint8_t> encoded =
      quorvex::ip232::encode_data(raw, stream);
  check(encoded.size() == stream.size() + (raw ? 0 : escapes),
        "encode_data is not the data plus one byte per escape byte");

  bool coded_escape = true;
  const std::vector<std::uint8_t> decoded = decode_chunked(
      raw, coded, chunk_lengths(coded_pattern, coded.size()), coded_escape);
  check(decoded == stream, "coded data does not decode back to the data");
  check(!coded_escape, "coded data leaves an escape half-received");

  LineDecoder plain_decoder(raw);
  std::vector<std::uint8_t> plain;
  plain_decoder.decode(encoded, plain);
  check(plain == stream, "encode_data does not decode back to the data");
  check(!plain_decoder.escape_pending(),
        "encode_data leaves an escape half-received");
  return 0;
}
