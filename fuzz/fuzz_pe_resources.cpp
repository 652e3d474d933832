// mkupdate's PE reader and resource writer on any file taken as a template:
// reading never touches memory outside the file and ends in bounded time and
// memory; a template it rewrites reads back with the update's resources in
// place and every other resource kept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tools/mkupdate/pe_resources.h"

namespace {

Resource Update(uint16_t id, std::vector<uint8_t> data) {
  Resource r;
  r.key.type_name = u"UPDATE";
  r.key.name_id = id;
  r.data = std::move(data);
  return r;
}

bool SameKey(const ResourceKey& a, const ResourceKey& b) {
  return a.type_name == b.type_name && a.type_id == b.type_id && a.name == b.name && a.name_id == b.name_id &&
         a.language == b.language;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);  // exact-size copy: ASan sees any overrun
  std::vector<Resource> before;
  std::string error;
  if (!ReadResources(image, &before, &error)) return 0;
  std::vector<Resource> found;
  ReadUpdateResources(image, 102, 103, &found, &error);
  std::vector<Resource> put = {Update(102, {'F', 'A', '2', 0, 1, 2, 3}), Update(103, {9, 8, 7})};
  if (!ReplaceResources(&image, put, {}, &error)) return 0;
  std::vector<Resource> after;
  if (!ReadResources(image, &after, &error)) abort();  // what it wrote, it must read
  found.clear();
  if (!ReadUpdateResources(image, 102, 103, &found, &error) || found.size() != 2) abort();
  for (const Resource& r : found) {
    if (r.data != (r.key.name_id == 102 ? put[0].data : put[1].data)) abort();
  }
  // Every other resource of the template survives, bytes and all.
  for (const Resource& old : before) {
    if (old.key.type_name == u"UPDATE" && old.key.name.empty() && (old.key.name_id == 102 || old.key.name_id == 103))
      continue;
    bool kept = false;
    for (const Resource& r : after) kept = kept || (SameKey(r.key, old.key) && r.data == old.data);
    if (!kept) abort();
  }
  return 0;
}
