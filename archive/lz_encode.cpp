// LzBlock encoder. Emits the tokens of the format in lz_block.cpp through a
// writer that opens a 4-byte control-word slot at the current end of the
// output whenever a control bit is due and the current slot is full, exactly
// where the decoder will look for the next word.
#include "archive/lz_encode.h"

#include "archive/lz_block.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

constexpr uint32_t kWindow = 8192;       // farthest long-match distance
constexpr uint32_t kShortWindow = 2303;  // farthest short-match distance
constexpr uint32_t kMaxLength = 282;
constexpr uint32_t kMinLong = 3;

// The long match's codes, from the format's one table (lz_block.h).
constexpr const LzDistanceClass& DistanceClassOf(uint32_t d) {
  const LzDistanceClass* c = kLzDistanceClasses;
  while (d > c->last) ++c;
  return *c;
}

constexpr const LzLengthCode& LengthCodeOf(uint32_t length) {
  const LzLengthCode* l = kLzLengthCodes;
  while (length > l->last) ++l;
  return *l;
}

// Bits of a long match's distance classes and length codes, by D and by
// length, made from the same table when the program is compiled: the parser
// prices every candidate match with them.
struct LongMatchCosts {
  uint8_t distance[kWindow];
  uint8_t length[kMaxLength + 1];
  constexpr LongMatchCosts() : distance(), length() {
    for (uint32_t d = 0; d < kWindow; ++d) {
      const LzDistanceClass& c = DistanceClassOf(d);
      distance[d] = uint8_t(c.code_bits + c.extra_bits);
    }
    for (uint32_t n = kMinLong; n <= kMaxLength; ++n) {
      const LzLengthCode& l = LengthCodeOf(n);
      length[n] = uint8_t(l.code_bits + (l.in_byte ? 8 : l.extra_bits));
    }
  }
};
constexpr LongMatchCosts kLongMatchCosts;

class BlockWriter {
 public:
  BlockWriter() : out_(4, 0) {}

  void Bit(unsigned b) {
    if (used_ == 32) {
      StoreWord();
      slot_ = out_.size();
      out_.resize(out_.size() + 4);
      word_ = 0;
      used_ = 0;
    }
    word_ |= uint32_t(b & 1) << (31 - used_);
    ++used_;
  }
  void Bits(uint32_t value, int count) {
    while (count-- > 0) Bit((value >> count) & 1);
  }
  void Byte(uint32_t b) { out_.push_back(uint8_t(b)); }

  void Literal(uint8_t c) {
    Bit(1);
    Byte(c);
  }

  void ShortMatch(uint32_t distance) {  // length 2, distance 1..2303
    Bits(0b01, 2);
    if (distance <= 256) {
      Bit(0);
      Byte(distance - 1);
    } else {
      uint32_t v = distance - 257;
      Bit(1);
      Byte(v >> 3);
      Bits(v & 7, 3);
    }
  }

  void LongMatch(uint32_t distance, uint32_t length) {  // 1..8192, 3..282
    uint32_t d = distance - 1;
    const LzDistanceClass& c = DistanceClassOf(d);
    const LzLengthCode& l = LengthCodeOf(length);
    Bits(0b00, 2);
    Bits(c.code, c.code_bits);
    Byte((d >> c.extra_bits) - (c.high ? 256 : 0));
    Bits(d & ((1u << c.extra_bits) - 1), c.extra_bits);
    Bits(l.code, l.code_bits);
    if (l.in_byte) {
      Byte(length - l.first);
    } else {
      Bits(length - l.first, l.extra_bits);
    }
  }

  std::vector<uint8_t> Finish() {
    Bits(0b011, 3);  // end code: 0 1 1, byte 0xFF, 1 1 1
    Byte(0xFF);
    Bits(0b111, 3);
    StoreWord();
    return std::move(out_);
  }

 private:
  void StoreWord() {
    out_[slot_] = uint8_t(word_);
    out_[slot_ + 1] = uint8_t(word_ >> 8);
    out_[slot_ + 2] = uint8_t(word_ >> 16);
    out_[slot_ + 3] = uint8_t(word_ >> 24);
  }

  std::vector<uint8_t> out_;
  size_t slot_ = 0;
  uint32_t word_ = 0;
  int used_ = 0;
};

// Costs in bits. Control bits and byte fields cost one bit each, since
// control words are spent at 32 bits per 4 bytes.
constexpr uint32_t kLiteralCost = 9;

uint32_t ShortMatchCost(uint32_t distance) { return distance <= 256 ? 11 : 14; }

// "0 0", the class's code and extra bits, the distance byte, the length code.
uint32_t LongMatchCost(uint32_t distance, uint32_t length) {
  return 2 + 8 + kLongMatchCosts.distance[distance - 1] + kLongMatchCosts.length[length];
}

struct Match {
  uint32_t length;
  uint32_t distance;
};

// Hash chains over 3-byte prefixes within the window, and the nearest earlier
// position of every 2-byte pair for short matches.
// How many of the first `limit` bytes at `a` and `b` are equal: 8 at a time
// where 8 remain, then byte by byte.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t len = 0;
  while (len + 8 <= limit) {
    uint64_t x, y;
    memcpy(&x, a + len, 8);
    memcpy(&y, b + len, 8);
    if (x != y) return len + uint32_t(__builtin_ctzll(x ^ y) / 8);  // the first differing byte (little-endian)
    len += 8;
  }
  while (len < limit && a[len] == b[len]) ++len;
  return len;
}

class MatchFinder {
 public:
  // Links kept per position: more than the window, so live links are never
  // overwritten.
  static constexpr size_t kRing = 16384;

  MatchFinder(const uint8_t* data, size_t size, int depth)
      : data_(data), size_(size), depth_(depth), head_(1 << kHashBits, -1), prev_(kRing, -1), pair_(1 << 16, -1) {}

  // All useful long matches at `pos`, lengths strictly increasing, each with
  // the nearest distance that reaches it; at most `limit` bytes long.
  void Find(size_t pos, uint32_t limit, std::vector<Match>* found) const {
    found->clear();
    if (limit < kMinLong) return;
    const uint8_t* cur = data_ + pos;
    uint32_t best = kMinLong - 1;
    int32_t cand = head_[Hash(cur)];
    for (int steps = depth_; cand >= 0 && steps > 0; --steps) {
      uint32_t distance = uint32_t(pos - size_t(cand));
      if (distance > kWindow) break;
      const uint8_t* ref = data_ + cand;
      if (ref[best] == cur[best]) {
        uint32_t len = MatchLength(ref, cur, limit);
        if (len > best) {
          best = len;
          found->push_back({len, distance});
          if (len == limit) break;
        }
      }
      int32_t next = prev_[size_t(cand) & (kRing - 1)];
      if (next >= cand) break;
      cand = next;
    }
  }

  // The nearest 2-byte match at `pos` within reach of a short match, or 0.
  uint32_t ShortDistance(size_t pos) const {
    if (pos + 2 > size_) return 0;
    int32_t cand = pair_[Pair(data_ + pos)];
    if (cand < 0) return 0;
    uint32_t distance = uint32_t(pos - size_t(cand));
    return distance <= kShortWindow ? distance : 0;
  }

  // Records `pos` as the newest position of its prefixes.
  void Insert(size_t pos) {
    if (pos + 2 <= size_) pair_[Pair(data_ + pos)] = int32_t(pos);
    if (pos + 3 <= size_) {
      uint32_t h = Hash(data_ + pos);
      prev_[pos & (kRing - 1)] = head_[h];
      head_[h] = int32_t(pos);
    }
  }

 private:
  static constexpr int kHashBits = 15;

  static uint32_t Hash(const uint8_t* p) {
    uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    return (v * 2654435761u) >> (32 - kHashBits);
  }
  static uint32_t Pair(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }

  const uint8_t* data_;
  size_t size_;
  int depth_;
  std::vector<int32_t> head_, prev_, pair_;
};

constexpr size_t kProgressStep = 1 << 16;
// The optimal parse of a large input on several threads: shares of 1 MiB,
// a few per thread in each round.
constexpr size_t kSegment = 1 << 20;
constexpr size_t kSegmentsPerThread = 4;

std::vector<uint8_t> EncodeGreedy(const uint8_t* data, size_t size, const LzProgress& progress) {
  BlockWriter writer;
  MatchFinder finder(data, size, 16);
  std::vector<Match> found;
  size_t pos = 0, report = kProgressStep;
  while (pos < size) {
    if (pos >= report && progress) {
      progress(pos);
      report = pos + kProgressStep;
    }
    uint32_t limit = uint32_t(std::min<size_t>(kMaxLength, size - pos));
    finder.Find(pos, limit, &found);
    size_t step = 1;
    if (!found.empty()) {
      // Any long match costs less than its bytes as literals (19 bits or
      // fewer for 3 bytes against 27).
      writer.LongMatch(found.back().distance, found.back().length);
      step = found.back().length;
    } else if (uint32_t d = finder.ShortDistance(pos)) {
      writer.ShortMatch(d);
      step = 2;
    } else {
      writer.Literal(data[pos]);
    }
    for (size_t i = 0; i < step; ++i) finder.Insert(pos + i);
    pos += step;
  }
  return writer.Finish();
}

// One step of a parse: a literal (length 1), a short match (2) or a long one.
struct Token {
  uint16_t length;
  uint16_t distance;
};

// Optimal parse by cost, chunk by chunk so that memory stays bounded: within
// a chunk every position's cheapest path from the chunk start is found, then
// the path is kept. Tokens never cross a chunk end.
//
// The parse of a chunk depends only on the match finder's state at its
// start, and every position is inserted once, in order. A finder primed with
// the positions of one ring before `from` therefore finds what a finder that
// saw everything before would find, so ranges of whole chunks can be parsed
// on separate threads into exactly the tokens of a parse from the start.
class OptimalParser {
 public:
  static constexpr size_t kChunk = 1 << 16;

  OptimalParser(const uint8_t* data, size_t size)
      : data_(data), size_(size), finder_(data, size, 256), price_(kChunk + 1), step_length_(kChunk + 1),
        step_distance_(kChunk + 1) {}

  // Makes a new parser ready to begin at `from` as if it had parsed all
  // that lies before.
  void Prime(size_t from) {
    constexpr size_t kPrimed = MatchFinder::kRing;  // more than any match reaches back
    for (size_t p = from > kPrimed ? from - kPrimed : 0; p < from; ++p) finder_.Insert(p);
  }

  // The tokens of [from, to), where `from` is a chunk start, right after
  // what was parsed or primed last, and `to` is a chunk start too or the end
  // of the data; appended to `tokens`.
  void Parse(size_t from, size_t to, std::vector<Token>* tokens) {
    for (size_t start = from; start < to; start += kChunk) ParseChunk(start, std::min(kChunk, to - start), tokens);
  }

 private:
  static constexpr uint32_t kNiceLength = 160;  // a match this long is taken outright
  static constexpr uint32_t kAllLengths = 36;   // beyond this only code boundaries are priced

  void Relax(size_t from, uint32_t length, uint32_t distance, uint32_t cost) {
    uint32_t p = price_[from] + cost;
    if (p < price_[from + length]) {
      price_[from + length] = p;
      step_length_[from + length] = uint16_t(length);
      step_distance_[from + length] = uint16_t(distance);
    }
  }

  void ParseChunk(size_t start, size_t n, std::vector<Token>* tokens) {
    std::fill(price_.begin(), price_.begin() + n + 1, UINT32_MAX);
    price_[0] = 0;
    size_t i = 0;
    while (i < n) {
      size_t pos = start + i;
      uint32_t limit = uint32_t(std::min<size_t>(kMaxLength, n - i));
      finder_.Find(pos, limit, &found_);
      Relax(i, 1, 0, kLiteralCost);
      if (limit >= 2) {
        if (uint32_t d = finder_.ShortDistance(pos)) Relax(i, 2, d, ShortMatchCost(d));
      }
      if (!found_.empty() && found_.back().length >= kNiceLength) {
        // Long repeats: take the whole match and skip the positions inside it.
        const Match& m = found_.back();
        Relax(i, m.length, m.distance, LongMatchCost(m.distance, m.length));
        for (uint32_t k = 0; k < m.length; ++k) finder_.Insert(pos + k);
        i += m.length;
        continue;
      }
      uint32_t length = kMinLong;
      for (const Match& m : found_) {
        for (; length <= m.length; ++length) {
          bool boundary = length <= kAllLengths || length == m.length || length == 26 || length == 27;
          if (boundary) Relax(i, length, m.distance, LongMatchCost(m.distance, length));
        }
      }
      finder_.Insert(pos);
      ++i;
    }
    // Walk back from the chunk end, then keep the path forward.
    size_t first = tokens->size();
    for (size_t at = n; at > 0; at -= step_length_[at]) tokens->push_back({step_length_[at], step_distance_[at]});
    std::reverse(tokens->begin() + first, tokens->end());
  }

  const uint8_t* data_;
  size_t size_;
  MatchFinder finder_;
  std::vector<Match> found_;
  std::vector<uint32_t> price_;
  std::vector<uint16_t> step_length_, step_distance_;
};

void Emit(const uint8_t* data, size_t* pos, const std::vector<Token>& tokens, BlockWriter* writer) {
  for (const Token& t : tokens) {
    if (t.length == 1) writer->Literal(data[*pos]);
    else if (t.length == 2) writer->ShortMatch(t.distance);
    else writer->LongMatch(t.distance, t.length);
    *pos += t.length;
  }
}

std::vector<uint8_t> EncodeOptimal(const uint8_t* data, size_t size, const LzProgress& progress, unsigned threads) {
  BlockWriter writer;
  size_t pos = 0;
  if (threads <= 1 || size <= 2 * kSegment) {
    OptimalParser parser(data, size);
    std::vector<Token> tokens;
    for (size_t start = 0; start < size; start += OptimalParser::kChunk) {
      tokens.clear();
      parser.Parse(start, std::min(size, start + OptimalParser::kChunk), &tokens);
      Emit(data, &pos, tokens, &writer);
      if (progress && pos < size) progress(pos);
    }
    return writer.Finish();
  }
  // Rounds of a few segments per thread, parsed side by side (a thread that
  // is done takes the next segment of the round); while a round is parsed,
  // the one before it is written out. Memory stays at two rounds' tokens
  // whatever the size.
  const size_t per_round = size_t(threads) * kSegmentsPerThread;
  std::vector<std::vector<Token>> ready(per_round), parsing(per_round);
  for (size_t round = 0; round < size + per_round * kSegment; round += per_round * kSegment) {
    std::atomic<size_t> next{0};
    auto parse = [&] {
      for (size_t k; (k = next++) < per_round;) {
        size_t from = round + k * kSegment;
        parsing[k].clear();
        if (from >= size) continue;
        OptimalParser parser(data, size);
        parser.Prime(from);
        parser.Parse(from, std::min(size, from + kSegment), &parsing[k]);
      }
    };
    std::vector<std::thread> helpers;
    if (round < size) {
      for (unsigned t = 0; t < threads; ++t) helpers.emplace_back(parse);
    }
    if (round > 0) {
      for (const std::vector<Token>& part : ready) Emit(data, &pos, part, &writer);
      if (progress && pos < size) progress(pos);
    }
    for (std::thread& helper : helpers) helper.join();
    std::swap(ready, parsing);
  }
  return writer.Finish();
}

}  // namespace

std::vector<uint8_t> CompressLzBlock(const uint8_t* data, size_t size, LzLevel level, const LzProgress& progress,
                                     unsigned threads) {
  return level == LzLevel::Fast ? EncodeGreedy(data, size, progress) : EncodeOptimal(data, size, progress, threads);
}
