// The in-band coding of the byte stream, both directions.

#include "ip232/line_coding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvex::ip232 {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return "{" + out + "}";
}

Bytes decode_chunks(LineDecoder& decoder, const std::vector<Bytes>& chunks) {
  Bytes out;
  for (const Bytes& chunk : chunks) decoder.decode(chunk, out);
  return out;
}

TEST(LineDecoder, DecodesReceivedSequences) {
  struct Case {
    const char* name;
    bool raw;
    std::vector<Bytes> chunks;  // successive reads
    Bytes data;                 // data bytes for the emulated machine
    bool escape_pending;        // an escape waits for its second byte
  };
  const Case cases[] = {
      {"doubled escape", false, {{0x41, 0xFF, 0xFF, 0x42}}, {0x41, 0xFF, 0x42},
       false},
      {"rts asserted", false, {{0xFF, 0x01, 0x41}}, {0x41}, false},
      {"rts deasserted", false, {{0xFF, 0x00}}, {}, false},
      {"unknown pair dropped", false, {{0xFF, 0x7E, 0x41}}, {0x41}, false},
      {"escape then 0x80", false, {{0x10, 0xFF, 0x80, 0x20}}, {0x10, 0x20},
       false},
      {"plain bytes", false, {{0x00, 0x01, 0x7F, 0xFE}}, {0x00, 0x01, 0x7F, 0xFE},
       false},
      {"three escapes", false, {{0xFF, 0xFF, 0xFF}}, {0xFF}, true},
      {"four escapes", false, {{0xFF, 0xFF, 0xFF, 0xFF}}, {0xFF, 0xFF}, false},
      {"escape at the end", false, {{0x41, 0xFF}}, {0x41}, true},
      {"doubled escape split", false, {{0x41, 0xFF}, {0xFF, 0x42}},
       {0x41, 0xFF, 0x42}, false},
      {"line state split", false, {{0xFF}, {0x01, 0x43}}, {0x43}, false},
      {"unknown pair split", false, {{0xFF}, {0x7E}, {0x44}}, {0x44}, false},
      {"empty read keeps the escape", false, {{0xFF}, {}, {0xFF}}, {0xFF},
       false},
      {"line states back to back", false, {{0xFF, 0x00, 0xFF, 0x01, 0xFF, 0xFF}},
       {0xFF}, false},
      {"raw passes escapes", true, {{0xFF, 0xFF}}, {0xFF, 0xFF}, false},
      {"raw passes line states", true, {{0xFF, 0x00, 0xFF, 0x01}},
       {0xFF, 0x00, 0xFF, 0x01}, false},
      {"raw ends with 0xFF", true, {{0x41, 0xFF}, {0x42}}, {0x41, 0xFF, 0x42},
       false},
  };
  for (const Case& c : cases) {
    LineDecoder decoder(c.raw);
    EXPECT_EQ(hex(decode_chunks(decoder, c.chunks)), hex(c.data)) << c.name;
    EXPECT_EQ(decoder.escape_pending(), c.escape_pending) << c.name;
  }
}

// The steps a decoder reports, as text: data bytes in hex, "on" and "off"
// for line state, "?NN" for an escape and NN, which begins no sequence.
std::string decoded_events(LineDecoder& decoder, const std::vector<Bytes>& chunks) {
  using Kind = LineEvent::Kind;
  std::string out;
  for (const Bytes& chunk : chunks) {
    decoder.decode_events(chunk, [&out](const LineEvent& event) {
      const std::string byte = hex({event.byte}).substr(1, 2);
      out += out.empty() ? "" : " ";
      out += event.kind == Kind::kData            ? byte
             : event.kind == Kind::kRtsAsserted   ? "on"
             : event.kind == Kind::kRtsDeasserted ? "off"
                                                  : "?" + byte;
    });
  }
  return out;
}

TEST(LineDecoder, ReportsLineStateInOrderWithTheData) {
  struct Case {
    bool raw;
    std::vector<Bytes> chunks;
    const char* events;
  };
  const Case cases[] = {
      {false, {{0x41, 0xFF, 0x01, 0x42, 0xFF, 0x00}}, "41 on 42 off"},
      {false, {{0xFF, 0xFF, 0xFF, 0x01, 0xFF, 0xFF}}, "FF on FF"},
      {false, {{0x41, 0xFF}, {0x00, 0x42}}, "41 off 42"},
      {false, {{0xFF}, {}, {0x01}}, "on"},
      {false, {{0xFF, 0x7E, 0x43, 0xFF}, {0x02}}, "?7E 43 ?02"},
      {true, {{0xFF, 0x01, 0xFF, 0x00}}, "FF 01 FF 00"},
  };
  for (const Case& c : cases) {
    LineDecoder decoder(c.raw);
    EXPECT_EQ(decoded_events(decoder, c.chunks), c.events)
        << "raw " << c.raw << ", first chunk " << hex(c.chunks.front());
  }
}

TEST(LineDecoder, AppendsWithoutClearingTheOutput) {
  LineDecoder decoder(false);
  Bytes out = {0x01};
  decoder.decode(Bytes{0x02, 0xFF, 0xFF}, out);
  EXPECT_EQ(hex(out), hex({0x01, 0x02, 0xFF}));
}

TEST(LineDecoder, ResetForgetsAHalfEscape) {
  LineDecoder kept(false);
  LineDecoder reset(false);
  Bytes kept_out;
  Bytes reset_out;
  kept.decode(Bytes{0xFF}, kept_out);
  reset.decode(Bytes{0xFF}, reset_out);
  reset.reset();
  EXPECT_FALSE(reset.escape_pending());
  // Without the reset the first byte of the next read is eaten with the
  // escape; after it, it is data.
  kept.decode(Bytes{0x41, 0x42}, kept_out);
  reset.decode(Bytes{0x41, 0x42}, reset_out);
  EXPECT_EQ(hex(kept_out), hex({0x42}));
  EXPECT_EQ(hex(reset_out), hex({0x41, 0x42}));
}

TEST(LineEncoder, CodesDataBytes) {
  struct Case {
    bool raw;
    Bytes data;
    Bytes wire;
  };
  const Case cases[] = {
      {false, {0x41, 0xFF, 0x00, 0x01, 0xFE},
       {0x41, 0xFF, 0xFF, 0x00, 0x01, 0xFE}},
      {false, {0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}},
      {false, {}, {}},
      {true, {0x41, 0xFF, 0x00, 0x01}, {0x41, 0xFF, 0x00, 0x01}},
      {true, {0xFF, 0xFF}, {0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex(encode_data(c.raw, c.data)), hex(c.wire))
        << "raw " << c.raw << " data " << hex(c.data);
    std::size_t size = 0;
    for (const std::uint8_t b : c.data) size += coded_size(c.raw, b);
    EXPECT_EQ(size, c.wire.size()) << "raw " << c.raw << " data "
                                   << hex(c.data);
  }
}

// Whatever the data and wherever the reads split it, coding and decoding
// give the data back, and line-state pairs between the data vanish.
TEST(LineCoding, RoundTripsEveryByteAtEverySplit) {
  Bytes data;
  for (int b = 0; b < 256; ++b) data.push_back(static_cast<std::uint8_t>(b));
  data.push_back(0xFF);
  data.push_back(0xFF);
  for (const bool raw : {false, true}) {
    Bytes wire = encode_data(raw, data);
    if (!raw) {
      // Line state in the middle of the stream and at its end.
      const Bytes middle = encode_data(raw, Bytes(data.begin(), data.begin() + 100));
      Bytes with_state = middle;
      append_rts_change(true, with_state);
      const Bytes rest = encode_data(raw, Bytes(data.begin() + 100, data.end()));
      with_state.insert(with_state.end(), rest.begin(), rest.end());
      append_rts_change(false, with_state);
      wire = with_state;
    }
    for (std::size_t split = 0; split <= wire.size(); ++split) {
      LineDecoder decoder(raw);
      const Bytes out = decode_chunks(
          decoder, {Bytes(wire.begin(), wire.begin() + static_cast<long>(split)),
                    Bytes(wire.begin() + static_cast<long>(split), wire.end())});
      ASSERT_EQ(out, data) << "raw " << raw << " split at " << split;
      ASSERT_FALSE(decoder.escape_pending());
    }
  }
}

TEST(LineCoding, ResumePointStartsTheSequenceThatWasCut) {
  struct Case {
    bool raw;
    Bytes wire;
    std::size_t cut;     // bytes that went out
    std::size_t resume;  // where the next connection starts
  };
  const Case cases[] = {
      {false, {0x41, 0xFF, 0xFF, 0x42}, 0, 0},
      {false, {0x41, 0xFF, 0xFF, 0x42}, 1, 1},
      {false, {0x41, 0xFF, 0xFF, 0x42}, 2, 1},  // only the escape went out
      {false, {0x41, 0xFF, 0xFF, 0x42}, 3, 3},
      {false, {0xFF, 0x01, 0x41}, 1, 0},        // a cut line-state pair
      {false, {0xFF, 0xFF, 0xFF, 0xFF}, 3, 2},
      {false, {0x41}, 5, 1},                    // past the end
      {true, {0xFF, 0xFF, 0x42}, 1, 1},         // nothing is coded
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resume_point(c.raw, c.wire, c.cut), c.resume)
        << hex(c.wire) << " cut after " << c.cut << " raw " << c.raw;
  }
}

// A connection that dies after any prefix of the wire form, followed by a
// new one that starts at the resume point, delivers every data byte once.
TEST(LineCoding, ResumingAfterAnyCutLosesAndRepeatsNothing) {
  Bytes data;
  for (int i = 0; i < 64; ++i) {
    data.push_back(static_cast<std::uint8_t>(i % 3 == 0 ? 0xFF : i));
  }
  const Bytes wire = encode_data(false, data);
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    LineDecoder first(false);
    Bytes out;
    first.decode(std::span<const std::uint8_t>(wire).first(cut), out);
    LineDecoder second(false);
    second.decode(std::span<const std::uint8_t>(wire).subspan(
                      resume_point(false, wire, cut)),
                  out);
    ASSERT_EQ(hex(out), hex(data)) << "cut after " << cut;
  }
}

}  // namespace
}  // namespace quorvex::ip232
