// The profile reader and the list tokenizer on arbitrary INI bytes: every
// value read must fit its buffer, and splitting it must end within it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/update_state.h"
#include "settings/profile_reader.h"
#include "settings/settings_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the destination size; the rest is the file.
  uint32_t capacity = 1 + data[0] * 5;
  std::vector<char> file(data + 1, data + size);
  static const char* const keys[][2] = {
      {"SETUP", "GameTitle"}, {"UPDATE", "UpdateFile00"}, {"", "A"}, {"SETUP", "SetupBmp"}, {"x", "y"}};
  for (auto& k : keys) {
    std::vector<char> value(capacity);
    uint32_t n = ReadProfileBytes(file.data(), uint32_t(file.size()), k[0], k[1], value.data(), capacity);
    if (n >= capacity || value[n] != '\0' || strlen(value.data()) != n) __builtin_trap();
    const char* cursor = value.data();
    char slot[kListSlotSize];
    int items = 0;
    while (NextListToken(slot, &cursor)) {
      if (cursor < value.data() || cursor > value.data() + n || strlen(slot) >= kListSlotSize) __builtin_trap();
      if (++items > int(capacity)) __builtin_trap();
    }
  }
  return 0;
}
