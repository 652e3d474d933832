// LzBlock format
// ==============
// An LZ77 block whose token codes travel in 32-bit control words interleaved
// with the tokens' byte fields. A block carries no length: it ends with an
// end code, and the archive records its decoded size and its length.
//
//   Control word  32 bits, little-endian, used from bit 31 down to bit 0. The
//                 first one is at the start of the block. When a control bit
//                 is needed and the current word is used up, the next word is
//                 read from the current input position at that moment, so a
//                 word that falls due inside a token lies after the token's
//                 bytes read before that bit and before those read after it.
//   Values of several bits are read most significant bit first.
//
//   Tokens (control bits, then fields in reading order):
//     1, byte L                      literal L
//     0 1 0, byte B                  match of 2 from distance B + 1 (1..256)
//     0 1 1, byte B, 3 bits X        V = B*8 + X; V == 2047 is the end code,
//                                    otherwise a match of 2 from distance
//                                    V + 257 (257..2303)
//     0 0, class, byte B, extra X,   match of 3..282 from distance D + 1
//     length code                    (1..8192), with D by class:
//          1      1 extra bit        D = B*2 + X                  1..512
//          0 1    1 extra bit        D = (256 + B)*2 + X        513..1024
//          0 0 1  2 extra bits       D = (256 + B)*4 + X       1025..2048
//          0 0 0 1  3 extra bits     D = (256 + B)*8 + X       2049..4096
//          0 0 0 0  4 extra bits     D = (256 + B)*16 + X      4097..8192
//        and the length code:
//          1 -> 3   0 1 -> 4   0 0 1 + 1 bit X -> 5 + X   0 0 0 1 + 2 bits -> 7 + X
//          0 0 0 0 1 + 4 bits X -> 11 + X   0 0 0 0 0 + byte N -> 27 + N
//
//   A match appends its bytes one by one, each equal to the byte `distance`
//   positions before it, so a distance below the length repeats the last
//   `distance` bytes. Matches reach only output of the same block.
//   The block ends after the end code's byte 0xFF or after the control word
//   read for its last bits, whichever comes later.
#include "archive/lz_block.h"

#include <cstring>

#include "common/bytes.h"

namespace {

// A match's control bits after its leading "0", decoded at once from the next
// kMatchIndexBits of them: for every short match and the common long ones
// (those whose class code, extra bits, length code and length bits all lie
// there) the whole token, for the other long ones the class. The distance is
// (B << shift) + add with B the distance byte. Made from the format's tables
// when the program is compiled.
constexpr int kMatchIndexBits = 12;
constexpr uint16_t kLengthByte = 0x8000;                        // in `length`: a length byte follows
constexpr uint32_t kEndDistance = kLzEndCode + kLzFarPairBase;  // what the end code decodes to as a match of 2
constexpr uint8_t kShortMatch = 5;                              // `cls` of a match of 2
struct MatchToken {
  uint8_t used;     // control bits taken after the leading "0"; 0: not all within the index
  uint8_t before;   // of those, the ones before the distance byte
  uint8_t shift;    // the distance byte's shift
  uint8_t cls;      // the distance class, or kShortMatch
  uint16_t add;     // the distance's base and extra bits
  uint16_t length;  // the length, or its base with kLengthByte
};
struct MatchTokenTable {
  MatchToken entry[1 << kMatchIndexBits];
  constexpr MatchTokenTable() : entry() {
    for (uint32_t index = 0; index < (1u << kMatchIndexBits); ++index) {
      // The index's bits, most significant first.
      auto bits_at = [index](int from, int count) {
        return (index >> (kMatchIndexBits - from - count)) & ((1u << count) - 1);
      };
      if (bits_at(0, 1) == 1) {  // "0 1": a match of 2, near ("0") or far ("1", and 3 bits after the byte)
        constexpr uint8_t far_bits = kLzFarPairExtraBits;
        entry[index] =
            bits_at(1, 1) == 0
                ? MatchToken{2, 2, 0, kShortMatch, 1, 2}
                : MatchToken{
                      2 + far_bits, 2, far_bits, kShortMatch, uint16_t(bits_at(2, far_bits) + kLzFarPairBase), 2};
        continue;
      }
      int zeros = 0;
      while (zeros < 4 && bits_at(1 + zeros, 1) == 0) ++zeros;
      const LzDistanceClass& c = kLzDistanceClasses[zeros];
      int at = 1 + c.code_bits;
      entry[index] = MatchToken{0, uint8_t(at), c.extra_bits, uint8_t(zeros), 0, 0};
      if (at + c.extra_bits > kMatchIndexBits) continue;
      uint32_t extra = bits_at(at, c.extra_bits);
      at += c.extra_bits;
      int length_zeros = 0;
      while (length_zeros < 5 && at + length_zeros < kMatchIndexBits && bits_at(at + length_zeros, 1) == 0)
        ++length_zeros;
      if (at + length_zeros >= kMatchIndexBits && length_zeros < 5) continue;
      const LzLengthCode& l = kLzLengthCodes[length_zeros];
      if (at + l.code_bits + l.extra_bits > kMatchIndexBits) continue;
      uint32_t length = l.first + (l.extra_bits ? bits_at(at + l.code_bits, l.extra_bits) : 0);
      entry[index].used = uint8_t(at + l.code_bits + l.extra_bits);
      entry[index].add = uint16_t((c.high ? kLzNearPairLast << c.extra_bits : 0) + extra + 1);
      entry[index].length = uint16_t(length | (l.in_byte ? kLengthByte : 0));
    }
  }
};
constexpr MatchTokenTable kMatchTokens;

// The decoder's whole state: input and output positions, and the control
// bits not yet used, at the top of `acc` with zeros below. `Checked` adds the
// bounds tests and nothing else, so both forms decode by the same code.
//
// Speed comes from decoding a token's control bits at once, from a table or
// by counting leading bits, never bit by bit. Where they run past the current
// word, the next word is due at the input position of that moment (before
// the token's first byte field or after it), so it is loaded there, below
// the bits still at hand, and the token decoded again. And where the checked
// form has room at both ends, each step is a run of literals and a match,
// copied in fixed-size pieces that may run past their end.
template <bool Checked, bool Streaming = false>
struct Decoder {
  const uint8_t* in;
  const uint8_t* in_end;  // only read when Checked
  uint8_t* out;
  uint8_t* out_begin;
  uint8_t* out_end;  // only read when Checked
  uint64_t acc;
  int bits;
  bool broken;
  bool ended;
  // The streaming form stops between two steps once the output reaches
  // `pause_at`, with `paused` set, for its caller to hand the output on and
  // make room; Resume goes on from there.
  uint8_t* pause_at;
  bool paused;

  // Room the checked form wants at the input's end before it takes the fast
  // path (two control words and two bytes at most per token), and at the
  // output's end before it copies in whole steps that may run past the end
  // of a literal run or a match (never past the destination).
  static constexpr uint32_t kInputSlack = 16;
  static constexpr uint32_t kSlack = 32;
  // A control word's bits, and so the longest run of literals one word holds.
  static constexpr uint32_t kWordBits = 32;

  // The next control word, due now, below the bits at hand.
  bool Refill() {
    if (Checked && in_end - in < 4) {
      broken = true;
      return false;
    }
    acc |= uint64_t(ReadLe32(in)) << (kWordBits - bits);
    in += 4;
    bits += kWordBits;
    return true;
  }

  void Take(int n) {
    acc <<= n;
    bits -= n;
  }

  unsigned Bit() {
    if (bits == 0 && !Refill()) return 0;
    unsigned b = unsigned(acc >> 63);
    Take(1);
    return b;
  }

  unsigned Bits(int n) {
    unsigned v = 0;
    while (n-- > 0) v = (v << 1) | Bit();
    return v;
  }

  unsigned Byte() {
    if (Checked && in >= in_end) {
      broken = true;
      return 0;
    }
    return *in++;
  }

  // A match may only reach produced output and must fit the destination.
  bool MatchFits(uint32_t distance, uint32_t length) {
    if (!Checked) return true;
    if (broken || distance > uint32_t(out - out_begin) || length > uint32_t(out_end - out)) {
      broken = true;
      return false;
    }
    return true;
  }

  bool Run() {
    bits = 0;
    acc = 0;
    if (!Refill()) return false;  // the first control word starts the block
    return Resume();
  }

  bool Resume() {
    for (;;) {
      if (Checked && broken) return false;
      if (Streaming && out >= pause_at) {
        paused = true;
        return false;
      }
      if (bits == 0 && !Refill()) return false;
      if (Checked && uint32_t(in_end - in) >= kWordBits + kInputSlack && uint32_t(out_end - out) >= kWordBits) {
        // A run of literals, empty when a match is next, then the match
        // unless the run used up the word: no branch on the kind of token,
        // which the data makes hard to foresee.
        uint32_t run = uint32_t(__builtin_clzll(~acc));
        if (uint32_t(out_end - out) < run) return false;
        TakeLiterals(run, true);
        if (bits == 0) continue;
        if (!FastMatch()) return !broken && ended;
        continue;
      }
      if (acc >> 63) {
        LiteralRun();
        continue;
      }
      if (Checked && uint32_t(in_end - in) < kInputSlack) {
        if (!SlowMatch()) return !broken && ended;
        continue;
      }
      if (!FastMatch()) return !(Checked && broken) && ended;
    }
  }

  // The word's leading one bits: a literal each, its byte copied as it is.
  // The bits below those at hand are zero, so the run never passes them.
  void LiteralRun() {
    uint32_t run = uint32_t(__builtin_clzll(~acc));
    if (Checked && (uint32_t(in_end - in) < run || uint32_t(out_end - out) < run)) {
      broken = true;
      return;
    }
    TakeLiterals(run, Checked && in_end - in >= kWordBits && out_end - out >= kWordBits);
  }

  // `run` literals, their bytes copied as they are: with `room` at both ends
  // in one fixed-size copy (the bytes past the run are written again later),
  // otherwise exactly.
  void TakeLiterals(uint32_t run, bool room) {
    if (room) {
      memcpy(out, in, kWordBits);
    } else {
      memcpy(out, in, run);
    }
    out += run;
    in += run;
    Take(int(run));
  }

  // A match, decoded from kMatchTokens. False at the end code (with `ended`)
  // or on damage. When the token's control bits run past the word, the next
  // word is due where they run out, before the distance byte or after it:
  // it is loaded there, below the bits at hand, and the token looked up
  // again. The checked form comes here only with kInputSlack bytes of input
  // left, enough for two control words and two byte fields, so only the
  // output is tested.
  bool FastMatch() {
    const MatchToken* t = &kMatchTokens.entry[MatchIndex()];
    if (1 + t->before > bits) {  // the word runs out before the distance byte: the next one is due now
      Refill();
      t = &kMatchTokens.entry[MatchIndex()];
    }
    if (t->used == 0) return LongMatchPastIndex(*t, *in++);
    uint32_t b;
    if (1 + t->used <= bits) {
      Take(1 + t->used);
      b = *in++;
    } else {  // the word runs out after the distance byte: the byte, then the next word
      b = *in++;
      Refill();
      t = &kMatchTokens.entry[MatchIndex()];
      if (t->used == 0) return LongMatchPastIndex(*t, b);
      Take(1 + t->used);
    }
    uint32_t distance = (b << t->shift) + t->add;
    uint32_t length = t->length & ~kLengthByte;
    if (t->length & kLengthByte) length += *in++;
    if (distance == kEndDistance && length == 2) {
      ended = true;
      return false;
    }
    if (!MatchFits(distance, length)) return false;
    CopyMatch(distance, length);
    return true;
  }

  // The index into kMatchTokens: the control bits after the match's "0".
  uint32_t MatchIndex() const { return uint32_t((acc << 1) >> (64 - kMatchIndexBits)); }

  // A long match whose bits run past the index, its distance byte `b` read:
  // the class from the table, the rest from LongMatchAfterByte.
  bool LongMatchPastIndex(const MatchToken& t, uint32_t b) {
    Take(1 + t.before);
    return LongMatchAfterByte(kLzDistanceClasses[t.cls], b);
  }

  // A long match from its extra bits on, its class and distance byte taken:
  // the extra bits and the length code, up to the length byte, decoded from
  // the bits at hand by counting leading zeros (a stop bit below the longest
  // code caps the count at the table's last entry); when they turn out to
  // need more, the next word is loaded and the group decoded again.
  bool LongMatchAfterByte(const LzDistanceClass& c, uint32_t b) {
    int e = c.extra_bits;
    const LzLengthCode* l = &kLzLengthCodes[__builtin_clzll((acc << e) | (1ull << 58))];
    int n = e + l->code_bits + l->extra_bits;
    if (n > bits) {
      Refill();
      l = &kLzLengthCodes[__builtin_clzll((acc << e) | (1ull << 58))];
      n = e + l->code_bits + l->extra_bits;
    }
    uint32_t extra = uint32_t(acc >> (64 - e));
    uint32_t length = l->first;
    if (l->extra_bits) length += uint32_t((acc << (e + l->code_bits)) >> (64 - l->extra_bits));
    Take(n);
    if (l->in_byte) length += *in++;
    uint32_t distance = ((c.high * kLzNearPairLast + b) << e) + extra + 1;
    if (!MatchFits(distance, length)) return false;
    CopyMatch(distance, length);
    return true;
  }

  // The same match one bit and one byte at a time, every read tested: the
  // checked form's path for the last bytes of the block.
  bool SlowMatch() {
    Take(1);      // the "0" of every match
    if (Bit()) {  // a match of 2, near or far
      uint32_t distance;
      if (Bit() == 0) {
        distance = Byte() + 1;
      } else {
        uint32_t v = Byte() << kLzFarPairExtraBits;
        v += Bits(kLzFarPairExtraBits);
        if (broken) return false;
        if (v == kLzEndCode) {
          ended = true;
          return false;
        }
        distance = v + kLzFarPairBase;
      }
      return CopyPair(distance);
    }
    // A long match, by the format's tables: the class (its code is the
    // number of zeros before a one, the last class all zeros), byte B, the
    // extra bits, then the length code likewise, its bits or its byte.
    int zeros = 0;
    while (zeros < 4 && Bit() == 0) ++zeros;
    const LzDistanceClass& c = kLzDistanceClasses[zeros];
    uint32_t d = ((c.high ? kLzNearPairLast : 0) + Byte()) << c.extra_bits;
    d += Bits(c.extra_bits);
    int length_zeros = 0;
    while (length_zeros < 5 && Bit() == 0) ++length_zeros;
    const LzLengthCode& l = kLzLengthCodes[length_zeros];
    uint32_t length = l.first + Bits(l.extra_bits);
    if (l.in_byte) length += Byte();
    uint32_t distance = d + 1;
    if (!MatchFits(distance, length)) return false;
    CopyMatch(distance, length);
    return true;
  }

  // A match of 2, byte by byte: at distance 1 the second byte is the first.
  bool CopyPair(uint32_t distance) {
    if (!MatchFits(distance, 2)) return false;
    const uint8_t* from = out - distance;
    out[0] = from[0];
    out[1] = from[1];
    out += 2;
    return true;
  }

  template <uint32_t Step>
  static void CopyWholeSteps(uint8_t*& dst, const uint8_t*& src, uint32_t& length) {
    for (; length >= Step; length -= Step, dst += Step, src += Step) memcpy(dst, src, Step);
  }

  template <int Step>
  static void CopySteps(uint8_t* dst, const uint8_t* src, const uint8_t* end) {
    do {
      memcpy(dst, src, Step);
      dst += Step;
      src += Step;
    } while (dst < end);
  }

  __attribute__((always_inline)) void CopyMatch(uint32_t distance, uint32_t length) {
    uint8_t* dst = out;
    out += length;
    const uint8_t* src = dst - distance;
    bool room = Checked && uint32_t(out_end - dst) >= length + kSlack;
    // With room to spare, whole steps of 16 or 8 bytes, the last one running
    // past the match into output that later tokens write again. Each step
    // reads bytes at least a step before those it writes, so they are final.
    if (distance >= 16 && room) return CopySteps<16>(dst, src, out);
    if (distance >= 8 && room) return CopySteps<8>(dst, src, out);
    // Without room, steps that end with the match: 8 bytes, then 4 (a step
    // reads bytes at least `distance` >= the step before those it writes),
    // then the tail byte by byte.
    if (distance >= 8) CopyWholeSteps<8>(dst, src, length);
    if (distance >= 4) {
      CopyWholeSteps<4>(dst, src, length);
      while (length-- > 0) *dst++ = *src++;
      return;
    }
    // Distances 1 to 3 repeat the last 1, 2 or 3 bytes: a pattern fill.
    if (distance == 1) {
      memset(dst, dst[-1], length);
      return;
    }
    uint8_t pattern[3] = {src[0], src[1], 0};
    if (distance == 3) pattern[2] = dst[-1];
    for (uint32_t i = 0, k = 0; i < length; ++i) {
      dst[i] = pattern[k];
      if (++k == distance) k = 0;
    }
  }
};

}  // namespace

void DecompressLzBlock(uint8_t* dst, const uint8_t* src) {
  Decoder<false> decoder{src, nullptr, dst, dst, nullptr, 0, 0, false, false};
  decoder.Run();
}

int DecompressLzBlockChecked(uint8_t* dst, uint32_t capacity, const uint8_t* src, uint32_t block_size,
                             uint32_t* produced, uint32_t* consumed) {
  Decoder<true> decoder{src, src + block_size, dst, dst, dst + capacity, 0, 0, false, false};
  if (!decoder.Run()) return 0;
  if (produced) *produced = uint32_t(decoder.out - dst);
  if (consumed) *consumed = uint32_t(decoder.in - src);
  return 1;
}

int DecompressLzBlockStream(LzStreamBuffer* buffer, uint32_t capacity, const uint8_t* src, uint32_t block_size,
                            LzSink sink, void* context, uint32_t* produced, uint32_t* consumed) {
  // The output runs from the buffer's start; `handed` is where the bytes not
  // yet given to the sink begin and `before` counts those given earlier. A
  // pause comes kLzStreamMargin bytes before the buffer's end, more than one
  // step (a run of literals and a match) can write, so the buffer's end is
  // never what refuses a step: the only bound of the output is `capacity`,
  // where it lies within the buffer. After a pause the last kLzWindow bytes
  // move to the start, all that a match can reach, so a match refused
  // because it reaches before the start of the output is refused as by the
  // whole-block form.
  uint8_t* const base = buffer->Bytes;
  uint8_t* const end = base + sizeof buffer->Bytes;
  Decoder<true, true> decoder{src, src + block_size, base, base, end, 0, 0, false, false, end - kLzStreamMargin, false};
  uint64_t before = 0;
  uint8_t* handed = base;
  auto bound = [&]() {
    uint64_t left = uint64_t(capacity) - before - uint64_t(decoder.out - handed);
    decoder.out_end = left < uint64_t(end - decoder.out) ? decoder.out + left : end;
  };
  bound();
  bool done = decoder.Run();
  while (!done && decoder.paused) {
    uint32_t part = uint32_t(decoder.out - handed);
    if (!sink(context, handed, part)) return 0;
    before += part;
    memmove(base, decoder.out - kLzWindow, kLzWindow);
    decoder.out = base + kLzWindow;
    handed = decoder.out;
    decoder.paused = false;
    bound();
    done = decoder.Resume();
  }
  if (!done) return 0;
  uint32_t part = uint32_t(decoder.out - handed);
  if (part > 0 && !sink(context, handed, part)) return 0;
  if (produced) *produced = uint32_t(before + part);
  if (consumed) *consumed = uint32_t(decoder.in - src);
  return 1;
}
