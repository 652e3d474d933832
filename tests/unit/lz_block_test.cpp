// The block format, bit for bit: hand-built streams through both decoders,
// the encoder's streams against the published examples, round trips of
// generated and real data, and damaged blocks refused by the checked decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/lz_block.h"
#include "archive/lz_encode.h"
#include "tests/support/lz_stream.h"
#include "tests/support/reference_lz.h"

namespace {

typedef std::vector<uint8_t> Bytes;
typedef LzStream Stream;

// Decodes with both decoders and checks that they agree; returns the output.
Bytes DecodeBoth(const Bytes& block, size_t expected_size, uint32_t* consumed = nullptr) {
  Bytes fast(expected_size + 1, 0xEE), checked(expected_size, 0xEE);
  DecompressLzBlock(fast.data(), block.data());
  uint32_t produced = 0, used = 0;
  EXPECT_TRUE(DecompressLzBlockChecked(checked.data(), uint32_t(checked.size()), block.data(), uint32_t(block.size()),
                                       &produced, &used));
  EXPECT_EQ(produced, expected_size);
  EXPECT_EQ(used, block.size()) << "the block's length is where the end code finishes";
  EXPECT_EQ(fast[expected_size], 0xEE) << "the fast decoder wrote past the decoded size";
  fast.resize(expected_size);
  EXPECT_EQ(fast, checked);
  // And the plain reference, the format's oracle.
  Bytes reference(expected_size, 0xEE);
  ReferenceResult r =
      ReferenceDecodeLzBlock(block.data(), uint32_t(block.size()), reference.data(), uint32_t(reference.size()));
  EXPECT_TRUE(r.accepted);
  EXPECT_EQ(r.produced, produced);
  EXPECT_EQ(r.consumed, used);
  EXPECT_EQ(reference, checked);
  if (consumed) *consumed = used;
  return checked;
}

Bytes Sequence(size_t n, uint32_t seed) {
  Bytes b(n);
  std::mt19937 rng(seed);
  for (auto& c : b) c = uint8_t(rng());
  return b;
}

TEST(LzBlockFormat, PublishedExampleStreams) {
  const Bytes empty = {0x00, 0x00, 0x00, 0x7C, 0xFF};
  EXPECT_EQ(Stream().End().Done(), empty);
  EXPECT_TRUE(DecodeBoth(empty, 0).empty());

  for (LzLevel level : {LzLevel::Fast, LzLevel::Best}) {
    EXPECT_EQ(CompressLzBlock(nullptr, 0, level), empty);

    // 32 literals: a full control word of ones, the bytes, a second word for
    // the end code, then 0xFF: 41 bytes.
    Bytes data(32);
    for (int i = 0; i < 32; ++i) data[i] = uint8_t(i * 7 + 1);
    Bytes block = CompressLzBlock(data.data(), data.size(), level);
    ASSERT_EQ(block.size(), 41u);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(block.begin() + 4, block.begin() + 36), data);
    EXPECT_EQ(Bytes(block.begin() + 36, block.end()), Bytes({0x00, 0x00, 0x00, 0x7C, 0xFF}));
    EXPECT_EQ(DecodeBoth(block, 32), data);

    // 31 literals: the end code's first bit is the first word's last, and the
    // second word lies after the 31st literal, before 0xFF: 40 bytes.
    data.resize(31);
    block = CompressLzBlock(data.data(), data.size(), level);
    ASSERT_EQ(block.size(), 40u);
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(block.begin() + 35, block.end()), Bytes({0x00, 0x00, 0x00, 0xF8, 0xFF}));
    EXPECT_EQ(DecodeBoth(block, 31), data);
  }
}

// The decoder reads every long-match code as the format's table (which the
// encoder is made from) writes it: the first and last distance of each class
// with the first and last length of each length code, each written here
// straight from the table's fields.
TEST(LzBlockFormat, DecoderFollowsTheTokenTable) {
  for (const LzDistanceClass& c : kLzDistanceClasses) {
    for (uint32_t d : {uint32_t(c.first), uint32_t(c.last)}) {
      for (const LzLengthCode& l : kLzLengthCodes) {
        for (uint32_t length : {uint32_t(l.first), uint32_t(l.last)}) {
          SCOPED_TRACE("D " + std::to_string(d) + ", length " + std::to_string(length));
          Bytes prefix = Sequence(d + 1, d);  // enough output for the distance
          Stream s;
          for (uint8_t b : prefix) s.Literal(b);
          s.Bits(0b00, 2).Bits(c.code, c.code_bits).Byte(uint8_t((d >> c.extra_bits) - (c.high ? 256 : 0)));
          s.Bits(d & ((1u << c.extra_bits) - 1), c.extra_bits).Bits(l.code, l.code_bits);
          if (l.in_byte) s.Byte(uint8_t(length - l.first));
          else s.Bits(length - l.first, l.extra_bits);
          Bytes expected = prefix;
          for (uint32_t i = 0; i < length; ++i) expected.push_back(expected[expected.size() - d - 1]);
          EXPECT_EQ(DecodeBoth(s.End().Done(), expected.size()), expected);
        }
      }
    }
  }
}

TEST(LzBlockFormat, MatchesRepeatWhatTheyOverlap) {
  // One literal, then the short match 0 1 0 with B = 0: the byte three times.
  EXPECT_EQ(DecodeBoth(Stream().Literal('a').Bits(0b010, 3).Byte(0).End().Done(), 3), Bytes({'a', 'a', 'a'}));

  // x y z, then a long match of distance 3 (class 1, B = 1, X = 0), length 4.
  Bytes xyz = DecodeBoth(
      Stream().Literal('x').Literal('y').Literal('z').Bits(0b00, 2).Bit(1).Byte(1).Bit(0).Bits(0b01, 2).End().Done(),
      7);
  EXPECT_EQ(std::string(xyz.begin(), xyz.end()), "xyzxyzx");

  // x y, then distance 2 (B = 0, X = 1), length 5 (0 0 1 and X = 0).
  Bytes xy = DecodeBoth(
      Stream().Literal('x').Literal('y').Bits(0b00, 2).Bit(1).Byte(0).Bit(1).Bits(0b001, 3).Bit(0).End().Done(), 7);
  EXPECT_EQ(std::string(xy.begin(), xy.end()), "xyxyxyx");

  // One byte, then distance 1 with the longest length (0 0 0 0 0, byte 255).
  Bytes run =
      DecodeBoth(Stream().Literal('q').Bits(0b00, 2).Bit(1).Byte(0).Bit(0).Bits(0, 5).Byte(255).End().Done(), 283);
  EXPECT_EQ(run, Bytes(283, 'q'));

  // A distance-4 long match of length 7 copies forward in 4-byte steps.
  Bytes four = DecodeBoth(Stream()
                              .Literal('1')
                              .Literal('2')
                              .Literal('3')
                              .Literal('4')
                              .Bits(0b00, 2)
                              .Bit(1)
                              .Byte(1)
                              .Bit(1)
                              .Bits(0b0001, 4)
                              .Bits(0, 2)
                              .End()
                              .Done(),
                          11);
  EXPECT_EQ(std::string(four.begin(), four.end()), "12341234123");
}

TEST(LzBlockFormat, FarthestDistancesOfEachForm) {
  Bytes prefix = Sequence(8192, 7);
  // 0 1 1 with B = 255 and X = 6 is a short match of distance 2,303, while
  // X = 7 would be the end code.
  Stream s;
  for (uint8_t b : prefix) s.Literal(b);
  s.Bits(0b011, 3).Byte(255).Bits(6, 3);
  // Class 0 0 0 0 with B = 255, X = 15: distance 8,192, length 3.
  s.Bits(0b00, 2).Bits(0b0000, 4).Byte(255).Bits(15, 4).Bit(1);
  Bytes out = DecodeBoth(s.End().Done(), 8192 + 2 + 3);
  EXPECT_EQ(out[8192], prefix[8192 - 2303]);
  EXPECT_EQ(out[8193], prefix[8193 - 2303]);
  EXPECT_EQ(Bytes(out.begin() + 8194, out.end()), Bytes(out.begin() + 2, out.begin() + 5));
}

TEST(LzBlockFormat, ControlWordDueBetweenByteAndExtraBitsLiesAfterTheByte) {
  // 29 literals and the class bits 0 0 1 fill the first word exactly; B comes
  // next in the stream, then the word that holds the extra bit.
  Stream s;
  for (int i = 0; i < 29; ++i) s.Literal(uint8_t('A' + i % 26));
  s.Bits(0b00, 2).Bit(1).Byte(2).Bit(1).Bit(1);  // distance 2*2 + 1 + 1 = 6, length 3
  Bytes block = s.End().Done();
  ASSERT_EQ(block[4 + 29], 2) << "B directly after the literals";
  EXPECT_EQ(block[4 + 29 + 1 + 3] >> 7, 1) << "the extra bit opens the next word";
  Bytes out = DecodeBoth(block, 32);
  EXPECT_EQ(Bytes(out.begin() + 29, out.end()), Bytes(out.begin() + 23, out.begin() + 26));
}

TEST(LzBlockFormat, TokensRunningPastTheWordInTheMiddleOfABlock) {
  // Every kind of match, begun at each bit of a word so that its control bits
  // run past the word at every point (before the distance byte, after it,
  // before a length byte), with input enough behind it that the checked
  // decoder is on its fast path; the reference decides the bytes.
  struct Kind {
    const char* name;
    uint32_t length;
    void (*put)(Stream&);
  };
  const Kind kinds[] = {
      {"2, near", 2, [](Stream& s) { s.Bits(0b010, 3).Byte(99); }},
      {"2, far", 2, [](Stream& s) { s.Bits(0b011, 3).Byte(200).Bits(5, 3); }},
      {"class 0, 3", 3, [](Stream& s) { s.Bits(0b00, 2).Bit(1).Byte(7).Bit(1).Bit(1); }},
      {"class 1, 5-6", 6, [](Stream& s) { s.Bits(0b00, 2).Bits(0b01, 2).Byte(3).Bit(0).Bits(0b001, 3).Bit(1); }},
      {"class 2, 7-10", 9,
       [](Stream& s) { s.Bits(0b00, 2).Bits(0b001, 3).Byte(40).Bits(2, 2).Bits(0b0001, 4).Bits(2, 2); }},
      {"class 3, 11-26", 20,
       [](Stream& s) { s.Bits(0b00, 2).Bits(0b0001, 4).Byte(5).Bits(6, 3).Bits(1, 5).Bits(9, 4); }},
      {"class 4, 11-26", 26,
       [](Stream& s) { s.Bits(0b00, 2).Bits(0, 4).Byte(255).Bits(15, 4).Bits(1, 5).Bits(15, 4); }},
      {"class 4, length byte", 200,
       [](Stream& s) { s.Bits(0b00, 2).Bits(0, 4).Byte(1).Bits(3, 4).Bits(0, 5).Byte(173); }},
  };
  const Bytes text = Sequence(8300, 21);
  for (const Kind& kind : kinds) {
    for (size_t lead = 8192; lead < 8192 + 32; ++lead) {  // output enough for the farthest distance
      SCOPED_TRACE(testing::Message() << kind.name << ", bit " << lead % 32);
      Stream s;
      for (size_t i = 0; i < lead; ++i) s.Literal(text[i]);
      kind.put(s);
      for (size_t i = 0; i < 64; ++i) s.Literal(text[i]);
      DecodeBoth(s.End().Done(), lead + kind.length + 64);
    }
  }
}

TEST(LzBlockFormat, EncoderUsesTheLongestLengthCode) {
  Bytes data(1 + 282, 'z');
  for (LzLevel level : {LzLevel::Fast, LzLevel::Best}) {
    Bytes block = CompressLzBlock(data.data(), data.size(), level);
    EXPECT_EQ(block, Stream().Literal('z').Bits(0b00, 2).Bit(1).Byte(0).Bit(0).Bits(0, 5).Byte(255).End().Done());
  }
}

struct RoundTripCase {
  const char* name;
  Bytes data;
};

std::vector<RoundTripCase> GeneratedCases() {
  std::vector<RoundTripCase> cases;
  cases.push_back({"one byte", {42}});
  cases.push_back({"two bytes", {1, 1}});
  cases.push_back({"random 100k", Sequence(100000, 1)});
  cases.push_back({"zeros 70k", Bytes(70000, 0)});
  Bytes text;
  std::mt19937 rng(3);
  const char* words[] = {"update ", "game ", "file ", "disc ", "\x83\x51\x81\x5B\x83\x80 ", "setup\r\n"};
  while (text.size() < 200000) {
    const char* w = words[rng() % 6];
    text.insert(text.end(), w, w + strlen(w));
  }
  cases.push_back({"words 200k", text});
  // Repeats at every distance class and across the 8 KiB window's edge.
  Bytes mixed = Sequence(30000, 9);
  for (size_t i = 9000; i < mixed.size(); ++i)
    if (rng() % 4) mixed[i] = mixed[i - (1 + rng() % 9000)];
  cases.push_back({"far repeats", mixed});
  return cases;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string SourcePath(const std::string& relative) {
#ifdef _WIN32
  std::string p = std::string("Z:") + KOUSHIN_SOURCE_DIR + "/" + relative;  // Wine's view of the build machine
#else
  std::string p = std::string(KOUSHIN_SOURCE_DIR) + "/" + relative;
#endif
  return p;
}

TEST(LzBlockRoundTrip, GeneratedAndRealDataInBothModes) {
  std::vector<RoundTripCase> cases = GeneratedCases();
  cases.push_back({"source text", ReadFile(SourcePath("archive/lz_block.cpp"))});
  cases.push_back({"this executable", ReadFile(testing::internal::GetArgvs()[0])});
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.data.empty());
    size_t fast_size = 0;
    for (LzLevel level : {LzLevel::Fast, LzLevel::Best}) {
      Bytes block = CompressLzBlock(c.data.data(), c.data.size(), level);
      EXPECT_EQ(DecodeBoth(block, c.data.size()), c.data);
      if (level == LzLevel::Fast) fast_size = block.size();
      else EXPECT_LE(block.size(), fast_size) << "the best mode never loses to the fast one";
    }
  }
}

TEST(LzBlockRoundTrip, BestModeFindsARepeatAcrossTheWholeWindow) {
  // Two letters at random for 7,600 bytes, then its first 300 bytes again:
  // every 3-byte prefix of the repeat occurs nearly a thousand times in
  // between, and chance matches there run to a dozen bytes. The best mode
  // must find the repeat itself (a search that gives up after a few hundred
  // candidates cannot, and paid 68 bytes for it): two matches, a few bytes.
  std::mt19937 rng(5);
  Bytes once;
  for (int i = 0; i < 7600; ++i) once.push_back("ab"[rng() & 1]);
  Bytes twice = once;
  twice.insert(twice.end(), once.begin(), once.begin() + 300);
  Bytes block = CompressLzBlock(twice.data(), twice.size(), LzLevel::Best);
  EXPECT_LE(block.size(), CompressLzBlock(once.data(), once.size(), LzLevel::Best).size() + 10);
  EXPECT_EQ(DecodeBoth(block, twice.size()), twice);
}

TEST(LzBlockRoundTrip, ThreadedParseWritesTheSameBlock) {
  // Text-like runs, long repeats reaching back across the boundaries of the
  // threads' shares, and incompressible stretches, around a long cheap middle
  // (a repeated pattern) that carries the input past the first round of two
  // threads (8 MiB); not a multiple of any share, so the last one is short.
  Bytes data;
  std::mt19937 rng(11);
  const char* words[] = {"koushin ", "update ", "\x83\x51\x81\x5B\x83\x80 ", "data ", "\r\n"};
  auto varied = [&](size_t until) {
    while (data.size() < until) {
      switch (rng() % 4) {
        case 0:
          for (int i = 0; i < 200; ++i) {
            const char* w = words[rng() % 5];
            data.insert(data.end(), w, w + strlen(w));
          }
          break;
        case 1:
          if (data.size() > 9000) {
            size_t from = data.size() - 1 - rng() % 8000, length = 3 + rng() % 3000;
            for (size_t i = 0; i < length; ++i) data.push_back(data[from + i]);
          }
          break;
        case 2:
          for (int i = 0; i < 3000; ++i) data.push_back(uint8_t(rng()));
          break;
        default: data.insert(data.end(), 1 + rng() % 700, uint8_t(rng()));
      }
    }
  };
  varied(3u << 20);
  while (data.size() < (15u << 19)) data.push_back(data[data.size() - 5000]);
  varied((9u << 20) + 12345);

  Bytes serial = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
  EXPECT_EQ(DecodeBoth(serial, data.size()), data);
  for (unsigned threads : {2u, 3u}) {
    size_t last = 0;
    Bytes threaded = CompressLzBlock(
        data.data(), data.size(), LzLevel::Best,
        [&](size_t encoded) {
          EXPECT_GT(encoded, last);
          EXPECT_LT(encoded, data.size());
          last = encoded;
        },
        threads);
    EXPECT_TRUE(threaded == serial) << threads << " threads";
    if (threads == 2) {
      EXPECT_EQ(last, 8u << 20) << "told after the first round";
    }
  }
}

TEST(LzBlockChecked, RefusesDamagedBlocks) {
  Bytes data = Sequence(5000, 5);
  for (size_t i = 2000; i < 5000; ++i) data[i] = data[i - 1500];
  Bytes block = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
  Bytes out(data.size());
  uint32_t produced = 0;

  EXPECT_FALSE(DecompressLzBlockChecked(out.data(), uint32_t(out.size() - 1), block.data(), uint32_t(block.size()),
                                        &produced, nullptr))
      << "a destination one byte short";
  for (size_t cut : {size_t(1), size_t(4), block.size() / 2, block.size() - 1}) {
    EXPECT_FALSE(
        DecompressLzBlockChecked(out.data(), uint32_t(out.size()), block.data(), uint32_t(cut), &produced, nullptr))
        << "a block cut to " << cut << " bytes";
  }
  // A match as the first token refers before the start of the output.
  Bytes early = Stream().Bits(0b010, 3).Byte(0).End().Done();
  EXPECT_FALSE(DecompressLzBlockChecked(out.data(), 100, early.data(), uint32_t(early.size()), &produced, nullptr));
  Bytes far = Stream().Literal(1).Literal(2).Bits(0b00, 2).Bit(1).Byte(1).Bit(0).Bit(1).End().Done();  // distance 3
  EXPECT_FALSE(DecompressLzBlockChecked(out.data(), 100, far.data(), uint32_t(far.size()), &produced, nullptr));
  // No end code: literals up to the block's end.
  Bytes endless = Stream().Literal(1).Literal(2).Literal(3).Done();
  EXPECT_FALSE(DecompressLzBlockChecked(out.data(), 100, endless.data(), uint32_t(endless.size()), &produced, nullptr));
  // Every single flipped byte either decodes within bounds or is refused,
  // exactly as the plain reference decides, and to the same bytes.
  for (size_t i = 0; i < block.size(); i += 7) {
    Bytes bad = block, theirs(out.size());
    bad[i] ^= 0x5A;
    uint32_t consumed = 0;
    bool accepted = DecompressLzBlockChecked(out.data(), uint32_t(out.size()), bad.data(), uint32_t(bad.size()),
                                             &produced, &consumed);
    ReferenceResult r =
        ReferenceDecodeLzBlock(bad.data(), uint32_t(bad.size()), theirs.data(), uint32_t(theirs.size()));
    ASSERT_EQ(accepted, r.accepted) << "byte " << i;
    if (accepted) {
      EXPECT_EQ(produced, r.produced);
      EXPECT_EQ(consumed, r.consumed);
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + produced, theirs.begin())) << "byte " << i;
    }
  }
}

// The streaming form against the whole-block one: what it hands its sink,
// part after part, and whether it accepts.
struct Streamed {
  bool accepted;
  Bytes out;
  std::vector<uint32_t> parts;
  uint32_t produced, consumed;
};
Streamed StreamDecode(const Bytes& block, uint32_t capacity, uint32_t block_size, int stop_after_parts = -1) {
  static LzStreamBuffer buffer;
  memset(buffer.Bytes, 0xEE, sizeof buffer.Bytes);
  struct Sink {
    Streamed* result;
    int stop_after;
  };
  Streamed result{false, {}, {}, 0xDEAD, 0xDEAD};
  Sink sink{&result, stop_after_parts};
  result.accepted = DecompressLzBlockStream(
      &buffer, capacity, block.data(), block_size,
      [](void* context, const uint8_t* data, uint32_t size) {
        Sink* s = static_cast<Sink*>(context);
        if (s->stop_after >= 0 && int(s->result->parts.size()) == s->stop_after) return 0;
        s->result->parts.push_back(size);
        s->result->out.insert(s->result->out.end(), data, data + size);
        return 1;
      },
      &sink, &result.produced, &result.consumed);
  return result;
}

// Both forms on one block: the same answer, and when accepted the same bytes
// and lengths; the parts are never empty and all but the last hold a whole
// chunk at least.
void ExpectStreamAgrees(const Bytes& block, uint32_t capacity, uint32_t block_size) {
  Bytes whole(capacity);
  uint32_t produced = 0, consumed = 0;
  bool accepted = DecompressLzBlockChecked(whole.data(), capacity, block.data(), block_size, &produced, &consumed);
  Streamed s = StreamDecode(block, capacity, block_size);
  ASSERT_EQ(s.accepted, accepted);
  if (!accepted) return;
  EXPECT_EQ(s.produced, produced);
  EXPECT_EQ(s.consumed, consumed);
  whole.resize(produced);
  EXPECT_TRUE(s.out == whole);
  for (size_t i = 0; i < s.parts.size(); ++i) {
    EXPECT_GT(s.parts[i], 0u);
    if (i + 1 < s.parts.size()) {
      EXPECT_GE(s.parts[i], kLzStreamChunk);
    }
  }
}

// The first part is the window and a chunk (less the margin's slack), the
// next ones a chunk each: sizes on either side of those points.
constexpr uint32_t kFirstPart = kLzWindow + kLzStreamChunk;

// `literals` random bytes, then `matches` long matches of 282 bytes from the
// window's far end (distance 8192), then the end code: a match straddles the
// point where the output is handed on wherever `literals` puts it.
Bytes FarMatchesAfter(uint32_t literals, uint32_t matches, Bytes* data) {
  Bytes lit = Sequence(literals, literals);
  Stream s;
  for (uint8_t b : lit) s.Literal(b);
  *data = lit;
  for (uint32_t m = 0; m < matches; ++m) {
    s.Bits(0b00, 2).Bits(0b0000, 4).Byte(255).Bits(15, 4).Bits(0b00000, 5).Byte(255);
    for (int i = 0; i < 282 && data->size() >= 8192; ++i) {  // (fewer bytes: a block to refuse)
      uint8_t from = (*data)[data->size() - 8192];
      data->push_back(from);
    }
  }
  return s.End().Done();
}

TEST(LzBlockStream, EqualsWholeBlockDecodingAcrossBufferBoundaries) {
  struct Case {
    const char* name;
    Bytes data;  // encoded in the best mode unless `block` is given
    Bytes block;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}, {}});
  cases.push_back({"one literal", {7}, {}});
  for (uint32_t size : {kFirstPart - 1, kFirstPart, kFirstPart + 1, kFirstPart + kLzStreamChunk,
                        kFirstPart + kLzStreamChunk + 1, 1u << 20}) {
    Bytes d = Sequence(size, size);
    for (size_t i = 3000; i < d.size(); ++i)
      if ((i / 700) % 2) d[i] = d[i - 1 - (i / 700 * 7919) % std::min<size_t>(i, 8192)];  // near and far matches
    cases.push_back({"generated, size around a part", d, {}});
  }
  cases.push_back({"one byte repeated (long matches of distance 1)", Bytes(kFirstPart * 3 + 5, 0x41), {}});
  for (uint32_t literals : {kFirstPart - 600, kFirstPart - 282, kFirstPart - 281, kFirstPart - 1, kFirstPart,
                            kFirstPart + kLzStreamChunk - 100}) {
    Case c{"far matches straddling a part's end", {}, {}};
    c.block = FarMatchesAfter(literals, 300, &c.data);
    cases.push_back(c);
  }
  for (Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.data.size()) + " bytes");
    if (c.block.empty()) c.block = CompressLzBlock(c.data.data(), c.data.size(), LzLevel::Best);
    Streamed s = StreamDecode(c.block, uint32_t(c.data.size()), uint32_t(c.block.size()));
    ASSERT_TRUE(s.accepted);
    EXPECT_EQ(s.produced, c.data.size());
    EXPECT_EQ(s.consumed, c.block.size());
    EXPECT_TRUE(s.out == c.data);
    ExpectStreamAgrees(c.block, uint32_t(c.data.size()), uint32_t(c.block.size()));
    // A larger capacity changes nothing but the bound.
    ExpectStreamAgrees(c.block, uint32_t(c.data.size()) + 100000, uint32_t(c.block.size()));
  }
}

TEST(LzBlockStream, RefusesExactlyWhatTheWholeBlockFormRefuses) {
  Bytes data = Sequence(3 * kFirstPart, 9);
  for (size_t i = 2000; i < data.size(); ++i)
    if ((i / 900) % 3) data[i] = data[i - 1 - (i / 900 * 7919) % std::min<size_t>(i, 8192)];
  Bytes block = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
  const uint32_t size = uint32_t(data.size()), length = uint32_t(block.size());
  struct Case {
    const char* name;
    Bytes block;
    uint32_t capacity, block_size;
  } cases[] = {
      {"a capacity one byte short", block, size - 1, length},
      {"a capacity one part short", block, size - kLzStreamChunk, length},
      {"a capacity within the first part", block, 1000, length},
      {"cut to one byte", block, size, 1},
      {"cut to its first word", block, size, 4},
      {"cut in the middle", block, size, length / 2},
      {"cut by one byte", block, size, length - 1},
      {"a match first", Stream().Bits(0b010, 3).Byte(0).End().Done(), 100, 0},
      {"a match before the start",
       Stream().Literal(1).Literal(2).Bits(0b00, 2).Bit(1).Byte(1).Bit(0).Bit(1).End().Done(), 100, 0},
      {"no end code", Stream().Literal(1).Literal(2).Literal(3).Done(), 100, 0},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t block_size = c.block_size ? c.block_size : uint32_t(c.block.size());
    EXPECT_FALSE(StreamDecode(c.block, c.capacity, block_size).accepted);
    ExpectStreamAgrees(c.block, c.capacity, block_size);
  }
  // A match from the window's far end, one byte before there is output
  // that far back.
  Bytes far;
  Bytes edge = FarMatchesAfter(8191, 1, &far);
  EXPECT_FALSE(StreamDecode(edge, 100000, uint32_t(edge.size())).accepted);
  ExpectStreamAgrees(edge, 100000, uint32_t(edge.size()));
  // Every flipped byte (a sample across the block): accepted or refused as
  // the whole-block form decides, to the same bytes.
  for (size_t i = 0; i < block.size(); i += 97) {
    SCOPED_TRACE(i);
    Bytes bad = block;
    bad[i] ^= 0x5A;
    ExpectStreamAgrees(bad, size, length);
  }
}

TEST(LzBlockStream, SinkThatRefusesStopsTheDecoding) {
  Bytes data = Sequence(3 * kFirstPart, 4);
  Bytes block = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
  for (int stop : {0, 1, 3}) {
    SCOPED_TRACE(stop);
    Streamed s = StreamDecode(block, uint32_t(data.size()), uint32_t(block.size()), stop);
    EXPECT_FALSE(s.accepted);
    EXPECT_EQ(s.parts.size(), size_t(stop)) << "nothing is handed on after the refusal";
  }
}

}  // namespace
