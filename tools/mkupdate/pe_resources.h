// Rewrites the resource section of a PE executable: every resource it holds
// is kept and one is added or replaced. The section is rebuilt whole; any
// sections after it that nothing addresses by position (base relocations,
// debug information) move along, the headers are updated, the checksum is
// recomputed, and an old signature, which could no longer be valid, is
// dropped, so that the result can be signed again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// The resources of an executable image; false with a reason for a file that
// is no PE image or whose resource section cannot be read.
bool ReadResources(const std::vector<uint8_t>& image, std::vector<Resource>* resources, std::string* error);

// `image` with every resource of the same type and name as one of `put` (in
// any language) replaced by it, and every one of the types and names in
// `drop` removed.
bool ReplaceResources(std::vector<uint8_t>* image, const std::vector<Resource>& put,
                      const std::vector<ResourceKey>& drop, std::string* error);
