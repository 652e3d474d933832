#include "tools/mkupdate/delta_maker.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace {

// The suffix array by prefix doubling with ternary splitting (Larsson and
// Sadakane): `index` ends as the suffixes of `old` in order, the empty one
// first, `rank` as each suffix's place. While sorting, a negative entry of
// `index` stands for a run of that many suffixes already in place.
class SuffixSorter {
 public:
  SuffixSorter(const uint8_t* old, int32_t size, std::vector<int32_t>* index)
      : size_(size), index_(*index), rank_(size_t(size) + 1) {
    index_.assign(size_t(size) + 1, 0);
    int32_t buckets[256] = {};
    for (int32_t i = 0; i < size; ++i) ++buckets[old[i]];
    for (int i = 1; i < 256; ++i) buckets[i] += buckets[i - 1];
    for (int i = 255; i > 0; --i) buckets[i] = buckets[i - 1];
    buckets[0] = 0;
    // Slot 0 is the empty suffix; each byte's bucket follows, its rank the
    // bucket's last slot.
    for (int32_t i = 0; i < size; ++i) index_[size_t(++buckets[old[i]])] = i;
    index_[0] = size;
    for (int32_t i = 0; i < size; ++i) rank_[size_t(i)] = buckets[old[i]];
    rank_[size_t(size)] = 0;
    for (int i = 1; i < 256; ++i)
      if (buckets[i] == buckets[i - 1] + 1) index_[size_t(buckets[i])] = -1;
    index_[0] = -1;
  }

  void Sort() {
    for (int32_t h = 1; index_[0] != -(size_ + 1); h += h) {
      int32_t run = 0;  // sorted slots gathered before i
      int32_t i = 0;
      while (i < size_ + 1) {
        if (index_[size_t(i)] < 0) {
          run -= index_[size_t(i)];
          i -= index_[size_t(i)];
        } else {
          if (run) index_[size_t(i - run)] = -run;
          int32_t group = rank_[size_t(index_[size_t(i)])] + 1 - i;
          Split(i, group, h);
          i += group;
          run = 0;
        }
      }
      if (run) index_[size_t(i - run)] = -run;
    }
    for (int32_t i = 0; i < size_ + 1; ++i) index_[size_t(rank_[size_t(i)])] = i;
  }

 private:
  int32_t Key(int32_t slot, int32_t h) const { return rank_[size_t(index_[size_t(slot)] + h)]; }
  void Swap(int32_t a, int32_t b) { std::swap(index_[size_t(a)], index_[size_t(b)]); }

  // Sorts the group of `length` slots from `start`, whose suffixes agree in
  // their first h bytes, by their ranks at h.
  void Split(int32_t start, int32_t length, int32_t h) {
    while (length >= 16) {
      int32_t pivot = Key(start + length / 2, h);
      int32_t less = 0, equal = 0;
      for (int32_t i = start; i < start + length; ++i) {
        int32_t k = Key(i, h);
        less += k < pivot;
        equal += k == pivot;
      }
      int32_t lo = start + less, hi = lo + equal;  // [lo, hi): equal to the pivot
      int32_t i = start, j = 0, k = 0;
      while (i < lo) {
        int32_t key = Key(i, h);
        if (key < pivot) {
          ++i;
        } else if (key == pivot) {
          Swap(i, lo + j++);
        } else {
          Swap(i, hi + k++);
        }
      }
      while (lo + j < hi) {
        if (Key(lo + j, h) == pivot) ++j;
        else Swap(lo + j, hi + k++);
      }
      if (lo > start) Split(start, lo - start, h);
      for (int32_t s = lo; s < hi; ++s) rank_[size_t(index_[size_t(s)])] = hi - 1;
      if (lo == hi - 1) index_[size_t(lo)] = -1;
      // The greater part goes on in this loop: the depth of the calls stays
      // that of the lesser parts.
      length = start + length - hi;
      start = hi;
    }
    SmallSplit(start, length, h);
  }

  // A small group by selection: the least key's suffixes to the front, one
  // rank for them, and on.
  void SmallSplit(int32_t start, int32_t length, int32_t h) {
    for (int32_t k = start; k < start + length;) {
      int32_t j = 1;
      int32_t least = Key(k, h);
      for (int32_t i = 1; k + i < start + length; ++i) {
        int32_t key = Key(k + i, h);
        if (key < least) {
          least = key;
          j = 0;
        }
        if (key == least) Swap(k + j++, k + i);
      }
      for (int32_t i = 0; i < j; ++i) rank_[size_t(index_[size_t(k + i)])] = k + j - 1;
      if (j == 1) index_[size_t(k)] = -1;
      k += j;
    }
  }

  int32_t size_;
  std::vector<int32_t>& index_;
  std::vector<int32_t> rank_;
};

int64_t MatchLength(const uint8_t* a, int64_t a_size, const uint8_t* b, int64_t b_size) {
  int64_t n = std::min(a_size, b_size), i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The longest match of `now` among the old file's suffixes between the
// slots `first` and `last`, by bisection: its length and position.
int64_t LongestMatch(const std::vector<int32_t>& index, const uint8_t* old, int64_t old_size, const uint8_t* now,
                     int64_t now_size, int64_t first, int64_t last, int64_t* position) {
  while (last - first >= 2) {
    int64_t middle = first + (last - first) / 2;
    int64_t at = index[size_t(middle)];
    if (memcmp(old + at, now, size_t(std::min(old_size - at, now_size))) < 0) first = middle;
    else last = middle;
  }
  int64_t a = index[size_t(first)], b = index[size_t(last)];
  int64_t x = MatchLength(old + a, old_size - a, now, now_size);
  int64_t y = MatchLength(old + b, old_size - b, now, now_size);
  *position = x > y ? a : b;
  return x > y ? x : y;
}

void AppendRecord(std::vector<uint8_t>* patch, const uint8_t* old, const uint8_t* now, int64_t old_at, int64_t now_at,
                  int64_t add, int64_t copy, int64_t seek) {
  uint8_t head[16];
  WriteLe32(head, uint32_t(add));
  WriteLe32(head + 4, uint32_t(copy));
  WriteLe64(head + 8, uint64_t(seek));
  patch->insert(patch->end(), head, head + 16);
  for (int64_t i = 0; i < add; ++i) patch->push_back(uint8_t(now[now_at + i] - old[old_at + i]));
  patch->insert(patch->end(), now + now_at + add, now + now_at + add + copy);
}

}  // namespace

bool MakeDeltaPatch(const std::vector<uint8_t>& old_bytes, const std::vector<uint8_t>& new_bytes,
                    std::vector<uint8_t>* patch) {
  patch->clear();
  if (old_bytes.size() > kDeltaMakerLimit || new_bytes.size() > kDeltaMakerLimit) return false;
  const uint8_t* old = old_bytes.data();
  const uint8_t* now = new_bytes.data();
  const int64_t old_size = int64_t(old_bytes.size()), new_size = int64_t(new_bytes.size());
  std::vector<int32_t> index;
  {
    SuffixSorter sorter(old, int32_t(old_size), &index);
    sorter.Sort();
  }

  // The scan of bsdiff: a match is taken once it beats, by more than 8
  // bytes, what the old position carried on from the last match (the same
  // offset) would give; the bytes between two taken matches are split into
  // the last match extended forwards (add bytes), the gap (copy bytes) and
  // the next match extended backwards.
  int64_t scan = 0, length = 0, position = 0;
  int64_t last_scan = 0, last_position = 0, last_offset = 0;
  while (scan < new_size) {
    int64_t old_score = 0;
    int64_t scored = scan += length;
    for (; scan < new_size; ++scan) {
      length = LongestMatch(index, old, old_size, now + scan, new_size - scan, 0, old_size, &position);
      for (; scored < scan + length; ++scored)
        if (scored + last_offset < old_size && old[scored + last_offset] == now[scored]) ++old_score;
      if ((length == old_score && length != 0) || length > old_score + 8) break;
      if (scan + last_offset < old_size && old[scan + last_offset] == now[scan]) --old_score;
    }
    if (length == old_score && scan != new_size) continue;

    // Forwards from the last match: the length where matching bytes most
    // outnumber the others.
    int64_t forward = 0;
    for (int64_t i = 0, same = 0, best = 0; last_scan + i < scan && last_position + i < old_size;) {
      if (old[last_position + i] == now[last_scan + i]) ++same;
      ++i;
      if (same * 2 - i > best * 2 - forward) {
        best = same;
        forward = i;
      }
    }
    // Backwards from this match, likewise.
    int64_t backward = 0;
    if (scan < new_size) {
      for (int64_t i = 1, same = 0, best = 0; scan >= last_scan + i && position >= i; ++i) {
        if (old[position - i] == now[scan - i]) ++same;
        if (same * 2 - i > best * 2 - backward) {
          best = same;
          backward = i;
        }
      }
    }
    // Where the two overlap, the split that keeps the most matching bytes.
    if (last_scan + forward > scan - backward) {
      int64_t overlap = (last_scan + forward) - (scan - backward);
      int64_t same = 0, best = 0, keep = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (now[last_scan + forward - overlap + i] == old[last_position + forward - overlap + i]) ++same;
        if (now[scan - backward + i] == old[position - backward + i]) --same;
        if (same > best) {
          best = same;
          keep = i + 1;
        }
      }
      forward += keep - overlap;
      backward -= keep;
    }
    int64_t copy = (scan - backward) - (last_scan + forward);
    int64_t seek = (position - backward) - (last_position + forward);
    AppendRecord(patch, old, now, last_position, last_scan, forward, copy, seek);
    last_scan = scan - backward;
    last_position = position - backward;
    last_offset = position - scan;
  }
  return true;
}
