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
#include <cstring>
#include <map>

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
uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// Places in the headers of a PE image.
constexpr size_t kPeHeaderOffsetAt = 0x3C;  // in the MZ header: where "PE\0\0" is
constexpr size_t kSectionCountAt = 6;       // from "PE\0\0": the COFF header's NumberOfSections
constexpr size_t kOptionalSizeAt = 20;      // SizeOfOptionalHeader
constexpr size_t kOptionalHeaderAt = 24;    // after the signature and the COFF header
constexpr size_t kSectionAlignmentAt = 32;  // in the optional header
constexpr size_t kFileAlignmentAt = 36;
constexpr size_t kSectionHeaderSize = 40;

struct Section {
  size_t header;  // offset of its 40-byte header
  uint32_t virtual_size, rva, raw_size, raw_offset;
};

struct Layout {
  size_t pe, optional, sections_at, directories;
  uint32_t section_alignment, file_alignment;
  std::vector<Section> sections;
};

bool ParseLayout(const std::vector<uint8_t>& image, Layout* layout, std::string* error) {
  auto fail = [error](const char* why) {
    *error = why;
    return false;
  };
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return fail("not an executable (no MZ header)");
  layout->pe = Get32(image, kPeHeaderOffsetAt);
  if (layout->pe + 24 > image.size() || memcmp(&image[layout->pe], "PE\0\0", 4) != 0)
    return fail("not a PE executable");
  uint16_t count = Get16(image, layout->pe + kSectionCountAt);
  uint16_t optional_size = Get16(image, layout->pe + kOptionalSizeAt);
  layout->optional = layout->pe + kOptionalHeaderAt;
  if (layout->optional + optional_size > image.size() || optional_size < 96) return fail("truncated optional header");
  uint16_t magic = Get16(image, layout->optional);
  if (magic != 0x10B && magic != 0x20B) return fail("unknown optional header");
  layout->directories = layout->optional + (magic == 0x10B ? 96 : 112);
  if (layout->directories + 16 * 8 > layout->optional + optional_size) return fail("too few data directories");
  layout->section_alignment = Get32(image, layout->optional + kSectionAlignmentAt);
  layout->file_alignment = Get32(image, layout->optional + kFileAlignmentAt);
  if (layout->section_alignment == 0 || layout->file_alignment == 0) return fail("bad alignment");
  layout->sections_at = layout->optional + optional_size;
  if (layout->sections_at + size_t(count) * kSectionHeaderSize > image.size()) return fail("truncated section table");
  for (uint16_t i = 0; i < count; ++i) {
    size_t h = layout->sections_at + size_t(i) * kSectionHeaderSize;
    layout->sections.push_back(
        {h, Get32(image, h + 8), Get32(image, h + 12), Get32(image, h + 16), Get32(image, h + 20)});
    const Section& s = layout->sections.back();
    if (uint64_t(s.raw_offset) + s.raw_size > image.size()) return fail("a section lies beyond the end of the file");
  }
  return true;
}

// Translates an RVA into a file offset; false when no section holds it.
bool OffsetOf(const Layout& layout, uint32_t rva, uint32_t size, size_t* offset) {
  for (const Section& s : layout.sections) {
    if (rva >= s.rva && uint64_t(rva) + size <= uint64_t(s.rva) + std::max(s.virtual_size, s.raw_size) &&
        uint64_t(rva - s.rva) + size <= s.raw_size) {
      *offset = s.raw_offset + (rva - s.rva);
      return true;
    }
  }
  return false;
}

struct TreeReader {
  const std::vector<uint8_t>& image;
  const Layout& layout;
  size_t base;  // file offset of the resource section's start
  uint32_t size;
  std::string* error;

  bool Name(uint32_t field, std::u16string* name, uint16_t* id) {
    if (!(field & 0x80000000u)) {
      *id = uint16_t(field);
      return true;
    }
    uint32_t at = field & 0x7FFFFFFFu;
    if (at + 2 > size) return false;
    uint16_t n = Get16(image, base + at);
    if (at + 2 + 2u * n > size) return false;
    for (uint16_t i = 0; i < n; ++i) name->push_back(char16_t(Get16(image, base + at + 2 + 2 * i)));
    return true;
  }

  // The entries of the directory at `at`: (name field, offset field).
  bool Entries(uint32_t at, std::vector<std::pair<uint32_t, uint32_t>>* out) {
    if (at + 16 > size) return false;
    uint32_t n = uint32_t(Get16(image, base + at + 12)) + Get16(image, base + at + 14);
    if (at + 16 + 8ull * n > size) return false;
    for (uint32_t i = 0; i < n; ++i)
      out->push_back({Get32(image, base + at + 16 + 8 * i), Get32(image, base + at + 20 + 8 * i)});
    return true;
  }

  bool Read(std::vector<Resource>* resources) {
    std::vector<std::pair<uint32_t, uint32_t>> types;
    if (!Entries(0, &types)) return false;
    for (auto [type_field, type_dir] : types) {
      std::vector<std::pair<uint32_t, uint32_t>> names;
      if (!(type_dir & 0x80000000u) || !Entries(type_dir & 0x7FFFFFFFu, &names)) return false;
      for (auto [name_field, name_dir] : names) {
        std::vector<std::pair<uint32_t, uint32_t>> languages;
        if (!(name_dir & 0x80000000u) || !Entries(name_dir & 0x7FFFFFFFu, &languages)) return false;
        for (auto [language, data_entry] : languages) {
          if ((data_entry & 0x80000000u) || data_entry + 16 > size) return false;
          Resource r;
          if (!Name(type_field, &r.key.type_name, &r.key.type_id) || !Name(name_field, &r.key.name, &r.key.name_id))
            return false;
          r.key.language = uint16_t(language);
          uint32_t rva = Get32(image, base + data_entry), length = Get32(image, base + data_entry + 4);
          r.code_page = Get32(image, base + data_entry + 8);
          size_t offset;
          if (!OffsetOf(layout, rva, length, &offset)) return false;
          r.data.assign(image.begin() + long(offset), image.begin() + long(offset + length));
          resources->push_back(std::move(r));
        }
      }
    }
    return true;
  }
};

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

// Builds the section's bytes for the resources, placed at `rva`.
std::vector<uint8_t> BuildTree(const std::vector<Resource>& resources, uint32_t rva) {
  std::map<NameKey, std::map<NameKey, std::map<uint16_t, const Resource*>>> tree;
  for (const Resource& r : resources)
    tree[{r.key.type_name, r.key.type_id}][{r.key.name, r.key.name_id}][r.key.language] = &r;

  // Sizes first: directories, then data entries, then names, then data.
  auto directory_size = [](size_t entries) { return uint32_t(16 + 8 * entries); };
  uint32_t directories = directory_size(tree.size());
  size_t leaves = 0;
  for (auto& [type, names] : tree) {
    directories += directory_size(names.size());
    for (auto& [name, languages] : names) {
      directories += directory_size(languages.size());
      leaves += languages.size();
    }
  }
  uint32_t data_entries_at = directories;
  uint32_t names_at = data_entries_at + uint32_t(16 * leaves);
  uint32_t names_size = 0;
  auto count_name = [&names_size](const NameKey& k) {
    if (!k.name.empty()) names_size += uint32_t(2 + 2 * k.name.size());
  };
  for (auto& [type, names] : tree) {
    count_name(type);
    for (auto& [name, languages] : names) count_name(name);
  }
  uint32_t data_at = AlignUp(names_at + names_size, 8);
  uint32_t total = data_at;
  for (const Resource& r : resources) total = AlignUp(total + uint32_t(r.data.size()), 8);

  std::vector<uint8_t> out(total, 0);
  uint32_t next_directory = 0, next_entry = data_entries_at, next_name = names_at, next_data = data_at;
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
        memcpy(out.data() + next_data, resource->data.data(), resource->data.size());
        next_data = AlignUp(next_data + uint32_t(resource->data.size()), 8);
      }
    }
  }
  return out;
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

bool ReadResources(const std::vector<uint8_t>& image, std::vector<Resource>* resources, std::string* error) {
  Layout layout;
  if (!ParseLayout(image, &layout, error)) return false;
  uint32_t rva = Get32(image, layout.directories + 2 * 8), size = Get32(image, layout.directories + 2 * 8 + 4);
  if (rva == 0) return true;  // no resources at all
  size_t base;
  if (!OffsetOf(layout, rva, size, &base)) {
    *error = "the resource directory lies outside every section";
    return false;
  }
  TreeReader reader{image, layout, base, size, error};
  if (!reader.Read(resources)) {
    *error = "the resource section is damaged";
    return false;
  }
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
  ParseLayout(image, &layout, error);
  uint32_t resource_rva = Get32(image, layout.directories + 16);
  auto rsrc = std::find_if(layout.sections.begin(), layout.sections.end(),
                           [&](const Section& s) { return s.rva == resource_rva; });
  if (rsrc == layout.sections.end()) {
    *error = "the resources are not a section of their own";
    return false;
  }
  if (Get32(image, layout.pe + 12) != 0) {
    *error = "the executable carries a symbol table; give a stripped one";
    return false;
  }
  for (auto s = layout.sections.begin(); s != rsrc; ++s) {
    if (s->raw_size && s->raw_offset + s->raw_size > rsrc->raw_offset) {
      *error = "the sections are not in file order";
      return false;
    }
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
  std::vector<uint8_t> tree = BuildTree(resources, rsrc->rva);

  // Everything up to the resource section stays as it is; then the new
  // section, then the moved sections, each realigned.
  std::vector<uint8_t> out(image.begin(), image.begin() + long(rsrc->raw_offset));
  uint32_t raw = AlignUp(uint32_t(tree.size()), layout.file_alignment);
  out.insert(out.end(), tree.begin(), tree.end());
  out.resize(out.size() + (raw - tree.size()), 0);
  Put32(out, rsrc->header + 8, uint32_t(tree.size()));
  Put32(out, rsrc->header + 16, raw);
  Put32(out, layout.directories + 2 * 8 + 4, uint32_t(tree.size()));
  uint32_t next_rva = AlignUp(rsrc->rva + uint32_t(tree.size()), layout.section_alignment);
  for (size_t i = first_after; i < layout.sections.size(); ++i) {
    const Section& s = layout.sections[i];
    uint32_t offset = uint32_t(out.size());
    out.insert(out.end(), image.begin() + long(s.raw_offset), image.begin() + long(s.raw_offset + s.raw_size));
    out.resize(AlignUp(uint32_t(out.size()), layout.file_alignment), 0);
    Put32(out, s.header + 12, next_rva);
    Put32(out, s.header + 20, s.raw_size ? offset : 0);
    if (s.rva == relocation_rva) Put32(out, layout.directories + 5 * 8, next_rva);
    next_rva = AlignUp(next_rva + std::max(s.virtual_size, s.raw_size), layout.section_alignment);
  }
  Put32(out, layout.optional + 56, next_rva);  // SizeOfImage
  Put32(out, layout.directories + 4 * 8, 0);   // no certificate: it would not match
  Put32(out, layout.directories + 4 * 8 + 4, 0);
  Put32(out, layout.optional + 64, 0);
  Put32(out, layout.optional + 64, Checksum(out, layout.optional + 64));
  image = std::move(out);
  return true;
}
