// A solid group (method 3) on arbitrary bytes: its members read through the
// updater's group cursor (as WriteEntryBeside, CheckArchiveEntryAt and
// LoadArchiveEntryAt read them) in an order the input chooses, against the
// group's stream decoded whole. Every member the cursor accepts gives
// exactly its Size bytes, the same as its place in the whole (or, in a
// damaged group, in what the stream gives before the damage); when the whole
// is sound every member is accepted, in any order; a read that reaches the
// group's end is accepted only when the whole is sound; the cursor's memory
// is all given back at closing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lzma_entry.h"
#include "archive/payload_archive.h"
#include "common/bytes.h"
#include "common/update_state.h"
#include "fuzz/quiet_platform.h"

#include "Bra.h"
#include "Delta.h"
#include "LzmaDec.h"

namespace {

// The image: the stream as the first member's data, then a plain directory
// of the members, all of `flags`.
std::vector<uint8_t> Image(const std::vector<uint32_t>& sizes, uint32_t flags, const uint8_t* stream,
                           uint32_t stream_size) {
  std::vector<uint8_t> image(kArchiveHeaderSize, 0);
  image.insert(image.end(), stream, stream + stream_size);
  image.resize(size_t(AlignedToArchive(image.size())), 0);
  uint32_t directory = uint32_t(image.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    uint8_t e[kArchiveEntrySize] = {};
    e[0] = uint8_t('a' + i);
    WriteLe32(e + kEntryFlagsAt, flags);
    WriteLe32(e + kEntrySizeAt, sizes[i]);
    WriteLe32(e + kEntryStoredSizeAt, i == 0 ? stream_size : 0);
    image.insert(image.end(), e, e + kArchiveEntrySize);
  }
  WriteLe32(image.data() + kHeaderFlagsAt, kArchiveVersionGroupsAndDeltas << kHeaderVersionShift);
  WriteLe32(image.data() + kHeaderDirectoryOffsetAt, directory);
  WriteLe32(image.data() + kHeaderEntryCountAt, uint32_t(sizes.size()));
  return image;
}

void* Allocate(ISzAllocPtr, size_t size) { return malloc(size); }
void Release(ISzAllocPtr, void* block) { free(block); }
const ISzAlloc kHeap = {Allocate, Release};

uint32_t DecodedPrefix(uint32_t filter, uint32_t distance, uint32_t total, const std::vector<uint8_t>& stream,
                       std::vector<uint8_t>* out) {
  if (stream.size() < kLzmaPropsSize || filter > kEntryFilterDelta) return 0;
  SizeT produced = total, consumed = stream.size() - kLzmaPropsSize;
  ELzmaStatus status;
  LzmaDecode(out->data(), &produced, stream.data() + kLzmaPropsSize, &consumed, stream.data(), kLzmaPropsSize,
             LZMA_FINISH_END, &status, &kHeap);
  if (filter == kEntryFilterX86) {
    UInt32 state = 0;
    x86_Convert(out->data(), produced, 0, &state, 0);
    return produced > 4 ? uint32_t(produced - 4) : 0;
  }
  if (filter == kEntryFilterDelta) {
    Byte state[DELTA_STATE_SIZE];
    Delta_Init(state);
    Delta_Decode(state, distance, out->data(), produced);
  }
  return uint32_t(produced);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (UseQuietPlatform(), true);
  (void)ready;
  // Byte 0: the filter (none, x86, delta at 1, 2 or 4, or an unknown one);
  // byte 1: 1 to 6 members; then each member's Size (LE16, up to 64 KiB, so
  // a group runs across the decoder's parts); then 8 reads, each a member
  // (low bits) and whether it is read whole or checked (bit 7); the rest is
  // the group's data (5 property bytes, then the stream).
  if (size < 2) return 0;
  static const uint32_t kFilters[][2] = {{kEntryFilterNone, 0},  {kEntryFilterX86, 0},   {kEntryFilterDelta, 1},
                                         {kEntryFilterDelta, 2}, {kEntryFilterDelta, 4}, {3, 0}};
  const uint32_t* filter = kFilters[data[0] % 6];
  uint32_t count = 1 + data[1] % 6;
  size_t at = 2;
  if (size < at + 2 * count + 8) return 0;
  std::vector<uint32_t> sizes, starts;
  uint32_t total = 0;
  for (uint32_t i = 0; i < count; ++i, at += 2) {
    starts.push_back(total);
    sizes.push_back(uint32_t(data[at]) | uint32_t(data[at + 1]) << 8);
    total += sizes.back();
  }
  const uint8_t* reads = data + at;
  at += 8;
  // A first member's StoredSize is never 0 (it would be a member without a
  // group): at least one byte of data.
  if (size == at) return 0;
  std::vector<uint8_t> stream(data + at, data + size);  // exactly its size, for the sanitizer

  std::vector<uint8_t> whole(total + 1);
  bool sound = DecodeLzmaEntry(LzmaEntryFlags(filter[0], filter[1]), whole.data(), total, stream.data(),
                               uint32_t(stream.size())) != 0;
  // A damaged group's members before the damage may still be read: they
  // must be what the stream gives up to there, decoded in one go (LzmaDecode
  // tells how far it got) with the filter undone; the x86 converter leaves
  // the last 4 bytes of that unconverted, which no reader hands on.
  uint32_t valid = total;
  if (!sound) valid = DecodedPrefix(filter[0], filter[1], total, stream, &whole);

  std::vector<uint8_t> image =
      Image(sizes, SolidEntryFlags(filter[0], filter[1]), stream.data(), uint32_t(stream.size()));
  UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
  if (OpenPayloadArchive() == nullptr) __builtin_trap();  // the image is well laid out
  for (int r = 0; r < 8 + int(count); ++r) {
    // The input's reads, then every member in directory order.
    uint32_t index = r < 8 ? reads[r] % count : uint32_t(r - 8);
    bool load = r < 8 ? (reads[r] & 0x80) != 0 : (r & 1) == 0;
    bool accepted;
    if (load) {
      uint32_t got = 0;
      const uint8_t* bytes = LoadArchiveEntryAt(index, &got);
      accepted = bytes != nullptr;
      if (accepted && (got != sizes[index] || starts[index] + got > valid ||
                       (got > 0 && memcmp(bytes, whole.data() + starts[index], got) != 0)))
        __builtin_trap();
      ReleaseArchiveEntry(bytes);
    } else {
      accepted = CheckArchiveEntryAt(index) != 0;
    }
    if (sound && !accepted) __builtin_trap();
    if (!sound && accepted && starts[index] + sizes[index] == total) __builtin_trap();
  }
  ClosePayloadArchive();
  return 0;
}
