// LzBlock encoder. Emits the tokens of the format in lz_block.cpp through a
// writer that opens a 4-byte control-word slot at the current end of the
// output whenever a control bit is due and the current slot is full, exactly
// where the decoder will look for the next word.
#include "archive/lz_encode.h"

#include "archive/lz_block.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <thread>

namespace {

constexpr uint32_t kWindow = kLzWindow;            // farthest long-match distance
constexpr uint32_t kShortWindow = kLzFarPairLast;  // farthest short-match distance
constexpr uint32_t kMaxLength = kLzLongestMatch;
constexpr uint32_t kMinLong = kLzShortestLong;

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
    if (distance <= kLzNearPairLast) {
      Bit(0);
      Byte(distance - 1);
    } else {
      FarPair(distance - kLzFarPairBase);
    }
  }

  // "1", byte B and the extra bits of a far match of 2 (or of the end code).
  void FarPair(uint32_t v) {
    Bit(1);
    Byte(v >> kLzFarPairExtraBits);
    Bits(v & ((1u << kLzFarPairExtraBits) - 1), kLzFarPairExtraBits);
  }

  void LongMatch(uint32_t distance, uint32_t length) {  // 1..8192, 3..282
    uint32_t d = distance - 1;
    const LzDistanceClass& c = DistanceClassOf(d);
    const LzLengthCode& l = LengthCodeOf(length);
    Bits(0b00, 2);
    Bits(c.code, c.code_bits);
    Byte((d >> c.extra_bits) - (c.high ? kLzNearPairLast : 0));
    Bits(d & ((1u << c.extra_bits) - 1), c.extra_bits);
    Bits(l.code, l.code_bits);
    if (l.in_byte) {
      Byte(length - l.first);
    } else {
      Bits(length - l.first, l.extra_bits);
    }
  }

  std::vector<uint8_t> Finish() {
    Bits(0b01, 2);  // the end code: a far match of 2 whose V is kLzEndCode
    FarPair(kLzEndCode);
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

uint32_t ShortMatchCost(uint32_t distance) { return distance <= kLzNearPairLast ? kLzNearPairBits : kLzFarPairBits; }

// "0 0", the class's code and extra bits, the distance byte: what a long
// match costs before its length code.
uint32_t LongMatchCostBeforeLength(uint32_t distance) { return 2 + 8 + kLongMatchCosts.distance[distance - 1]; }

uint32_t LongMatchCost(uint32_t distance, uint32_t length) {
  return LongMatchCostBeforeLength(distance) + kLongMatchCosts.length[length];
}

struct Match {
  uint32_t length;
  uint32_t distance;
};

// Long matches at one position, lengths strictly increasing: at most one per
// length.
struct MatchList {
  Match match[kMaxLength - kMinLong + 1];
  uint32_t count = 0;

  void Add(uint32_t length, uint32_t distance) { match[count++] = {length, distance}; }
  const Match* begin() const { return match; }
  const Match* end() const { return match + count; }
  const Match& back() const { return match[count - 1]; }
};

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

// Positions are kept in rings of this many slots: more than the window, so a
// position within reach is never overwritten.
constexpr size_t kRing = 16384;

inline uint32_t Hash3(const uint8_t* p, int bits) {
  uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  return (v * 2654435761u) >> (32 - bits);
}

inline uint32_t Hash4(const uint8_t* p, int bits) {
  uint32_t v = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
  return (v * 2654435761u) >> (32 - bits);
}

// The nearest earlier position of every 2-byte pair, for short matches.
class PairTable {
 public:
  PairTable(const uint8_t* data, size_t size) : data_(data), size_(size), pair_(1 << 16, -1) {}

  // The nearest 2-byte match at `pos` within reach of a short match, or 0.
  uint32_t ShortDistance(size_t pos) const {
    if (pos + 2 > size_) return 0;
    int32_t cand = pair_[Pair(data_ + pos)];
    if (cand < 0) return 0;
    uint32_t distance = uint32_t(pos - size_t(cand));
    return distance <= kShortWindow ? distance : 0;
  }

  void Note(size_t pos) {
    if (pos + 2 <= size_) pair_[Pair(data_ + pos)] = int32_t(pos);
  }

 private:
  static uint32_t Pair(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }

  const uint8_t* data_;
  size_t size_;
  std::vector<int32_t> pair_;
};

// Hash chains over 3-byte prefixes within the window, walked nearest first to
// a fixed depth: the fast mode's short search.
class ChainMatchFinder {
 public:
  ChainMatchFinder(const uint8_t* data, size_t size, int depth)
      : data_(data), size_(size), depth_(depth), pairs_(data, size), head_(1 << kHashBits, -1), prev_(kRing, -1) {}

  // All useful long matches at `pos`, lengths strictly increasing, each with
  // the nearest distance that reaches it; at most `limit` bytes long.
  void Find(size_t pos, uint32_t limit, std::vector<Match>* found) const {
    found->clear();
    if (limit < kMinLong) return;
    const uint8_t* cur = data_ + pos;
    uint32_t best = kMinLong - 1;
    int32_t cand = head_[Hash3(cur, kHashBits)];
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

  uint32_t ShortDistance(size_t pos) const { return pairs_.ShortDistance(pos); }

  // Records `pos` as the newest position of its prefixes.
  void Insert(size_t pos) {
    pairs_.Note(pos);
    if (pos + 3 <= size_) {
      uint32_t h = Hash3(data_ + pos, kHashBits);
      prev_[pos & (kRing - 1)] = head_[h];
      head_[h] = int32_t(pos);
    }
  }

 private:
  static constexpr int kHashBits = 15;

  const uint8_t* data_;
  size_t size_;
  int depth_;
  PairTable pairs_;
  std::vector<int32_t> head_, prev_;
};

// The best mode's search: binary trees over 4-byte prefixes, and the newest
// position of every 3-byte prefix beside them.
//
// Each tree holds the positions within the window whose first 4 bytes hash
// alike, ordered as the bytes that follow them sort (up to kMaxLength), the
// newest at the root and every node newer than the nodes beneath it. A new
// position becomes the root: the walk from the old root towards where it
// sorts splits the tree in two beneath it. On the way it meets, for every
// length, the newest position that matches that far (that position has the
// newest key of all those that sort between it and the new one, so it lies on
// the way), so one walk both finds the nearest match of each length from 4 up
// and inserts. Matches of 3 come from a short chain per 3-byte hash, newest
// first: the first entry that really begins with the same 3 bytes is the
// nearest match of 3 (unless more than k3Steps others hash alike in between),
// and no longer match is nearer.
//
// A walk stops after kMaxSteps nodes and drops what lies beneath: a bound on
// time for inputs whose order runs against the order of their positions.
// What a tree holds then depends on what was inserted before, so the best
// mode starts a fresh finder at every share of the input (EncodeOptimal).
class TreeMatchFinder {
 public:
  TreeMatchFinder(const uint8_t* data, size_t size)
      : data_(data), size_(size),
        // Small inputs get small tables: filling them is most of the work.
        // The rings then still hold every position, so nothing is lost.
        hash_bits_(int(std::clamp<size_t>(std::bit_width(size) + 1, 10, kHashBits))),
        ring_mask_((size >= kRing ? kRing : std::bit_ceil(std::max<size_t>(size, 1))) - 1), pairs_(data, size),
        root_(size_t(1) << hash_bits_, -1), newest3_(size_t(1) << hash_bits_, -1), older3_(ring_mask_ + 1, -1),
        child_(2 * (ring_mask_ + 1), -1) {}

  // Inserts `pos` and lists its useful long matches: lengths strictly
  // increasing, each with the nearest distance that reaches it, cut to
  // `limit` bytes. Returns the distance of the nearest 2-byte match within
  // reach of a short match, or 0.
  uint32_t FindAndInsert(size_t pos, uint32_t limit, MatchList* found) {
    uint32_t short_distance = limit >= 2 ? pairs_.ShortDistance(pos) : 0;
    found->count = 0;
    Walk<true>(pos, limit, found);
    return short_distance;
  }
  void Insert(size_t pos) { Walk<false>(pos, 0, nullptr); }

 private:
  static constexpr int kHashBits = 16;
  static constexpr int kMaxSteps = 256;
  static constexpr int k3Steps = 8;

  template <bool kFind>
  void Walk(size_t pos, uint32_t limit, MatchList* found) {
    pairs_.Note(pos);
    // Keys are compared as far as a match can reach from `pos` in the whole
    // input, whatever `limit` is, so that every tree stays sorted alike.
    const uint32_t key_limit = uint32_t(std::min<size_t>(kMaxLength, size_ - pos));
    if (key_limit < kMinLong) return;
    const uint8_t* cur = data_ + pos;
    uint32_t best = kMinLong - 1;
    const uint32_t h3 = Hash3(cur, hash_bits_);
    int32_t near3 = newest3_[h3];
    newest3_[h3] = int32_t(pos);
    older3_[pos & ring_mask_] = near3;
    if (kFind && limit >= 3) {
      // The newest position of the same 3 bytes, past a few that only hash alike.
      for (int steps = k3Steps; near3 >= 0 && pos - size_t(near3) <= kWindow && steps > 0; --steps) {
        if (memcmp(data_ + near3, cur, 3) == 0) {
          best = 3;
          found->Add(3, uint32_t(pos - size_t(near3)));
          break;
        }
        near3 = older3_[size_t(near3) & ring_mask_];
      }
    }
    if (key_limit < 4) return;
    const uint32_t h = Hash4(cur, hash_bits_);
    int32_t cand = root_[h];
    root_[h] = int32_t(pos);
    // Where the next node that sorts below (above) `pos` hangs, and how many
    // bytes every node on that side shares with it.
    int32_t* below = &child_[2 * (pos & ring_mask_)];
    int32_t* above = below + 1;
    uint32_t below_len = 0, above_len = 0;
    for (int steps = kMaxSteps;; --steps) {
      if (cand < 0 || pos - size_t(cand) > kWindow || steps == 0) {
        *below = *above = -1;
        return;
      }
      int32_t* node = &child_[2 * (size_t(cand) & ring_mask_)];
      const uint8_t* ref = data_ + cand;
      uint32_t len = std::min(below_len, above_len);
      len += MatchLength(ref + len, cur + len, key_limit - len);
      if (kFind) {
        uint32_t reach = std::min(len, limit);
        if (reach > best) {
          best = reach;
          found->Add(reach, uint32_t(pos - size_t(cand)));
        }
      }
      if (len == key_limit) {  // the same key: `pos` takes the node's place
        *below = node[0];
        *above = node[1];
        return;
      }
      if (ref[len] < cur[len]) {  // the node and its lower subtree sort below `pos`
        *below = cand;
        below = &node[1];
        below_len = len;
        cand = node[1];
      } else {
        *above = cand;
        above = &node[0];
        above_len = len;
        cand = node[0];
      }
    }
  }

  const uint8_t* data_;
  size_t size_;
  int hash_bits_;
  size_t ring_mask_;
  PairTable pairs_;
  std::vector<int32_t> root_;     // per 4-byte hash: the newest position, its tree's root
  std::vector<int32_t> newest3_;  // per 3-byte hash: the newest position
  std::vector<int32_t> older3_;   // per ring slot: the next older position of its 3-byte hash
  std::vector<int32_t> child_;    // per ring slot: the subtrees that sort below and above
};

constexpr size_t kProgressStep = 1 << 16;
// The optimal parse goes share by share, each with a fresh match finder; on
// several threads, a few shares per thread in each round.
constexpr size_t kSegment = 1 << 20;
constexpr size_t kSegmentsPerThread = 4;

std::vector<uint8_t> EncodeGreedy(const uint8_t* data, size_t size, const LzProgress& progress) {
  BlockWriter writer;
  ChainMatchFinder finder(data, size, 16);
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
// A parser is made for one share of the input (kSegment bytes, whole chunks)
// and primed with the window before it; what it parses depends only on the
// bytes from there to the share's end. The shares can therefore be parsed on
// any number of threads, in any order, into the same tokens.
class OptimalParser {
 public:
  static constexpr size_t kChunk = 1 << 16;

  // A parser ready to begin at `from`: the positions a match from there can
  // reach back to are inserted. Its match finder sees the data from the
  // window before `from` on (`base_`), so that the positions it keeps stay
  // small in an input of any size; the tokens do not depend on where that is.
  OptimalParser(const uint8_t* data, size_t size, size_t from)
      : base_(from > kWindow ? from - kWindow : 0), finder_(data + base_, size - base_),
        price_(std::min(kChunk, size) + 1), step_(std::min(kChunk, size) + 1) {
    for (size_t p = 0; p < from - base_; ++p) finder_.Insert(p);
  }

  // The tokens of [from, to), where `from` is a chunk start, right after
  // what was parsed last (or where the parser began), and `to` is a chunk
  // start too or the end of the data; appended to `tokens`.
  void Parse(size_t from, size_t to, std::vector<Token>* tokens) {
    for (size_t start = from; start < to; start += kChunk)
      ParseChunk(start - base_, std::min(kChunk, to - start), tokens);
  }

 private:
  static constexpr uint32_t kNiceLength = 64;  // a match this long is taken outright
  static constexpr uint32_t kAllLengths = 36;  // beyond this only a match's whole length is priced

  // A path to `at` of `price` bits ending with `step`, kept if it is
  // cheaper than the best one known.
  void Offer(size_t at, uint32_t price, Token step) {
    if (price < price_[at]) {
      price_[at] = price;
      step_[at] = step;
    }
  }

  // The path to `from + length` through a token of that length and `cost` bits.
  void Relax(size_t from, uint32_t length, uint32_t distance, uint32_t cost) {
    Offer(from + length, price_[from] + cost, {uint16_t(length), uint16_t(distance)});
  }

  void ParseChunk(size_t start, size_t n, std::vector<Token>* tokens) {
    std::fill(price_.begin(), price_.begin() + n + 1, UINT32_MAX);
    price_[0] = 0;
    size_t i = 0;
    while (i < n) {
      size_t pos = start + i;
      uint32_t limit = uint32_t(std::min<size_t>(kMaxLength, n - i));
      uint32_t short_distance = finder_.FindAndInsert(pos, limit, &found_);
      Relax(i, 1, 0, kLiteralCost);
      if (short_distance) Relax(i, 2, short_distance, ShortMatchCost(short_distance));
      if (found_.count && found_.back().length >= kNiceLength) {
        // Long repeats: take the whole match and skip the positions inside it.
        const Match& m = found_.back();
        Relax(i, m.length, m.distance, LongMatchCost(m.distance, m.length));
        for (uint32_t k = 1; k < m.length; ++k) finder_.Insert(pos + k);
        i += m.length;
        continue;
      }
      // Every length up to kAllLengths with the nearest match that reaches
      // it, and each longer match at its whole length.
      uint32_t length = kMinLong;
      for (const Match& m : found_) {
        const uint32_t base = price_[i] + LongMatchCostBeforeLength(m.distance);
        for (const uint32_t dense = std::min(m.length, kAllLengths); length <= dense; ++length)
          Offer(i + length, base + kLongMatchCosts.length[length], {uint16_t(length), uint16_t(m.distance)});
        if (length <= m.length) {
          Relax(i, m.length, m.distance, LongMatchCost(m.distance, m.length));
          length = m.length + 1;
        }
      }
      ++i;
    }
    // Walk back from the chunk end, then keep the path forward.
    size_t first = tokens->size();
    for (size_t at = n; at > 0; at -= step_[at].length) tokens->push_back(step_[at]);
    std::reverse(tokens->begin() + first, tokens->end());
  }

  size_t base_;  // where the finder's positions begin in the data
  TreeMatchFinder finder_;
  MatchList found_;
  std::vector<uint32_t> price_;  // bits of the cheapest path from the chunk start
  std::vector<Token> step_;      // its last token
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
    std::vector<Token> tokens;
    for (size_t from = 0; from < size; from += kSegment) {
      OptimalParser parser(data, size, from);
      const size_t to = std::min(size, from + kSegment);
      for (size_t start = from; start < to; start += OptimalParser::kChunk) {
        tokens.clear();
        parser.Parse(start, std::min(to, start + OptimalParser::kChunk), &tokens);
        Emit(data, &pos, tokens, &writer);
        if (progress && pos < size) progress(pos);
      }
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
        OptimalParser parser(data, size, from);
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
