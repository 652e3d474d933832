// Rewrites the resource section of a PE executable: every resource it holds
// is kept and one is added or replaced. The section is rebuilt whole; any
// sections after it that nothing addresses by position (base relocations,
// debug information) move along, the headers are updated, the checksum is
// recomputed, and an old signature, which could no longer be valid, is
// dropped, so that the result can be signed again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The type name of the update's resources (UPDATE/102, UPDATE/103).
inline constexpr char16_t kUpdateResourceType[] = u"UPDATE";

struct ResourceKey {
  std::u16string type_name;  // empty: the type is `type_id`
  uint16_t type_id = 0;
  std::u16string name;  // empty: the name is `name_id`
  uint16_t name_id = 0;
  uint16_t language = 0;
};

struct Resource {
  ResourceKey key;
  std::vector<uint8_t> data;
  uint32_t code_page = 0;
};

// Which resources to copy out of an image; none: every one.
typedef std::function<bool(const ResourceKey&)> ResourceFilter;

// The resources of an executable image (those `wanted` takes); false with a
// one-line reason for a file that is no PE image a loader would take, or
// whose resource tree cannot be read. Whatever the file holds, the reading
// takes bounded time and memory: headers that do not lie before the first
// section, sections that overlap or are out of order, alignments outside the
// PE format's ranges (FileAlignment a power of two from 512 to 64 KiB, or
// equal to a SectionAlignment below 4 KiB; SectionAlignment a power of two
// from FileAlignment to 256 MiB), more than 96 sections, a resource
// directory or data entry reached twice, more than 16,384 directory entries
// in the tree, and resource data that adds up to more than the file itself
// holds (entries may share their data) or than 2 GiB - 1 are refused, all
// before any data is copied.
bool ReadResources(const std::vector<uint8_t>& image, std::vector<Resource>* resources, std::string* error,
                   const ResourceFilter& wanted = nullptr);

// The resources UPDATE/`payload_id` and UPDATE/`checksum_id` of an image,
// and no other resource copied; false with a reason, nothing copied, when
// either is there in more than one language (which one the updater loads
// depends on the system's language) or ReadResources refuses the image.
bool ReadUpdateResources(const std::vector<uint8_t>& image, uint16_t payload_id, uint16_t checksum_id,
                         std::vector<Resource>* resources, std::string* error);

// `image` with every resource of the same type and name as one of `put` (in
// any language) replaced by it, and every one of the types and names in
// `drop` removed. Refused with a reason, `image` unchanged: whatever
// ReadResources refuses, and a result whose sizes would not fit the format's
// 32-bit fields.
bool ReplaceResources(std::vector<uint8_t>* image, const std::vector<Resource>& put,
                      const std::vector<ResourceKey>& drop, std::string* error);
