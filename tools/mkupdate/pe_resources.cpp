// PE layout used here (all integers little-endian):
//   DOS header: "MZ", e_lfanew at 0x3C -> "PE\0\0", COFF header (20 bytes:
//   Machine, NumberOfSections at +2, SizeOfOptionalHeader at +16), optional
//   header (magic 0x10B for PE32, 0x20B for PE32+), section table (40 bytes
//   a section: Name[8], VirtualSize, VirtualAddress, SizeOfRawData,
//   PointerToRawData, ...).
//   Optional header fields used: SectionAlignment (+32), FileAlignment (+36),
//   SizeOfImage (+56), SizeOfHeaders (+60), CheckSum (+64), then the data
//   directories (+96 for PE32, +112 for PE32+): 2 resources, 4 certificates
//   (a file offset), 5 base relocations, 6 debug.
//   Resources: a three-level tree (type, name, language) of directories
//   (16 bytes, then 8-byte entries: named ones first, sorted, then ids
//   ascending), data entries (RVA, size, code page, 0) and names (a count
//   of UTF-16 units, then the units).
#include "tools/mkupdate/pe_resources.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <set>

#include "common/bytes.h"

namespace {

uint16_t Get16(const std::vector<uint8_t>& image, size_t at) { return uint16_t(image[at] | image[at + 1] << 8); }
uint32_t Get32(const std::vector<uint8_t>& image, size_t at) { return ReadLe32(&image[at]); }
void Put16(std::vector<uint8_t>& image, size_t at, uint32_t v) {
  image[at] = uint8_t(v);
  image[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& image, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) image[at + i] = uint8_t(v >> (8 * i));
}
// Every size and place is computed in 64 bits: an input's 32-bit fields can
// never wrap a sum, on the i686 build (32-bit size_t) as on the others.
uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Places in the headers of a PE image.
constexpr size_t kPeHeaderOffsetAt = 0x3C;  // in the MZ header: where "PE\0\0" is
constexpr size_t kSectionCountAt = 6;       // from "PE\0\0": the COFF header's NumberOfSections
constexpr size_t kOptionalSizeAt = 20;      // SizeOfOptionalHeader
constexpr size_t kOptionalHeaderAt = 24;    // after the signature and the COFF header
constexpr size_t kSectionAlignmentAt = 32;  // in the optional header
constexpr size_t kFileAlignmentAt = 36;
constexpr size_t kSizeOfHeadersAt = 60;
constexpr size_t kSectionHeaderSize = 40;

// Limits of what is read. Windows' loader takes at most 96 sections; the
// resource tree of an updater has a few dozen entries and its data is the
// payload, which an update keeps under 2 GiB.
constexpr uint16_t kMaxSections = 96;
constexpr uint64_t kMaxSectionAlignment = uint64_t(1) << 28;  // 256 MiB
constexpr size_t kMaxResourceEntries = 16384;                 // directory entries in the whole tree
constexpr uint64_t kMaxResourceBytes = 0x7FFFFFFFu;           // the data of all resources read, together

struct Section {
  size_t header;  // offset of its 40-byte header
  uint32_t virtual_size, rva, raw_size, raw_offset;
};

struct Layout {
  size_t pe, optional, sections_at, directories;
  uint32_t section_alignment, file_alignment, headers_size;
  std::vector<Section> sections;
};

bool ParseLayout(const std::vector<uint8_t>& image, Layout* layout, std::string* error) {
  auto fail = [error](const std::string& why) {
    *error = why;
    return false;
  };
  const uint64_t file_size = image.size();
  if (file_size < 0x40 || image[0] != 'M' || image[1] != 'Z') return fail("not an executable (no MZ header)");
  uint64_t pe = Get32(image, kPeHeaderOffsetAt);
  if (pe + kOptionalHeaderAt > file_size || memcmp(&image[size_t(pe)], "PE\0\0", 4) != 0)
    return fail("not a PE executable");
  layout->pe = size_t(pe);
  uint16_t count = Get16(image, layout->pe + kSectionCountAt);
  uint16_t optional_size = Get16(image, layout->pe + kOptionalSizeAt);
  layout->optional = layout->pe + kOptionalHeaderAt;
  if (uint64_t(layout->optional) + optional_size > file_size || optional_size < 96)
    return fail("truncated optional header");
  uint16_t magic = Get16(image, layout->optional);
  if (magic != 0x10B && magic != 0x20B) return fail("unknown optional header");
  layout->directories = layout->optional + (magic == 0x10B ? 96 : 112);
  if (layout->directories + 16 * 8 > layout->optional + optional_size) return fail("too few data directories");
  uint32_t sa = Get32(image, layout->optional + kSectionAlignmentAt);
  uint32_t fa = Get32(image, layout->optional + kFileAlignmentAt);
  // The PE format: FileAlignment a power of two from 512 to 64 KiB (or equal
  // to a SectionAlignment below the page size); SectionAlignment a power of
  // two no smaller than it (here also no larger than 256 MiB).
  bool file_alignment_ok = PowerOfTwo(fa) && ((fa >= 512 && fa <= 65536) || (sa < 4096 && fa == sa));
  if (!file_alignment_ok || !PowerOfTwo(sa) || sa < fa || sa > kMaxSectionAlignment)
    return fail("alignments outside the PE format's ranges (FileAlignment " + std::to_string(fa) +
                ", SectionAlignment " + std::to_string(sa) + ")");
  layout->section_alignment = sa;
  layout->file_alignment = fa;
  if (count == 0 || count > kMaxSections)
    return fail(std::to_string(count) + " sections (a PE image has 1 to " + std::to_string(kMaxSections) + ")");
  layout->sections_at = layout->optional + optional_size;
  uint64_t table_end = uint64_t(layout->sections_at) + uint64_t(count) * kSectionHeaderSize;
  if (table_end > file_size) return fail("truncated section table");
  // The headers, the section table with them, lie before every section's
  // data: a writer that keeps the image up to a section keeps its headers.
  layout->headers_size = Get32(image, layout->optional + kSizeOfHeadersAt);
  if (layout->headers_size < table_end || layout->headers_size > file_size)
    return fail("the headers (SizeOfHeaders " + std::to_string(layout->headers_size) +
                ") do not hold the section table or lie beyond the end of the file");
  uint64_t next_rva = 0, next_raw = layout->headers_size;
  for (uint16_t i = 0; i < count; ++i) {
    size_t h = layout->sections_at + size_t(i) * kSectionHeaderSize;
    Section s = {h, Get32(image, h + 8), Get32(image, h + 12), Get32(image, h + 16), Get32(image, h + 20)};
    uint64_t span = AlignUp(std::max(s.virtual_size, s.raw_size), sa);
    if (s.rva < next_rva || s.rva % sa != 0 || uint64_t(s.rva) + span > 0xFFFFFFFFu)
      return fail("the sections overlap, are not in address order or are not aligned");
    next_rva = uint64_t(s.rva) + span;
    if (s.raw_size != 0) {
      if (s.raw_offset < next_raw || uint64_t(s.raw_offset) + s.raw_size > file_size)
        return fail("a section's data overlaps the headers or another section, or lies beyond the end of the file");
      next_raw = uint64_t(s.raw_offset) + s.raw_size;
    }
    layout->sections.push_back(s);
  }
  return true;
}

// Translates an RVA into a file offset; false when no section holds it.
bool OffsetOf(const Layout& layout, uint32_t rva, uint32_t size, size_t* offset) {
  for (const Section& s : layout.sections) {
    if (rva >= s.rva && uint64_t(rva - s.rva) + size <= s.raw_size) {
      *offset = size_t(s.raw_offset) + (rva - s.rva);
      return true;
    }
  }
  return false;
}

// A resource found in the tree, its data not yet copied.
struct Located {
  Resource resource;  // without its data
  size_t offset;      // of its data in the file
  uint32_t length;
};

struct TreeReader {
  const std::vector<uint8_t>& image;
  const Layout& layout;
  size_t base;  // file offset of the resource section's start
  uint32_t size;
  const ResourceFilter& wanted;
  std::string* error;
  std::vector<Located>* found;
  std::set<uint32_t> seen;  // directories and data entries reached so far
  size_t entries = 0;       // directory entries read so far
  uint64_t bytes = 0;       // resource data found so far

  bool Fail(const std::string& why) {
    *error = "the resource section is damaged: " + why;
    return false;
  }

  // Each directory and data entry is reached once: a tree whose levels
  // share a subdirectory would otherwise be walked exponentially often.
  bool FirstVisit(uint32_t at) { return seen.insert(at).second; }

  bool Name(uint32_t field, std::u16string* name, uint16_t* id) {
    if (!(field & 0x80000000u)) {
      *id = uint16_t(field);
      return true;
    }
    uint64_t at = field & 0x7FFFFFFFu;
    if (at + 2 > size) return false;
    uint16_t n = Get16(image, base + size_t(at));
    if (at + 2 + 2u * n > size) return false;
    for (uint16_t i = 0; i < n; ++i) name->push_back(char16_t(Get16(image, base + size_t(at) + 2 + 2 * i)));
    return true;
  }

  // The entries of the directory at `at`: (name field, offset field).
  bool Entries(uint32_t at, std::vector<std::pair<uint32_t, uint32_t>>* out) {
    if (!FirstVisit(at)) return Fail("a directory is reached twice");
    if (uint64_t(at) + 16 > size) return Fail("a directory lies outside the section");
    uint32_t n = uint32_t(Get16(image, base + at + 12)) + Get16(image, base + at + 14);
    if (uint64_t(at) + 16 + 8ull * n > size) return Fail("a directory's entries lie outside the section");
    entries += n;
    if (entries > kMaxResourceEntries)
      return Fail("more than " + std::to_string(kMaxResourceEntries) + " directory entries");
    for (uint32_t i = 0; i < n; ++i)
      out->push_back({Get32(image, base + at + 16 + 8 * i), Get32(image, base + at + 20 + 8 * i)});
    return true;
  }

  // Walks the whole tree; nothing of the resources' data is copied.
  bool Read() {
    std::vector<std::pair<uint32_t, uint32_t>> types;
    if (!Entries(0, &types)) return false;
    for (auto [type_field, type_dir] : types) {
      std::vector<std::pair<uint32_t, uint32_t>> names;
      if (!(type_dir & 0x80000000u)) return Fail("a type without a directory");
      if (!Entries(type_dir & 0x7FFFFFFFu, &names)) return false;
      for (auto [name_field, name_dir] : names) {
        std::vector<std::pair<uint32_t, uint32_t>> languages;
        if (!(name_dir & 0x80000000u)) return Fail("a name without a directory");
        if (!Entries(name_dir & 0x7FFFFFFFu, &languages)) return false;
        for (auto [language, data_entry] : languages) {
          if (data_entry & 0x80000000u) return Fail("a fourth level of directories");
          if (uint64_t(data_entry) + 16 > size) return Fail("a data entry lies outside the section");
          if (!FirstVisit(data_entry)) return Fail("a data entry is reached twice");
          Resource r;
          if (!Name(type_field, &r.key.type_name, &r.key.type_id) || !Name(name_field, &r.key.name, &r.key.name_id))
            return Fail("a name lies outside the section");
          r.key.language = uint16_t(language);
          uint32_t rva = Get32(image, base + data_entry), length = Get32(image, base + data_entry + 4);
          r.code_page = Get32(image, base + data_entry + 8);
          size_t offset;
          if (!OffsetOf(layout, rva, length, &offset)) return Fail("a resource's data lies outside every section");
          if (wanted && !wanted(r.key)) continue;
          // Entries may share their data: what they claim together is held
          // to what the file itself holds, so a copy of them all never takes
          // more memory than the file already does.
          bytes += length;
          bool file_bound = image.size() < kMaxResourceBytes;
          uint64_t limit = file_bound ? image.size() : kMaxResourceBytes;
          if (bytes > limit)
            return Fail("more than " + std::to_string(limit) + " bytes of resource data" +
                        (file_bound ? ", more than the file holds" : ""));
          found->push_back({std::move(r), offset, length});
        }
      }
    }
    return true;
  }
};

// The resources `wanted` takes, found but not copied; false with a reason
// when the image or its tree is refused.
bool Locate(const std::vector<uint8_t>& image, const ResourceFilter& wanted, std::vector<Located>* found,
            std::string* error) {
  Layout layout;
  if (!ParseLayout(image, &layout, error)) return false;
  uint32_t rva = Get32(image, layout.directories + 2 * 8), size = Get32(image, layout.directories + 2 * 8 + 4);
  if (rva == 0) return true;  // no resources at all
  size_t base;
  if (!OffsetOf(layout, rva, size, &base)) {
    *error = "the resource directory lies outside every section";
    return false;
  }
  TreeReader reader{image, layout, base, size, wanted, error, found, {}, 0, 0};
  return reader.Read();
}

// Copied only once every check has passed: a tree that claims gigabytes is
// refused before any of them is copied.
void CopyLocated(const std::vector<uint8_t>& image, std::vector<Located>* found, std::vector<Resource>* resources) {
  for (Located& f : *found) {
    f.resource.data.assign(image.begin() + std::ptrdiff_t(f.offset),
                           image.begin() + std::ptrdiff_t(f.offset + f.length));
    resources->push_back(std::move(f.resource));
  }
}

// One level of the tree: entries keyed by name (or id).
struct NameKey {
  std::u16string name;
  uint16_t id;
  bool operator<(const NameKey& o) const {
    // Named entries come first, sorted; then ids, ascending.
    if (name.empty() != o.name.empty()) return !name.empty();
    return name.empty() ? id < o.id : name < o.name;
  }
};

// Builds the section's bytes for the resources, placed at `rva`; false with
// a reason when two resources share a type, a name and a language, or the
// section would not fit the format's 32-bit fields.
bool BuildTree(const std::vector<Resource>& resources, uint32_t rva, std::vector<uint8_t>* built, std::string* error) {
  std::map<NameKey, std::map<NameKey, std::map<uint16_t, const Resource*>>> tree;
  size_t leaves = 0;
  for (const Resource& r : resources) {
    const Resource*& leaf = tree[{r.key.type_name, r.key.type_id}][{r.key.name, r.key.name_id}][r.key.language];
    if (leaf != nullptr) {
      *error = "two resources of one type, name and language";
      return false;
    }
    leaf = &r;
    ++leaves;
  }

  // Sizes first: directories, then data entries, then names, then data.
  auto directory_size = [](size_t entries) { return 16 + 8 * uint64_t(entries); };
  uint64_t directories = directory_size(tree.size());
  for (auto& [type, names] : tree) {
    directories += directory_size(names.size());
    for (auto& [name, languages] : names) directories += directory_size(languages.size());
  }
  uint64_t data_entries_at = directories;
  uint64_t names_at = data_entries_at + 16 * uint64_t(leaves);
  uint64_t names_size = 0;
  auto count_name = [&names_size](const NameKey& k) {
    if (!k.name.empty()) names_size += 2 + 2 * uint64_t(k.name.size());
  };
  for (auto& [type, names] : tree) {
    count_name(type);
    for (auto& [name, languages] : names) count_name(name);
  }
  uint64_t data_at = AlignUp(names_at + names_size, 8);
  uint64_t total = data_at;
  for (const Resource& r : resources) total = AlignUp(total + r.data.size(), 8);
  if (total > kMaxResourceBytes || uint64_t(rva) + total > 0xFFFFFFFFu) {
    *error = "the resources would come to " + std::to_string(total) + " bytes, more than a resource section holds (" +
             std::to_string(kMaxResourceBytes) + ")";
    return false;
  }

  std::vector<uint8_t>& out = *built;
  out.assign(size_t(total), 0);
  uint32_t next_directory = 0, next_entry = uint32_t(data_entries_at), next_name = uint32_t(names_at),
           next_data = uint32_t(data_at);
  auto write_name = [&](const NameKey& k) -> uint32_t {
    if (k.name.empty()) return k.id;
    uint32_t at = next_name;
    Put16(out, at, uint32_t(k.name.size()));
    for (size_t i = 0; i < k.name.size(); ++i) Put16(out, at + 2 + 2 * i, k.name[i]);
    next_name += uint32_t(2 + 2 * k.name.size());
    return 0x80000000u | at;
  };
  auto open_directory = [&](size_t named, size_t ids) {
    uint32_t at = next_directory;
    Put16(out, at + 12, uint32_t(named));
    Put16(out, at + 14, uint32_t(ids));
    next_directory += directory_size(named + ids);
    return at;
  };
  auto named_count = [](const auto& level) {
    return size_t(std::count_if(level.begin(), level.end(), [](const auto& e) { return !e.first.name.empty(); }));
  };
  // Breadth by level keeps each directory's entries together.
  uint32_t root = open_directory(named_count(tree), tree.size() - named_count(tree));
  size_t type_index = 0;
  for (auto& [type, names] : tree) {
    uint32_t type_dir = open_directory(named_count(names), names.size() - named_count(names));
    Put32(out, root + 16 + 8 * type_index, write_name(type));
    Put32(out, root + 20 + 8 * type_index, 0x80000000u | type_dir);
    ++type_index;
    size_t name_index = 0;
    for (auto& [name, languages] : names) {
      uint32_t language_dir = open_directory(0, languages.size());
      Put32(out, type_dir + 16 + 8 * name_index, write_name(name));
      Put32(out, type_dir + 20 + 8 * name_index, 0x80000000u | language_dir);
      ++name_index;
      size_t language_index = 0;
      for (auto& [language, resource] : languages) {
        Put32(out, language_dir + 16 + 8 * language_index, language);
        Put32(out, language_dir + 20 + 8 * language_index, next_entry);
        ++language_index;
        Put32(out, next_entry, rva + next_data);
        Put32(out, next_entry + 4, uint32_t(resource->data.size()));
        Put32(out, next_entry + 8, resource->code_page);
        next_entry += 16;
        if (!resource->data.empty()) memcpy(out.data() + next_data, resource->data.data(), resource->data.size());
        next_data = uint32_t(AlignUp(next_data + uint64_t(resource->data.size()), 8));
      }
    }
  }
  return true;
}

uint32_t Checksum(const std::vector<uint8_t>& image, size_t checksum_at) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i == checksum_at || i == checksum_at + 2) continue;
    uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + image.size());
}

}  // namespace

bool ReadResources(const std::vector<uint8_t>& image, std::vector<Resource>* resources, std::string* error,
                   const ResourceFilter& wanted) {
  std::vector<Located> found;
  if (!Locate(image, wanted, &found, error)) return false;
  CopyLocated(image, &found, resources);
  return true;
}

bool ReadUpdateResources(const std::vector<uint8_t>& image, uint16_t payload_id, uint16_t checksum_id,
                         std::vector<Resource>* resources, std::string* error) {
  auto ours = [=](const ResourceKey& k) {
    return k.type_name == kUpdateResourceType && k.name.empty() &&
           (k.name_id == payload_id || k.name_id == checksum_id);
  };
  std::vector<Located> found;
  if (!Locate(image, ours, &found, error)) return false;
  // At most one of each, before anything is copied: thousands of languages
  // over one blob would otherwise be copied as many times.
  int seen[2] = {0, 0};
  for (const Located& f : found) {
    if (++seen[f.resource.key.name_id == payload_id ? 0 : 1] > 1) {
      *error = "resource UPDATE/" + std::to_string(f.resource.key.name_id) +
               " is there in more than one language; the updater would load only one of them";
      return false;
    }
  }
  CopyLocated(image, &found, resources);
  return true;
}

bool ReplaceResources(std::vector<uint8_t>* image_in, const std::vector<Resource>& put,
                      const std::vector<ResourceKey>& drop, std::string* error) {
  std::vector<uint8_t>& image = *image_in;
  std::vector<Resource> resources;
  if (!ReadResources(image, &resources, error)) return false;
  auto same = [](const ResourceKey& a, const ResourceKey& k) {
    return a.type_name == k.type_name && a.type_id == k.type_id && a.name == k.name && a.name_id == k.name_id;
  };
  auto replaced = [&](const Resource& r) {
    return std::any_of(put.begin(), put.end(), [&](const Resource& p) { return same(r.key, p.key); }) ||
           std::any_of(drop.begin(), drop.end(), [&](const ResourceKey& k) { return same(r.key, k); });
  };
  resources.erase(std::remove_if(resources.begin(), resources.end(), replaced), resources.end());
  resources.insert(resources.end(), put.begin(), put.end());

  Layout layout;
  if (!ParseLayout(image, &layout, error)) return false;
  uint32_t resource_rva = Get32(image, layout.directories + 16);
  auto rsrc = std::find_if(layout.sections.begin(), layout.sections.end(),
                           [&](const Section& s) { return s.rva == resource_rva; });
  if (rsrc == layout.sections.end() || rsrc->raw_size == 0) {
    *error = "the resources are not a section of their own";
    return false;
  }
  if (Get32(image, layout.pe + 12) != 0) {
    *error = "the executable carries a symbol table; give a stripped one";
    return false;
  }
  // Sections after the resources must be ones that nothing addresses by
  // position: the base relocations (found through their directory) and
  // debug information.
  size_t first_after = size_t(rsrc - layout.sections.begin()) + 1;
  uint32_t relocation_rva = Get32(image, layout.directories + 5 * 8);
  for (size_t i = first_after; i < layout.sections.size(); ++i) {
    char name[9] = {};
    memcpy(name, &image[layout.sections[i].header], 8);
    bool movable = layout.sections[i].rva == relocation_rva || strncmp(name, ".debug", 6) == 0 || name[0] == '/';
    if (!movable) {
      *error = std::string("the section ") + name + " after the resources cannot be moved";
      return false;
    }
  }
  if (Get32(image, layout.directories + 6 * 8) != 0) {
    // A debug directory holds file offsets; the updater is built without one.
    uint32_t debug_rva = Get32(image, layout.directories + 6 * 8);
    if (debug_rva >= rsrc->rva) {
      *error = "a debug directory after the resources cannot be moved";
      return false;
    }
  }
  std::vector<uint8_t> tree;
  if (!BuildTree(resources, rsrc->rva, &tree, error)) return false;

  // Everything up to the resource section stays as it is (the headers lie
  // before it); then the new section, then the moved sections, each
  // realigned. Places are 64-bit until they are known to fit their fields.
  std::vector<uint8_t> out(image.begin(), image.begin() + std::ptrdiff_t(rsrc->raw_offset));
  uint64_t raw = AlignUp(tree.size(), layout.file_alignment);
  out.insert(out.end(), tree.begin(), tree.end());
  out.resize(out.size() + size_t(raw - tree.size()), 0);
  Put32(out, rsrc->header + 8, uint32_t(tree.size()));
  Put32(out, rsrc->header + 16, uint32_t(raw));
  Put32(out, layout.directories + 2 * 8 + 4, uint32_t(tree.size()));
  uint64_t next_rva = AlignUp(rsrc->rva + uint64_t(tree.size()), layout.section_alignment);
  for (size_t i = first_after; i < layout.sections.size(); ++i) {
    const Section& s = layout.sections[i];
    uint64_t offset = out.size();
    out.insert(out.end(), image.begin() + std::ptrdiff_t(s.raw_offset),
               image.begin() + std::ptrdiff_t(s.raw_offset + s.raw_size));
    out.resize(size_t(AlignUp(out.size(), layout.file_alignment)), 0);
    if (next_rva > 0xFFFFFFFFu || out.size() > 0xFFFFFFFFu) break;  // refused below
    Put32(out, s.header + 12, uint32_t(next_rva));
    Put32(out, s.header + 20, s.raw_size ? uint32_t(offset) : 0);
    if (s.rva == relocation_rva) Put32(out, layout.directories + 5 * 8, uint32_t(next_rva));
    next_rva = AlignUp(next_rva + std::max(s.virtual_size, s.raw_size), layout.section_alignment);
  }
  if (next_rva > 0xFFFFFFFFu || out.size() > 0xFFFFFFFFu) {
    *error = "the rewritten image would not fit the format's 32-bit sizes";
    return false;
  }
  Put32(out, layout.optional + 56, uint32_t(next_rva));  // SizeOfImage
  Put32(out, layout.directories + 4 * 8, 0);             // no certificate: it would not match
  Put32(out, layout.directories + 4 * 8 + 4, 0);
  Put32(out, layout.optional + 64, 0);
  Put32(out, layout.optional + 64, Checksum(out, layout.optional + 64));
  image = std::move(out);
  return true;
}
