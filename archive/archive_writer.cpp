#include "archive/archive_writer.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <cstring>
#include <mutex>
#include <thread>

#include "archive/lzma_encode.h"
#include "archive/delta_patch.h"
#include "archive/lzma_entry.h"
#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/bytes.h"
#include "common/text.h"

namespace {

// Besides LZMA's usual shape (lc3 lp0 pb2), the shapes tried for a stream of
// this filter: machine code gains from pb 0 (its instructions keep no
// alignment), samples after the delta filter from lp and pb of their width,
// other data from more literal context.
std::vector<LzmaShape> OtherShapes(uint32_t filter, uint32_t distance) {
  if (filter == kEntryFilterX86) return {{3, 0, 0}, {2, 0, 0}};
  if (filter == kEntryFilterDelta) {
    uint32_t bits = distance == 4 ? 2 : distance == 2 ? 1 : 0;
    return {{0, bits, bits}, {3, 0, 0}};
  }
  return {{4, 0, 1}, {3, 0, 0}};
}

// Files from this size on are also tried in the other shapes: there the few
// thousandths they gain are worth the encoding.
constexpr size_t kShapesFrom = 1 << 20;

}  // namespace

EncodedEntry EncodeEntry(const ArchiveInput& in, const ArchiveOptions& options,
                         const std::function<void(size_t)>& advance, unsigned parse_threads) {
  EncodedEntry best;
  if (in.compress) {
    best.bytes = CompressLzBlock(in.data.data(), in.data.size(), options.level, advance, parse_threads);
    best.flags = kEntryCompressed;
    if (options.lzma) {
      const uint8_t* data = in.data.data();
      size_t size = in.data.size();
      struct Candidate {
        uint32_t filter, distance;
      };
      std::vector<Candidate> candidates = {{kEntryFilterNone, 0}};
      if (LooksLikeExecutable(data, size)) candidates.push_back({kEntryFilterX86, 0});
      if (uint32_t frame = PcmWaveFrameSize(data, size)) candidates.push_back({kEntryFilterDelta, frame});
      for (const Candidate& c : candidates) {
        // Only an encoding smaller than the best so far is kept.
        std::vector<uint8_t> bytes = EncodeLzmaEntry(data, size, c.filter, c.distance, best.bytes.size());
        if (bytes.empty()) continue;
        best.bytes = std::move(bytes);
        best.flags = LzmaEntryFlags(c.filter, c.distance);
      }
      if (size >= kShapesFrom && EntryMethod(best.flags) == kEntryMethodLzma) {
        uint32_t filter = EntryFilter(best.flags), distance = EntryDistance(best.flags);
        for (const LzmaShape& shape : OtherShapes(filter, distance)) {
          std::vector<uint8_t> bytes = EncodeLzmaEntry(data, size, filter, distance, best.bytes.size(), 0, shape);
          if (!bytes.empty()) best.bytes = std::move(bytes);
        }
      }
    }
    if (!options.force_compression && best.bytes.size() >= in.data.size()) best = {};
  }
  if (in.has_delta && in.delta_patch.size() <= 0xFFFFFFFFu) {
    // The patch by the same methods (LZMA only beside LzBlock, and without a
    // filter: a patch's bytes are differences and new runs, not code), after
    // its head; kept where it is smaller than the whole file however carried.
    std::vector<uint8_t> patch = CompressLzBlock(in.delta_patch.data(), in.delta_patch.size(), options.level);
    uint32_t coding = kDeltaCodingLzBlock;
    if (options.lzma) {
      std::vector<uint8_t> lzma =
          EncodeLzmaEntry(in.delta_patch.data(), in.delta_patch.size(), kEntryFilterNone, 0, patch.size());
      if (!lzma.empty()) {
        patch = std::move(lzma);
        coding = kDeltaCodingLzma;
      }
    }
    size_t whole = best.flags != 0 ? best.bytes.size() : in.data.size();
    if (kDeltaHeadSize + patch.size() < whole) {
      DeltaHead head{in.delta_old_size, in.delta_old_hash, Xxh64(in.data.data(), in.data.size(), 0),
                     uint32_t(in.delta_patch.size())};
      best.bytes.assign(kDeltaHeadSize, 0);
      WriteDeltaHead(&head, best.bytes.data());
      best.bytes.insert(best.bytes.end(), patch.begin(), patch.end());
      best.flags = (kEntryMethodDelta << kEntryMethodShift) | (coding << kEntryFilterShift);
    }
  }
  return best;
}

namespace {

// Each entry's encoding (flags 0 for an entry stored as it is).
std::vector<EncodedEntry> CompressEntries(const std::vector<ArchiveInput>& entries,
                                                  const ArchiveOptions& options) {
  // Each entry is one block of its own. Entries are compressed side by side,
  // one per thread; one that would leave the other threads idle is then
  // parsed by all of them at once, so an update of one big file gains too.
  // The blocks are laid out in order afterwards, the same whatever the
  // number of threads.
  unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<EncodedEntry> blocks(entries.size());
  std::mutex lock;
  ArchiveProgress where;
  where.count = entries.size();
  for (const ArchiveInput& in : entries) where.total += in.data.size();
  // An entry too big to share the work out evenly among the others.
  auto large = [&](const ArchiveInput& in) {
    return threads > 1 && in.compress && in.data.size() >= options.large_entry &&
           in.data.size() >= where.total / threads;
  };
  auto compress = [&](size_t i, unsigned parse_threads) {
    const ArchiveInput& in = entries[i];
    size_t reported = 0;
    auto advance = [&](size_t encoded) {
      if (!options.progress) return;
      std::lock_guard<std::mutex> hold(lock);
      where.done += encoded - reported;
      reported = encoded;
      options.progress(where);
    };
    if (options.progress) {
      std::lock_guard<std::mutex> hold(lock);
      ++where.started;
      where.latest = &in;
      options.progress(where);
    }
    blocks[i] = EncodeEntry(in, options, advance, parse_threads);
    advance(in.data.size());
  };

  std::atomic<size_t> next{0};
  auto small_ones = [&] {
    for (size_t i; (i = next++) < entries.size();) {
      if (!large(entries[i])) compress(i, 1);
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < std::min<size_t>(threads, entries.size()); ++t) helpers.emplace_back(small_ones);
  small_ones();
  for (std::thread& helper : helpers) helper.join();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (large(entries[i])) compress(i, threads);
  }
  return blocks;
}

// The image: the header, each entry's block or its data where the block is
// not smaller, the directory. Its size is known before it is made, so that an
// archive too large for its limit is refused first.
std::vector<uint8_t> LayOutArchive(const std::vector<const ArchiveInput*>& entries, std::vector<EncodedEntry>& blocks,
                                   const ArchiveOptions& options, std::string* error) {
  // The layout first: the directory and the size of everything, so that an
  // archive too large for its 32-bit offsets is refused before it is made.
  std::vector<uint8_t> directory(entries.size() * kArchiveEntrySize, 0);
  std::vector<bool> compressed(entries.size());
  uint64_t data_end = kArchiveHeaderSize;
  uint32_t version = kArchiveVersionOldKinds;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveInput& in = *entries[i];
    compressed[i] = blocks[i].flags != 0;
    uint64_t stored_size = compressed[i] ? blocks[i].bytes.size() : in.data.size();
    uint8_t* e = directory.data() + i * kArchiveEntrySize;
    memcpy(e + kEntryNameAt, in.name.data(), in.name.size());
    WriteLe32(e + kEntryFlagsAt, compressed[i] ? blocks[i].flags : uint32_t(kEntryStored));
    uint32_t method = EntryMethod(blocks[i].flags);
    if (method == kEntryMethodLzma && version < kArchiveVersionMethods) version = kArchiveVersionMethods;
    if (method > kEntryMethodLzma) version = kArchiveVersionGroupsAndDeltas;
    WriteLe32(e + kEntryTimeAt, uint32_t(in.file_time));
    WriteLe32(e + kEntryTimeAt + 4, uint32_t(in.file_time >> 32));
    WriteLe32(e + kEntrySizeAt, uint32_t(in.data.size()));
    WriteLe32(e + kEntryStoredSizeAt, uint32_t(stored_size));
    data_end += AlignedToArchive(stored_size);
  }
  std::vector<uint8_t> directory_block =
      options.compress_directory ? CompressLzBlock(directory.data(), directory.size(), options.level) : directory;
  uint64_t total = data_end + directory_block.size();
  if (total > options.max_image) {
    if (error)
      *error = "the archive would take " + std::to_string(total) + " bytes, more than the " +
               std::to_string(options.max_image) + " it may take (" + options.max_image_reason + ")";
    return {};
  }

  std::vector<uint8_t> image(kArchiveHeaderSize, 0);
  image.reserve(size_t(total));
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::vector<uint8_t>& stored = compressed[i] ? blocks[i].bytes : entries[i]->data;
    image.insert(image.end(), stored.begin(), stored.end());
    image.resize(size_t(AlignedToArchive(image.size())), 0);
    std::vector<uint8_t>().swap(blocks[i].bytes);  // its bytes are in the image now
  }
  uint32_t directory_offset = uint32_t(image.size());
  image.insert(image.end(), directory_block.begin(), directory_block.end());
  memcpy(image.data() + kHeaderMagicAt, "FA2", 4);
  WriteLe32(image.data() + kHeaderFlagsAt, (options.compress_directory ? uint32_t(kHeaderCompressedDirectory) : 0u) |
                                               (version << kHeaderVersionShift));
  WriteLe32(image.data() + kHeaderDirectoryOffsetAt, directory_offset);
  WriteLe32(image.data() + kHeaderEntryCountAt, uint32_t(entries.size()));
  return image;
}

// The filter class an entry would be grouped by: its filter and distance.
std::pair<uint32_t, uint32_t> FilterClass(const ArchiveInput& in) {
  if (LooksLikeExecutable(in.data.data(), in.data.size())) return {kEntryFilterX86, 0};
  if (uint32_t frame = PcmWaveFrameSize(in.data.data(), in.data.size())) return {kEntryFilterDelta, frame};
  return {kEntryFilterNone, 0};
}

// The key members are ordered by, as 7-Zip orders a solid archive's files:
// the extension, then the file's own name (so copies of one file in two
// folders lie together), then the whole name; ASCII case ignored.
std::string OrderKey(const std::string& name) {
  std::string upper = name;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  size_t slash = upper.rfind('\\');
  std::string file = slash == std::string::npos ? upper : upper.substr(slash + 1);
  size_t dot = file.rfind('.');
  std::string extension = dot == std::string::npos ? "" : file.substr(dot + 1);
  return extension + '\0' + file + '\0' + upper;
}

// Whether a group of `stored` bytes pays against `separately`, what its
// members take each on its own: by 128 bytes and 1 % of that at least, so
// that a group is not formed (and with it format version 3, which older
// updaters do not read, and the decoding of files before a member) for the
// few bytes that their padding to 16 comes to.
bool Pays(uint64_t stored, uint64_t separately) {
  return stored + std::max<uint64_t>(128, separately / 100) <= separately;
}

// A group tried: its members and, once encoded, its stream.
struct Group {
  std::vector<size_t> members;
  uint32_t filter = 0, distance = 0;
  uint64_t size = 0, separately = 0;
  std::vector<uint8_t> bytes;  // empty: not kept
  // A run with large members is also tried without them (the next group):
  // there, what those take on their own.
  bool has_other = false;
  uint64_t left_out = 0;
};

// A member of this size or more fills half the largest dictionary: it gains
// little from the others, and it puts the files before it out of reach of
// those after it, so its run is also tried without it.
constexpr size_t kLargeMember = kLzmaMostDictionary / 2;

// The solid groups worth keeping (SolidGroupReport): candidates are the
// entries to compress, of at least one byte, neither the script nor one of
// `whole_entries` nor a delta; each filter class in its order cut into runs of at most
// kSolidGroupMost bytes; a run of two or more encoded (side by side, one per
// thread) and kept where smaller than its members each by its best method
// (Pays), or, where it has large members, the same run without them when
// that is smaller still.
std::vector<Group> FormGroups(const std::vector<ArchiveInput>& entries, const std::vector<EncodedEntry>& blocks,
                              const ArchiveOptions& options) {
  std::map<std::pair<uint32_t, uint32_t>, std::vector<size_t>> classes;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveInput& in = entries[i];
    bool whole = TextEqualNoCase(in.name.c_str(), kScriptEntryName);
    for (const std::string& name : options.whole_entries)
      whole = whole || TextEqualNoCase(in.name.c_str(), name.c_str());
    // A file carried as a delta stays one: its patch is what the player downloads.
    bool delta = EntryMethod(blocks[i].flags) == kEntryMethodDelta;
    if (whole || delta || !in.compress || in.data.empty() || in.data.size() > kSolidGroupMost) continue;
    classes[FilterClass(in)].push_back(i);
  }
  std::vector<Group> groups;
  for (auto& [filter, members] : classes) {
    std::vector<std::pair<std::string, size_t>> keyed;
    for (size_t i : members) keyed.push_back({OrderKey(entries[i].name), i});
    std::sort(keyed.begin(), keyed.end());
    Group run;
    auto close = [&] {
      if (run.members.size() < 2) {
        run = {};
        return;
      }
      Group other = run;
      other.members.clear();
      other.size = other.separately = 0;
      for (size_t i : run.members) {
        uint64_t alone = AlignedToArchive(blocks[i].flags ? blocks[i].bytes.size() : entries[i].data.size());
        if (entries[i].data.size() >= kLargeMember) {
          other.left_out += alone;
          continue;
        }
        other.members.push_back(i);
        other.size += entries[i].data.size();
        other.separately += alone;
      }
      run.has_other = other.left_out > 0 && other.members.size() >= 2;
      groups.push_back(run);
      if (run.has_other) groups.push_back(other);
      run = {};
    };
    for (const auto& [key, i] : keyed) {
      if (run.size + entries[i].data.size() > kSolidGroupMost) close();
      run.filter = filter.first;
      run.distance = filter.second;
      run.members.push_back(i);
      run.size += entries[i].data.size();
      run.separately += AlignedToArchive(blocks[i].flags ? blocks[i].bytes.size() : entries[i].data.size());
    }
    close();
  }
  // Each group is encoded in the usual shape and the others for its filter
  // (OtherShapes), the smallest kept (the first of equals).
  struct Task {
    size_t group;
    LzmaShape shape;
  };
  std::vector<Task> tasks;
  for (size_t g = 0; g < groups.size(); ++g) {
    std::vector<LzmaShape> shapes = {{3, 0, 2}};
    for (const LzmaShape& shape : OtherShapes(groups[g].filter, groups[g].distance)) shapes.push_back(shape);
    for (const LzmaShape& shape : shapes) tasks.push_back({g, shape});
  }
  std::vector<std::vector<uint8_t>> encoded(tasks.size());
  unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  std::atomic<size_t> next{0};
  auto encode = [&] {
    for (size_t t; (t = next++) < tasks.size();) {
      const Group& group = groups[tasks[t].group];
      std::vector<uint8_t> joined;
      joined.reserve(size_t(group.size));
      for (size_t i : group.members) joined.insert(joined.end(), entries[i].data.begin(), entries[i].data.end());
      encoded[t] = EncodeLzmaEntry(joined.data(), joined.size(), group.filter, group.distance, size_t(group.separately),
                                   0, tasks[t].shape);
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < std::min<size_t>(threads, tasks.size()); ++t) helpers.emplace_back(encode);
  encode();
  for (std::thread& helper : helpers) helper.join();
  for (size_t t = 0; t < tasks.size(); ++t) {
    Group& group = groups[tasks[t].group];
    std::vector<uint8_t>& bytes = encoded[t];
    if (!bytes.empty() && Pays(AlignedToArchive(bytes.size()), group.separately) &&
        (group.bytes.empty() || bytes.size() < group.bytes.size()))
      group.bytes = std::move(bytes);
  }
  // A run and the same without its large members: the smaller of the two,
  // its large members then each on its own.
  for (size_t g = 0; g < groups.size(); ++g) {
    if (!groups[g].has_other) continue;
    Group &all = groups[g], &other = groups[g + 1];
    uint64_t with = all.bytes.empty() ? all.separately : AlignedToArchive(all.bytes.size());
    uint64_t without = (other.bytes.empty() ? other.separately : AlignedToArchive(other.bytes.size())) + other.left_out;
    if (without < with)
      all.bytes.clear();
    else
      other.bytes.clear();
  }
  groups.erase(std::remove_if(groups.begin(), groups.end(), [](const Group& g) { return g.bytes.empty(); }),
               groups.end());
  return groups;
}

}  // namespace

std::vector<uint8_t> BuildArchive(const std::vector<ArchiveInput>& entries, const ArchiveOptions& options,
                                  std::string* error) {
  for (const ArchiveInput& in : entries) {
    if (in.name.empty() || in.name.size() >= kArchiveNameSize) {
      if (error) *error = "entry name '" + in.name + "' must be 1 to 259 bytes long";
      return {};
    }
    if (in.data.size() > 0xFFFFFFFFu) {
      if (error) *error = "entry '" + in.name + "' is larger than 4 GiB - 1 bytes";
      return {};
    }
  }
  std::vector<EncodedEntry> blocks = CompressEntries(entries, options);
  std::vector<Group> groups;
  if (options.lzma && options.solid) groups = FormGroups(entries, blocks, options);
  // The directory's order: each group where its first entry in the given
  // order was, its members together in the group's order.
  std::vector<int> group_of(entries.size(), -1);
  for (size_t g = 0; g < groups.size(); ++g)
    for (size_t i : groups[g].members) group_of[i] = int(g);
  std::vector<const ArchiveInput*> laid;
  std::vector<EncodedEntry> laid_blocks;
  std::vector<bool> placed(groups.size());
  if (options.groups) options.groups->clear();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (group_of[i] < 0) {
      laid.push_back(&entries[i]);
      laid_blocks.push_back(std::move(blocks[i]));
      continue;
    }
    Group& group = groups[size_t(group_of[i])];
    if (placed[size_t(group_of[i])]) continue;
    placed[size_t(group_of[i])] = true;
    uint32_t flags = SolidEntryFlags(group.filter, group.distance);
    if (options.groups)
      options.groups->push_back({group.members, flags, group.size, group.bytes.size(), group.separately});
    for (size_t m = 0; m < group.members.size(); ++m) {
      laid.push_back(&entries[group.members[m]]);
      EncodedEntry member;
      member.flags = flags;
      if (m == 0) member.bytes = std::move(group.bytes);  // the stream; the others take none
      laid_blocks.push_back(std::move(member));
      std::vector<uint8_t>().swap(blocks[group.members[m]].bytes);
    }
  }
  return LayOutArchive(laid, laid_blocks, options, error);
}
