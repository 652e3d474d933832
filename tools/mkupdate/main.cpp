// mkupdate: packs a folder into a payload archive, and lists and extracts
// archives. The archive code is the updater's own: the tool writes with the
// archive writer and reads back through the same reader the updater uses.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/delta_entry.h"
#include "archive/delta_patch.h"
#include "archive/lz_block.h"
#include "archive/payload_archive.h"
#include "archive/payload_checksum.h"
#include "common/bytes.h"
#include "common/text.h"
#include "common/update_state.h"
#include "platform/platform.h"
#include "resources/resource_ids.h"
#include "tools/mkupdate/delta_maker.h"
#include "tools/mkupdate/diff.h"
#include "tools/mkupdate/entry_names.h"
#include "tools/mkupdate/host.h"
#include "tools/mkupdate/pe_resources.h"
#include "tools/mkupdate/plan.h"
#include "tools/mkupdate/script_check.h"
#include "tools/mkupdate/update_file.h"

namespace fs = std::filesystem;

namespace {

enum { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct Options {
  std::string command;
  std::vector<std::string> operands;
  std::string output;
  std::string arch = "i686";
  std::string updater;
  std::string self;  // argv[0], to find the shipped updaters
  bool quiet = false;
  bool verbose = false;
  bool help = false;
  bool no_check = false;
  bool no_checksum = false;
  unsigned jobs = 0;  // entries compressed at once; 0 is one per processor
  std::string method;  // --method: "all" or "lz"; unset: build all, pack lz
  PlanOptions plan;   // plan's own options
  std::string setup;  // diff --setup
  std::string delta_from;  // build --delta-from: the previous release's folder
  bool delta = false;      // diff --delta
};

// How large an archive may be. The format's offsets and sizes are 32-bit.
// The updater maps the whole payload with its image and writes each entry
// from it in bounded memory, so an update is bounded by the address space
// the image must fit in. The i686 updater, in a 32-bit process (4 GB with
// its large-address flag on 64-bit Windows), mapped and ran an image of
// 1.88 GB under Wine and could not be started with one of 2.13 GB: 1.75 GiB
// keeps a margin for what a system maps beside it. No executable of 2 GB or
// more is made for x86_64 either: mkupdate's resource writer stops there, as
// Windows' own linker does, and nothing larger is tested.
constexpr uint64_t kFormatLimit = 0xFFFFFFFFu;
constexpr uint64_t kI686Limit = uint64_t(7) << 28;                // 1.75 GiB
constexpr uint64_t kX64Limit = (uint64_t(2) << 30) - (16 << 20);  // with room for the updater itself
// One entry: the archive records its size in 32 bits.
constexpr uint64_t kEntryLimit = 0xFFFFFFFFu;

// The limit for an archive of this command, and why; MKUPDATE_ARCHIVE_LIMIT
// lowers it (never raises it), so the tests can reach it without writing
// gigabytes.
uint64_t ArchiveLimit(const std::string& command, const std::string& arch, std::string* why) {
  uint64_t limit = kFormatLimit;
  *why = "the archive's offsets and sizes are 32-bit";
  if (command == "build" && arch == "x86_64") {
    limit = kX64Limit;
    *why = "an x86_64 update executable stays under 2 GiB";
  } else if (command == "build") {
    limit = kI686Limit;
    *why = "the i686 updater maps its payload into a 32-bit address space: build it with --arch x86_64";
  }
  if (const char* lower = getenv("MKUPDATE_ARCHIVE_LIMIT")) {
    unsigned long long n = strtoull(lower, nullptr, 10);
    if (n > 0 && n < limit) {
      limit = n;
      *why = "lowered by MKUPDATE_ARCHIVE_LIMIT; " + *why;
    }
  }
  return limit;
}

std::string g_archive_error;  // the reader's last message, instead of a box

int CaptureBox(PlatformWindow, const char* text, const char*, uint32_t) {
  g_archive_error = text;
  return kAnswerOk;
}

int Fail(const std::string& message) {
  fprintf(stderr, "mkupdate: %s\n", message.c_str());
  return kExitFailure;
}

int Usage(const std::string& message) {
  fprintf(stderr, "mkupdate: %s\ntry 'mkupdate --help'\n", message.c_str());
  return kExitUsage;
}

// Why `path` is no folder to read, or "" when it is one.
std::string NoFolder(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return "";
  return path.string() + ": " + (IsBrokenLink(path) ? kBrokenLink : "not a folder");
}

// The files of SRC as archive entries, each named by its path relative to
// SRC (entry_names.h), in the byte order of those names so that the same
// folder always gives the same archive. A link to a file is taken as the
// file; a link to a folder is not followed; a link that loops or leads
// nowhere stops the walk.
bool CollectEntries(const fs::path& src, std::vector<ArchiveInput>* entries, std::string* error,
                    const std::string& output = "") {
  *error = NoFolder(src);
  if (!error->empty()) return false;
  std::error_code ec;
  std::map<std::string, fs::path> by_name;
  // The updater finds entries without regard to ASCII case, and Windows
  // names files so: each folded name (and each folder on its way) is one
  // place there.
  std::map<std::string, std::pair<fs::path, bool>> places;  // folded name -> (file, a folder of it)
  for (auto it = fs::recursive_directory_iterator(src, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::error_code entry_ec;
    bool regular = it->is_regular_file(entry_ec);
    if (entry_ec) {
      *error = it->path().string() + ": " + (IsBrokenLink(it->path()) ? kBrokenLink : entry_ec.message());
      return false;
    }
    if (!regular) continue;
    std::error_code same_ec;
    if (!output.empty() && fs::equivalent(it->path(), output, same_ec)) continue;  // an earlier output in SRC
    std::string why;
    std::string name = EntryNameOf(it->path().lexically_relative(src), &why);
    if (name.empty()) {
      *error = it->path().string() + ": " + why;
      return false;
    }
    // The folders on the way, then the file itself.
    std::string folded = FoldedName(name);
    std::vector<std::pair<std::string, bool>> own;  // (folded place, a folder)
    for (const char* p = folded.c_str(); *p != '\0'; p = NextChar(p))
      if (IsSingleByte(p, '\\')) own.push_back({folded.substr(0, size_t(p - folded.c_str())), true});
    own.push_back({folded, false});
    for (const auto& [place, folder] : own) {
      auto [other, fresh] = places.emplace(place, std::make_pair(it->path(), folder));
      if (fresh || (folder && other->second.second)) continue;
      *error = "two files share the path '" + DisplayText(name.substr(0, place.size())) +
               "' when letter case is ignored" + (folder || other->second.second ? " (one of them as a folder)" : "") +
               ": " + other->second.first.string() + " and " + it->path().string();
      return false;
    }
    by_name[name] = it->path();
  }
  if (ec) {
    *error = src.string() + ": " + ec.message();
    return false;
  }
  // Sizes first, before a byte is read: what cannot fit is refused at once.
  for (auto& [name, path] : by_name) {
    uint64_t size = fs::file_size(path, ec);
    if (ec) {
      *error = path.string() + ": " + ec.message();
      return false;
    }
    if (size > kEntryLimit) {
      *error = path.string() + ": " + std::to_string(size) + " bytes; an entry holds at most " +
               std::to_string(kEntryLimit) + " bytes (4 GiB - 1): the archive records a file's size in 32 bits";
      return false;
    }
  }
  for (auto& [name, path] : by_name) {
    ArchiveInput in;
    in.name = name;
    if (!ReadBytes(path, &in.data)) {
      *error = path.string() + ": cannot be read";
      return false;
    }
    in.file_time = FileTimeOf(path);
    entries->push_back(std::move(in));
  }
  return true;
}

// How an entry is held: "stored", "lzblock", "lzma", "lzma+x86",
// "lzma+delta4" (the delta filter's distance), "lzma+x86 solid" (a member
// of a solid group), "delta+lzma" (a delta against the previous release, its
// patch coded by LZMA).
std::string MethodText(uint32_t flags) {
  std::string filter;
  switch (EntryFilter(flags)) {
    case kEntryFilterNone:
      filter = "lzma";
      break;
    case kEntryFilterX86:
      filter = "lzma+x86";
      break;
    case kEntryFilterDelta:
      filter = "lzma+delta" + std::to_string(EntryDistance(flags));
      break;
    default:
      filter = "lzma+filter" + std::to_string(EntryFilter(flags));
  }
  switch (EntryMethod(flags)) {
    case kEntryMethodOld:
      return (flags & kEntryCompressed) ? "lzblock" : "stored";
    case kEntryMethodLzma:
      return filter;
    case kEntryMethodSolid:
      return filter + " solid";
    case kEntryMethodDelta:
      switch (DeltaCoding(flags)) {
        case kDeltaCodingLzBlock:
          return "delta+lzblock";
        case kDeltaCodingLzma:
          return "delta+lzma";
      }
      return "delta+coding" + std::to_string(DeltaCoding(flags));
  }
  return "method" + std::to_string(EntryMethod(flags));
}

// The newest archive format version the updater `exe` reads, by the mark it
// carries (payload_archive.h); an updater without one reads version 0 only.
uint32_t ReaderVersionOf(const std::vector<uint8_t>& exe) {
  std::string prefix = kArchiveReaderMarkPrefix;
  auto at = std::search(exe.begin(), exe.end(), prefix.begin(), prefix.end());
  if (at == exe.end()) return 0;
  uint32_t version = 0;
  for (at += ptrdiff_t(prefix.size()); at != exe.end() && *at >= '0' && *at <= '9' && version < 256; ++at)
    version = version * 10 + uint32_t(*at - '0');
  return version;
}

// Whether the archive `image` carries an entry as a delta.
bool CarriesDeltas(const std::vector<uint8_t>& image) {
  UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
  bool deltas = false;
  if (OpenPayloadArchive() != nullptr) {
    ArchiveEntryInfo e;
    for (uint32_t i = 0; GetArchiveEntryInfo(i, &e); ++i) deltas = deltas || EntryMethod(e.Flags) == kEntryMethodDelta;
    ClosePayloadArchive();
  }
  UpdateState.PayloadArchive = {};
  return deltas;
}

// The archive of SRC, with a progress display on a terminal; -v prints each
// entry's figures and, when given, its note.
bool MakeArchive(const Options& o, const std::vector<ArchiveInput>& entries, std::vector<uint8_t>* image,
                 std::string* error, const std::vector<std::string>* notes = nullptr) {
  ArchiveOptions options;
  options.threads = o.jobs;
  options.lzma = o.method == "all" || (o.method.empty() && o.command == "build");
  options.solid = options.lzma;
  // The script and its agreement texts are loaded whole at start: never in a group.
  for (const ArchiveInput& e : entries)
    if (TextEqualNoCase(e.name.c_str(), kScriptEntryName))
      options.whole_entries = ScriptAgreementNames(std::string(e.data.begin(), e.data.end()));
  std::vector<SolidGroupReport> groups;
  options.groups = &groups;
  options.max_image = ArchiveLimit(o.command, o.arch, &options.max_image_reason);
  bool show = !o.quiet && ErrorIsTerminal();
  if (show) {
    // A line is redrawn when an entry is begun or the percentage moves.
    size_t shown_started = 0;
    int shown_percent = -1;
    options.progress = [&](const ArchiveProgress& p) {
      int percent = p.total ? int(p.done * 100 / p.total) : 100;
      if (p.started == shown_started && percent == shown_percent) return;
      shown_started = p.started;
      shown_percent = percent;
      fprintf(stderr, "\r\x1b[K[%zu/%zu] %3d%% %s", p.started, p.count, percent, DisplayText(p.latest->name).c_str());
    };
  }
  *image = BuildArchive(entries, options, error);
  if (show) fprintf(stderr, "\r\x1b[K");
  if (image->empty()) {
    *error = o.operands[0] + ": " + *error;
    return false;
  }
  if (o.verbose) {
    for (size_t g = 0; g < groups.size(); ++g) {
      const SolidGroupReport& r = groups[g];
      printf("solid group %zu: %zu files, %s, %llu -> %llu bytes, %llu fewer than each file alone (%llu)\n", g + 1,
             r.members.size(), MethodText(r.flags).c_str(), static_cast<unsigned long long>(r.size),
             static_cast<unsigned long long>(r.stored),
             static_cast<unsigned long long>(r.separately - AlignedToArchive(r.stored)),
             static_cast<unsigned long long>(r.separately));
    }
    // The reader only reads the image: its figures come from the image itself.
    UpdateState.PayloadArchive = {image->data(), uint32_t(image->size())};
    if (OpenPayloadArchive()) {
      for (uint32_t i = 0; i < ArchiveEntryCount(); ++i) {
        ArchiveEntryInfo e;
        GetArchiveEntryInfo(i, &e);
        std::string note = notes && i < notes->size() ? (*notes)[i] : "";
        if (EntryMethod(e.Flags) == kEntryMethodDelta) note = "delta against the previous release";
        printf("%10u -> %10u  %5.1f%%  %-14s  %s%s\n", e.Size, e.StoredSize,
               e.Size ? 100.0 * e.StoredSize / e.Size : 100.0, MethodText(e.Flags).c_str(), DisplayText(e.Name).c_str(),
               note.empty() ? "" : ("  (" + note + ")").c_str());
      }
      ClosePayloadArchive();
    }
  }
  return true;
}

int Pack(const Options& o) {
  if (o.operands.size() != 1) return Usage("pack takes one folder");
  if (o.output.empty()) return Usage("pack needs -o PAYLOAD");
  std::vector<ArchiveInput> entries;
  std::string error;
  std::vector<uint8_t> image;
  if (!CollectEntries(o.operands[0], &entries, &error, o.output) || !MakeArchive(o, entries, &image, &error))
    return Fail(error);
  if (!WriteFileInPlace(o.output, image.data(), image.size())) return Fail(o.output + ": cannot be written");
  if (!o.quiet) printf("%s: %zu entries, %zu bytes\n", o.output.c_str(), entries.size(), image.size());
  return kExitOk;
}

// Prints the findings of the script check; true when there is no error.
bool ReportFindings(const Options& o, const fs::path& src, const std::vector<ArchiveInput>& entries) {
  std::string script;
  std::set<std::string> names;
  for (const ArchiveInput& e : entries) {
    names.insert(FoldedName(e.name));
    if (FoldedName(e.name) == "UPDATE.INI") script.assign(e.data.begin(), e.data.end());
  }
  std::string where = (src / "UPDATE.INI").string();
  if (script.empty()) {
    fprintf(stderr, "mkupdate: %s: error: missing or empty: every update carries its script\n", where.c_str());
    return false;
  }
  bool clean = true;
  for (const Finding& f : CheckScript(script, names)) {
    clean = clean && !f.error;
    if (f.error || !o.quiet)
      fprintf(stderr, "mkupdate: %s: %s: %s %s\n", where.c_str(), f.error ? "error" : "warning",
              DisplayText(f.key).c_str(), DisplayText(f.message).c_str());
  }
  return clean;
}

bool AddDeltas(const fs::path& old_tree, std::vector<ArchiveInput>* entries, std::vector<std::string>* notes,
               std::string* error, bool make_patches);

int Check(const Options& o) {
  if (o.operands.size() != 1) return Usage("check takes one folder");
  std::vector<ArchiveInput> entries;
  std::string error;
  if (!CollectEntries(o.operands[0], &entries, &error)) return Fail(error);
  if (!ReportFindings(o, o.operands[0], entries)) return kExitFailure;
  // With --delta-from, the files that may travel as deltas: a player whose
  // copy is not the previous release's stops the run there.
  std::vector<std::string> notes, deltas;
  if (!o.delta_from.empty() && !AddDeltas(o.delta_from, &entries, &notes, &error, false)) return Fail(error);
  for (const ArchiveInput& e : entries)
    if (e.has_delta) deltas.push_back(DisplayText(e.name));
  for (const ArchiveInput& e : entries) {
    if (o.quiet || FoldedName(e.name) != "UPDATE.INI" || ScriptIsAllOrNothing(std::string(e.data.begin(), e.data.end())))
      continue;
    printf("%s: AllOrNothing is off: a failure or Cancel leaves the lines before it done (publisher's guide)\n",
           o.operands[0].c_str());
    if (!deltas.empty())
      printf("%s: warning: [UPDATE] AllOrNothing is off while %zu files may travel as deltas against %s (%s%s): a "
             "player whose copy of one is not the previous release's is left with the lines before it done\n",
             o.operands[0].c_str(), deltas.size(), o.delta_from.c_str(), deltas[0].c_str(),
             deltas.size() > 1 ? ", ..." : "");
  }
  if (!o.quiet) printf("%s: no errors\n", o.operands[0].c_str());
  return kExitOk;
}

// The updater that ships with the tool: beside it, or in ../share/koushin.
fs::path ShippedUpdater(const Options& o) {
  if (!o.updater.empty()) return o.updater;
  std::string name = "updater-" + o.arch + ".exe";
  fs::path self = fs::path(o.self).parent_path();
  std::error_code ec;
  for (const fs::path& candidate : {self / name, self / ".." / "share" / "koushin" / name})
    if (fs::exists(candidate, ec)) return candidate;
  return self / name;
}

// The previous release's copy of each entry, from the folder OLD: for an
// entry whose path is there with other bytes, the patch from it (the writer
// carries it when smaller than the whole entry); what became of each, for -v.
// Without `make_patches` an entry that would have a patch is only marked
// (has_delta), for check.
bool AddDeltas(const fs::path& old_tree, std::vector<ArchiveInput>* entries, std::vector<std::string>* notes,
               std::string* error, bool make_patches) {
  *error = NoFolder(old_tree);
  if (!error->empty()) return false;
  notes->assign(entries->size(), "");
  std::set<std::string> names, whole;
  for (const ArchiveInput& in : *entries) names.insert(FoldedName(in.name));
  for (const ArchiveInput& in : *entries)
    if (FoldedName(in.name) == FoldedName(kScriptEntryName))
      whole = EntriesCarriedWhole(std::string(in.data.begin(), in.data.end()), names);
  for (size_t i = 0; i < entries->size(); ++i) {
    ArchiveInput& in = (*entries)[i];
    if (whole.count(FoldedName(in.name))) {
      (*notes)[i] = "whole: the script, an agreement text or a \"d\" line's file";
      continue;
    }
    fs::path old_path = old_tree;
    bool named = true;
    for (const std::string& part : EntryNameComponents(in.name)) named = named && HostPathOf(old_path, part, &old_path);
    std::error_code ec;
    if (!named || !fs::is_regular_file(old_path, ec)) {
      (*notes)[i] = "whole: not in the previous release";
      continue;
    }
    uint64_t old_size = fs::file_size(old_path, ec);
    if (ec) {
      *error = old_path.string() + ": " + ec.message();
      return false;
    }
    if (old_size > kDeltaMakerLimit || in.data.size() > kDeltaMakerLimit) {
      (*notes)[i] = "whole: too large to diff (over " + std::to_string(kDeltaMakerLimit >> 20) + " MiB)";
      continue;
    }
    std::vector<uint8_t> old;
    if (!ReadBytes(old_path, &old)) {
      *error = old_path.string() + ": cannot be read";
      return false;
    }
    if (old == in.data) {
      (*notes)[i] = "whole: the same bytes as in the previous release";
      continue;
    }
    in.has_delta = !make_patches || MakeDeltaPatch(old, in.data, &in.delta_patch);
    in.delta_old_size = old.size();
    in.delta_old_hash = Xxh64(old.data(), old.size(), 0);
    (*notes)[i] = "whole: smaller than its delta";
  }
  return true;
}

int Build(const Options& o) {
  if (o.operands.size() != 1) return Usage("build takes one folder");
  if (o.output.empty()) return Usage("build needs -o OUT.exe");
  if (o.arch != "i686" && o.arch != "x86_64") return Usage("--arch is i686 or x86_64");
  std::vector<ArchiveInput> entries;
  std::string error;
  if (!CollectEntries(o.operands[0], &entries, &error, o.output)) return Fail(error);
  if (!ReportFindings(o, o.operands[0], entries) && !o.no_check)
    return Fail("the update was not built: mend the errors above");
  fs::path updater_path = ShippedUpdater(o);
  std::vector<uint8_t> updater;
  if (!ReadBytes(updater_path, &updater)) return Fail(updater_path.string() + ": cannot be read (give --updater EXE)");
  std::vector<std::string> notes;
  if (!o.delta_from.empty() && !AddDeltas(o.delta_from, &entries, &notes, &error, true)) return Fail(error);
  std::vector<uint8_t> image;
  if (!MakeArchive(o, entries, &image, &error, &notes)) return Fail(error);
  uint32_t version = (ReadLe32(image.data() + kHeaderFlagsAt) & kHeaderVersionMask) >> kHeaderVersionShift;
  if (uint32_t reads = ReaderVersionOf(updater); version > reads)
    return Fail(updater_path.string() + ": this updater reads archives up to format version " + std::to_string(reads) +
                ", the update's is version " + std::to_string(version) +
                ": build with --method lz (and without --delta-from), or start from a newer updater");
    // A delta is made from the player's copy of the previous release: where a
  // player's copy is another, the file fails. Only AllOrNothing takes the
  // lines before it back. The build knows which entries went as deltas, so
  // it is the build that says so.
  if (CarriesDeltas(image)) {
    for (const ArchiveInput& e : entries) {
      if (!o.quiet && FoldedName(e.name) == "UPDATE.INI" &&
          !ScriptIsAllOrNothing(std::string(e.data.begin(), e.data.end())))
        fprintf(stderr,
                "mkupdate: %s: warning: [UPDATE] AllOrNothing is off while the update carries deltas: a player whose "
                "copy of a file is not the previous release's is left with the lines before it done\n",
                (fs::path(o.operands[0]) / "UPDATE.INI").string().c_str());
    }
  }
  // The archive is UPDATE/102, its checksum record UPDATE/103; a record
  // left from an earlier build in the starting executable never survives.
  std::vector<Resource> put(1);
  put[0].key.type_name = kUpdateResourceType;
  put[0].key.name_id = IDR_PAYLOAD;
  std::vector<ResourceKey> drop;
  ResourceKey checksum_key;
  checksum_key.type_name = kUpdateResourceType;
  checksum_key.name_id = IDR_PAYLOAD_CHECKSUM;
  if (o.no_checksum) {
    drop.push_back(checksum_key);
  } else {
    Resource checksum;
    checksum.key = checksum_key;
    checksum.data.resize(kChecksumRecordSize);
    MakeChecksumRecord(image.data(), uint32_t(image.size()), checksum.data.data());
    put.push_back(std::move(checksum));
  }
  put[0].data = std::move(image);
  if (!ReplaceResources(&updater, put, drop, &error)) return Fail(updater_path.string() + ": " + error);
  if (!WriteFileInPlace(o.output, updater.data(), updater.size())) return Fail(o.output + ": cannot be written");
  if (!o.quiet) printf("%s: %zu entries, %zu bytes\n", o.output.c_str(), entries.size(), updater.size());
  return kExitOk;
}

// Opens FILE through the updater's own reader, after its checksum.
bool OpenArchiveFile(const std::string& path, UpdateFile* file, std::string* error) {
  if (!ReadUpdateFile(path, file, error) || !ChecksumMatches(path, *file, error)) return false;
  UpdateState.PayloadArchive = {file->image.data(), uint32_t(file->image.size())};
  if (OpenPayloadArchive() == nullptr) {
    *error = path + ": not a payload archive, or a damaged one";
    return false;
  }
  return true;
}

// Reports an entry that UnsafeEntryName refuses; true when there is one.
bool RefusedEntry(const std::string& path, const ArchiveEntryInfo& e) {
  std::string why = UnsafeEntryName(e.Name);
  if (why.empty()) return false;
  Fail(path + ": entry '" + DisplayText(e.Name) + "' refused: its name holds " + why +
       " (an entry name is a path inside the update, its folders joined by backslashes)");
  return true;
}

// The entries of the update that `path` opened, each handed to `visit`
// unless its name is refused (which is reported). The exit status: a
// failure when a name was refused or `visit` said so.
int ForEachEntry(const std::string& path, const std::function<bool(uint32_t, const ArchiveEntryInfo&)>& visit) {
  int status = kExitOk;
  for (uint32_t i = 0; i < ArchiveEntryCount(); ++i) {
    ArchiveEntryInfo e;
    GetArchiveEntryInfo(i, &e);
    if (RefusedEntry(path, e) || !visit(i, e)) status = kExitFailure;
  }
  ClosePayloadArchive();
  return status;
}

int List(const Options& o) {
  if (o.operands.size() != 1) return Usage("list takes one archive");
  UpdateFile file;
  std::string error;
  if (!OpenArchiveFile(o.operands[0], &file, &error)) return Fail(error);
  if (o.verbose) {
    if (file.has_checksum) {
      ChecksumRecord record;
      ParseChecksumRecord(file.checksum.data(), uint32_t(file.checksum.size()), &record);
      printf("checksum: XXH64 %s over %u bytes, matches\n", DigestText(record.Digest).c_str(), record.ImageSize);
    } else {
      printf("checksum: none\n");
    }
  }
  if (o.verbose)
    printf("format version: %u\n",
           (ReadLe32(file.image.data() + kHeaderFlagsAt) & kHeaderVersionMask) >> kHeaderVersionShift);
  printf("%10s %10s  %-10s  %-19s  %s\n", "size", "stored", "method", "time (UTC)", "name");
  uint32_t group = 0;  // solid groups so far: a member whose StoredSize is not 0 begins one
  return ForEachEntry(o.operands[0], [&o, &group](uint32_t, const ArchiveEntryInfo& e) {
    // Without -v the old kinds keep their old words; -v names method and filter.
    std::string method = o.verbose || EntryMethod(e.Flags) != kEntryMethodOld
                             ? MethodText(e.Flags)
                             : ((e.Flags & kEntryCompressed) ? "compressed" : "stored");
    if (EntryMethod(e.Flags) == kEntryMethodSolid) {
      if (e.StoredSize != 0) ++group;
      method += " " + std::to_string(group);
    }
    printf("%10u %10u  %-10s  %-19s  %s", e.Size, e.StoredSize, method.c_str(), TimeText(e.FileTime).c_str(),
           DisplayText(e.Name).c_str());
    if (o.verbose) printf("  (FILETIME %llu)", static_cast<unsigned long long>(e.FileTime));
    printf("\n");
    return true;
  });
}

// Where the entry `name` (already found safe by UnsafeEntryName) is written
// inside `dir`, its folders made on the way. Nothing is written through a
// link: a folder on the way that is a link (or a file) refuses the entry.
// The file itself is renamed into place, so a link at its own name is
// replaced, never followed.
bool ExtractionTarget(const fs::path& dir, const std::string& name, fs::path* target, std::string* error) {
  std::vector<std::string> parts = EntryNameComponents(name);
  fs::path at = dir;
  for (size_t i = 0; i < parts.size(); ++i) {
    fs::path next;
    if (!HostPathOf(at, parts[i], &next)) {
      *error = "its name does not convert";
      return false;
    }
    at = next;
    if (i + 1 == parts.size()) break;
    std::error_code ec;
    fs::file_status status = fs::symlink_status(at, ec);
    if (fs::is_symlink(status)) {
      *error = at.string() + " on its way is a link, which extract never writes through";
      return false;
    }
    if (status.type() == fs::file_type::not_found) {
      if (!fs::create_directory(at, ec) && ec) {
        *error = at.string() + ": the folder cannot be made: " + ec.message();
        return false;
      }
    } else if (!fs::is_directory(status)) {
      *error = at.string() + " on its way is no folder";
      return false;
    }
  }
  *target = at;
  return true;
}

int Extract(const Options& o) {
  if (o.operands.size() != 1) return Usage("extract takes one archive");
  UpdateFile file;
  std::string error;
  if (!OpenArchiveFile(o.operands[0], &file, &error)) return Fail(error);
  fs::path dir = o.output.empty() ? fs::path(".") : fs::path(o.output);
  std::error_code ec;
  fs::create_directories(dir, ec);
  return ForEachEntry(o.operands[0], [&](uint32_t i, const ArchiveEntryInfo& e) {
    fs::path target;
    if (!ExtractionTarget(dir, e.Name, &target, &error)) {
      Fail(o.operands[0] + ": entry '" + DisplayText(e.Name) + "' refused: " + error);
      return false;
    }
    if (EntryMethod(e.Flags) == kEntryMethodDelta) {
      Fail(o.operands[0] + ": entry '" + DisplayText(e.Name) +
           "' is a delta against the previous release: only the updater writes it, from the player's copy");
      return false;
    }
    uint32_t size = 0;
    const uint8_t* bytes = LoadArchiveEntryAt(i, &size);
    if (bytes == nullptr) {
      Fail(target.string() + ": " + g_archive_error);
      return false;
    }
    bool ok = WriteFileInPlace(target, bytes, size, &e.FileTime);
    ReleaseArchiveEntry(bytes);
    if (!ok) {
      Fail(target.string() + ": cannot be written");
      return false;
    }
    if (o.verbose) printf("%s\n", target.string().c_str());
    return true;
  });
}

int Verify(const Options& o) {
  if (o.operands.size() != 1) return Usage("verify takes one update");
  const std::string& path = o.operands[0];
  UpdateFile file;
  std::string error;
  if (!OpenArchiveFile(path, &file, &error)) return Fail(error);
  uint32_t count = ArchiveEntryCount();
  int status = ForEachEntry(path, [&path](uint32_t i, const ArchiveEntryInfo& e) {
    if (EntryMethod(e.Flags) == kEntryMethodDelta) {
      if (DeltaPatchDecodes(i)) return true;
      Fail(path + ": entry " + DisplayText(e.Name) + ": a damaged delta");
      return false;
    }
    uint32_t size = 0;
    const uint8_t* bytes = LoadArchiveEntryAt(i, &size);
    if (bytes == nullptr) {
      Fail(path + ": entry " + DisplayText(e.Name) + ": " + g_archive_error);
      return false;
    }
    ReleaseArchiveEntry(bytes);
    return true;
  });
  if (status != kExitOk) return status;
  if (!o.quiet) {
    printf("%s: %u entries decoded, %s\n", path.c_str(), count,
           file.has_checksum ? "the checksum matches" : "no checksum record (made without one)");
  }
  return kExitOk;
}

// A thread count: 1 to 256, in decimal digits only.
bool ParseJobs(const char* text, unsigned* jobs) {
  char* end = nullptr;
  unsigned long n = strtoul(text, &end, 10);
  if (*text < '1' || *text > '9' || *end != '\0' || n > 256) return false;
  *jobs = unsigned(n);
  return true;
}

// N=DIR (`disc`: N from 1 to 9) or L=DIR (a drive letter): the character
// and the folder, or false.
bool ParseAssignment(const std::string& value, bool disc, char* which, fs::path* folder) {
  bool ok = value.size() > 2 && value[1] == '=' &&
            (disc ? value[0] >= '1' && value[0] <= '9'
                  : (value[0] >= 'A' && value[0] <= 'Z') || (value[0] >= 'a' && value[0] <= 'z'));
  if (!ok) return false;
  *which = value[0];
  *folder = value.substr(2);  // as every other path of the command line
  return true;
}

bool ParseMode(const std::string& value, unsigned* mode) {
  char* end = nullptr;
  unsigned long n = strtoul(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || value[0] < '0' || value[0] > '9' || n > 0xFFFFFFFFul) return false;
  *mode = unsigned(n);
  return true;
}

int Plan(const Options& o) {
  if (o.operands.size() != 1) return Usage("plan takes one update");
  if (o.plan.inst.empty()) return Usage("plan needs --inst DIR, the installation folder");
  std::vector<fs::path> folders = {o.plan.inst};
  if (!o.plan.data.empty()) folders.push_back(o.plan.data);
  for (const auto& disc : o.plan.discs) folders.push_back(disc.second);
  for (const auto& drive : o.plan.drives) folders.push_back(drive.second);
  for (const fs::path& folder : folders)
    if (std::string why = NoFolder(folder); !why.empty()) return Fail(why);
  PlanOptions plan = o.plan;
  plan.update = o.operands[0];
  return RunPlan(plan);
}

int Diff(const Options& o) {
  if (o.operands.size() != 2) return Usage("diff takes two folders, OLD and NEW");
  if (o.output.empty()) return Usage("diff needs -o DIR, the folder it drafts");
  for (const std::string& folder : o.operands)
    if (std::string why = NoFolder(folder); !why.empty()) return Fail(why);
  DiffOptions diff;
  diff.old_tree = o.operands[0];
  diff.new_tree = o.operands[1];
  diff.draft = o.output;
  diff.setup = o.setup;
  diff.quiet = o.quiet;
  diff.verbose = o.verbose;
  diff.entry_limit = kEntryLimit;
  int status = RunDiff(diff);
  // The draft holds NEW's files whole; the deltas are made when it is built
  // against OLD, which the build is told.
  if (status == 0 && o.delta && !o.quiet)
    printf("build it with deltas against OLD: mkupdate build %s -o UPDATE.exe --delta-from %s\n", o.output.c_str(),
           o.operands[0].c_str());
  return status;
}

// The options: one table for the parsing, the general help and each
// command's synopsis; a command given an option it does not take says so.
struct OptionEntry {
  const char* short_name;  // "-o", or null
  const char* long_name;   // "--output", or null
  const char* value;       // the value's name in the help, or null for a switch
  const char* commands;    // the commands that take it ("build pack"), or "*" for every one
  const char* help;
  // Stores the option; false, with the reason, for a value it cannot take.
  bool (*apply)(Options* o, const std::string& value, std::string* error);
};

bool Takes(const char* commands, const std::string& command) {
  return strcmp(commands, "*") == 0 ||
         (std::string(" ") + commands + " ").find(" " + command + " ") != std::string::npos;
}

const OptionEntry kOptions[] = {
    {"-o", nullptr, "PATH", "build pack extract diff",
     "the output (extract: a folder, default the current one; diff: a new or empty folder)",
     [](Options* o, const std::string& v, std::string*) { return o->output = v, true; }},
    {nullptr, "--arch", "ARCH", "build", "i686 (default, runs on every Windows) or x86_64",
     [](Options* o, const std::string& v, std::string*) { return o->arch = v, true; }},
    {nullptr, "--updater", "EXE", "build", "the updater to start from, instead of the one shipped",
     [](Options* o, const std::string& v, std::string*) { return o->updater = v, true; }},
    {nullptr, "--no-check", nullptr, "build", "go on despite errors of check (to test the updater's own reactions)",
     [](Options* o, const std::string&, std::string*) { return o->no_check = true; }},
    {nullptr, "--no-checksum", nullptr, "build",
     "leave out the payload's checksum record (as an update made by another tool)",
     [](Options* o, const std::string&, std::string*) { return o->no_checksum = true; }},
    {"-j", "--jobs", "N", "build pack", "compress on N threads (default: one per processor)",
     [](Options* o, const std::string& v, std::string* error) {
       if (ParseJobs(v.c_str(), &o->jobs)) return true;
       *error = "-j takes a number from 1 to 256";
       return false;
     }},
    {nullptr, "--method", "M", "build pack",
     "all: LZMA (with the x86 or WAV filter) or LzBlock, the smallest, format version 2 (build's default); "
     "lz: LzBlock or stored only, version 0, which every updater reads (pack's default)",
     [](Options* o, const std::string& v, std::string* error) {
       if (v == "all" || v == "lz") return o->method = v, true;
       *error = "--method is all or lz";
       return false;
     }},
    {nullptr, "--inst", "DIR", "plan", "the installation folder (InstPath)",
     [](Options* o, const std::string& v, std::string*) { return o->plan.inst = v, true; }},
    {nullptr, "--data", "DIR", "plan", "the data folder (DataPath), when the game has one of its own",
     [](Options* o, const std::string& v, std::string*) { return o->plan.data = v, true; }},
    {nullptr, "--mode", "N", "plan", "the install mode (InstMode, default 0)",
     [](Options* o, const std::string& v, std::string* error) {
       if (ParseMode(v, &o->plan.mode)) return true;
       *error = "--mode takes a number";
       return false;
     }},
    {nullptr, "--disc", "N=DIR", "plan", "the player has disc N, in a CD-ROM drive, as the folder DIR",
     [](Options* o, const std::string& v, std::string* error) {
       char n;
       fs::path folder;
       if (ParseAssignment(v, true, &n, &folder)) return o->plan.discs.push_back({n - '0', folder}), true;
       *error = "--disc takes N=DIR, N from 1 to 9";
       return false;
     }},
    {nullptr, "--json", nullptr, "plan", "one JSON object per line",
     [](Options* o, const std::string&, std::string*) { return o->plan.json = true; }},
    {nullptr, "--inst-path", "PATH", "plan", "InstPath as the player's record names it (default: DIR's own path)",
     [](Options* o, const std::string& v, std::string*) { return o->plan.inst_path = v, true; }},
    {nullptr, "--data-path", "PATH", "plan", "DataPath as the record names it (a relative one lies under InstPath)",
     [](Options* o, const std::string& v, std::string*) { return o->plan.data_path = v, true; }},
    {nullptr, "--drive", "L=DIR", "plan", "a CD-ROM drive L: holding the folder DIR",
     [](Options* o, const std::string& v, std::string* error) {
       char letter;
       fs::path folder;
       if (ParseAssignment(v, false, &letter, &folder))
         return o->plan.drives.push_back({char(FoldAscii(uint8_t(letter))), folder}), true;
       *error = "--drive takes L=DIR, L a drive letter";
       return false;
     }},
    {nullptr, "--delta-from", "OLD", "build check",
     "carry each file that the folder OLD (the previous release) holds with other bytes as a delta against it, "
     "where that is smaller",
     [](Options* o, const std::string& v, std::string*) { return o->delta_from = v, true; }},
    {nullptr, "--delta", nullptr, "diff", "say how to build the draft with deltas against OLD (build --delta-from)",
     [](Options* o, const std::string&, std::string*) { return o->delta = true; }},
    {nullptr, "--setup", "FILE", "diff", "take [SETUP] whole from this UPDATE.INI (and the agreement texts beside it)",
     [](Options* o, const std::string& v, std::string*) { return o->setup = v, true; }},
    {"-q", "--quiet", nullptr, "build check pack verify diff", "print nothing but errors",
     [](Options* o, const std::string&, std::string*) { return o->quiet = true; }},
    {"-v", "--verbose", nullptr, "build pack list extract diff", "per-entry figures (diff: each file)",
     [](Options* o, const std::string&, std::string*) { return o->verbose = true; }},
    {"-h", "--help", nullptr, "*", "this text, or a command's own",
     [](Options* o, const std::string&, std::string*) { return o->help = true; }},
};

// How an option is written in the help: "-j, --jobs N".
std::string OptionName(const OptionEntry& option) {
  std::string name = option.short_name ? option.short_name : "";
  if (option.long_name) name += std::string(name.empty() ? "" : ", ") + option.long_name;
  if (option.value) name += std::string(" ") + option.value;
  return name;
}

// The commands: one table for the general help, each command's own help and
// the dispatch.
struct Command {
  const char* name;
  const char* operands;  // with the options the command cannot do without
  const char* summary;
  int (*run)(const Options&);
  const char* help;  // mkupdate COMMAND --help, after the synopsis
};
const Command kCommands[] = {
    {"build", "SRC -o OUT.exe", "make an update executable of the folder SRC (checked first)", Build,
     "Checks SRC/UPDATE.INI as 'check' does (errors stop the build, warnings are printed), packs\n"
     "every file of SRC (each under its path in SRC, folders joined by backslashes) and writes\n"
     "OUT.exe: the shipped updater with the archive as its resource UPDATE/102. The same SRC always\n"
     "gives the same bytes.\n"},
    {"check", "SRC", "report what the updater would do wrong with SRC/UPDATE.INI", Check,
     "Reads SRC/UPDATE.INI with the updater's own readers and reports what the updater would do\n"
     "silently wrong: missing keys, lists with gaps or more lines than are read (16, or the count\n"
     "key's number), look-alike kind letters and modes, files and folders the update does not\n"
     "carry, lines sharing one file, removals outside the folder or of a player's data file, copy\n"
     "lines without a disc, values cut by their holders. Exit status 1 when there are errors.\n"},
    {"pack", "SRC -o PAYLOAD", "pack every file of SRC into a raw archive", Pack,
     "Writes the raw archive of SRC, without an executable.\n"},
    {"list", "FILE", "list the entries of an update executable or a raw archive", List,
     "Lists the entries of an update executable or a raw archive, after checking the payload's\n"
     "checksum when the executable carries one; -v also shows the checksum.\n"},
    {"extract", "FILE", "write every entry into a folder (-o DIR; default: the current one)", Extract,
     "Writes every entry of FILE, with its time stamp, into the folder PATH (default: the current\n"
     "folder). A payload that does not match its checksum is refused before anything is written.\n"},
    {"plan", "FILE --inst DIR", "say what FILE would do to the installation DIR, without writing", Plan,
     "Runs the updater's own start-up checks and line decisions against the folders given, as\n"
     "the player's machine would show them, and prints one line per script line (new, replace,\n"
     "keep, skip, copy, fail, and why), then the totals and what the player would see at the end.\n"
     "Nothing is written. A disc that is not given is one the player does not have. Exit status:\n"
     "0 when the update would complete, 1 when it would not, 2 for a usage error.\n"},
    {"diff", "OLD NEW -o DIR", "draft in DIR the update that turns the folder OLD into NEW", Diff,
     "Compares two releases of the game's installation folder and drafts the update folder DIR\n"
     "(new, or empty; inside neither): NEW's files that OLD lacks or holds with other bytes, at\n"
     "their paths, and UPDATE.INI with [SETUP] from NEW's SETUP.INI (or, with --setup, that\n"
     "script's [SETUP] whole, with the agreement texts it names), 'UpdateFile00=.\\' and a\n"
     "RemoveFile line for each folder or file that NEW lacks. Prints what it found; refuses what\n"
     "an update cannot express (links, empty new folders, names no entry can have) before it\n"
     "writes anything. The draft passes 'check' as it is.\n"},
    {"verify", "FILE", "check an update completely: checksum, structure, every entry", Verify,
     "Checks an update executable (or a raw archive) as completely as it can be checked: the\n"
     "payload against its checksum record, the archive's structure, and every entry decoded.\n"
     "Exit status 1 when anything is wrong.\n"},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

// Runs a command with a last guard: whatever the standard library throws
// (memory running out among it) ends the command with one line, never an abort.
int Run(const Command& command, const Options& o) {
  try {
    return command.run(o);
  } catch (const std::bad_alloc&) {
    return Fail("out of memory");
  } catch (const std::exception& e) {
    return Fail(e.what());
  } catch (...) {
    return Fail("an unexpected error");
  }
}

// "usage: mkupdate build SRC -o OUT.exe [--arch ARCH] ...": the operands,
// then every option the command takes that they do not already name.
std::string Synopsis(const Command& c) {
  std::string line = std::string("usage: mkupdate ") + c.name + " " + c.operands;
  for (const OptionEntry& option : kOptions) {
    if (!Takes(option.commands, c.name) || strcmp(option.commands, "*") == 0) continue;
    const char* name = option.short_name ? option.short_name : option.long_name;
    std::string operands = std::string(" ") + c.operands + " ";
    if (operands.find(std::string(" ") + name + " ") != std::string::npos) continue;
    line += std::string(" [") + name + (option.value ? std::string(" ") + option.value : "") + "]";
  }
  return line + "\n";
}

void PrintHelp() {
  printf("usage: mkupdate COMMAND [options]\n\ncommands:\n");
  for (const Command& c : kCommands)
    printf("  %-24s %s\n", (std::string(c.name) + " " + c.operands).c_str(), c.summary);
  printf("\noptions:\n");
  for (const OptionEntry& option : kOptions) {
    std::string which;
    if (strcmp(option.commands, "*") != 0) {
      for (const Command& c : kCommands)
        if (Takes(option.commands, c.name)) which += std::string(which.empty() ? "" : ", ") + c.name;
      which += ": ";
    }
    printf("  %-17s %s%s\n", OptionName(option).c_str(), which.c_str(), option.help);
  }
  printf("\nexit status: 0 done, 1 failure (or errors found by check), 2 usage error\n");
}

// The options by the table, the command and its operands; an option the
// command does not take is an error once the command is known.
bool ParseArguments(int argc, char** argv, Options* o, std::string* error) {
  std::vector<const OptionEntry*> given;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a.size() > 1 && a[0] == '-') {
      const OptionEntry* option = nullptr;
      for (const OptionEntry& s : kOptions)
        if ((s.short_name && a == s.short_name) || (s.long_name && a == s.long_name)) option = &s;
      if (option == nullptr) {
        *error = "unknown option " + a;
        return false;
      }
      std::string value;
      if (option->value != nullptr) {
        if (++i == argc) {
          *error = a + " needs a value";
          return false;
        }
        value = argv[i];
      }
      if (!option->apply(o, value, error)) return false;
      given.push_back(option);
    } else if (o->command.empty()) {
      o->command = a;
    } else {
      o->operands.push_back(a);
    }
  }
  if (const Command* command = FindCommand(o->command)) {
    for (const OptionEntry* option : given) {
      if (Takes(option->commands, command->name)) continue;
      *error = o->command + " takes no option " + OptionName(*option) + " (mkupdate " + o->command + " --help)";
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  PlatformApi quiet = *NativePlatform();
  quiet.ShowMessageBox = CaptureBox;
  Os = &quiet;

  Options o;
  o.self = argv[0];
  std::string error;
  if (!ParseArguments(argc, argv, &o, &error)) return Usage(error);
  const Command* command = FindCommand(o.command);
  if (o.help) {
    if (command != nullptr) printf("%s%s", Synopsis(*command).c_str(), command->help);
    else PrintHelp();
    return kExitOk;
  }
  if (command != nullptr) return Run(*command, o);
  std::string names;
  for (const Command& c : kCommands) names += std::string(names.empty() ? "" : ", ") + c.name;
  return Usage(o.command.empty() ? "a command is needed: " + names
                                 : "unknown command " + o.command + " (" + names + ")");
}
