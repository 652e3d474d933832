#include "common/update_state.h"

#include <cstring>
#include <initializer_list>

#include "common/text.h"

static UpdateStateData InitialState() {
  UpdateStateData s{};
  CopyText(s.UpdaterCaption, sizeof s.UpdaterCaption, "UPDATE");
  s.ReportMissingKeys = 1;
  return s;
}

UpdateStateData UpdateState = InitialState();

int AppendToList(GrowingList* list, const void* bytes, uint32_t size) {
  constexpr uint64_t kMostBytes = 1u << 30;
  uint64_t need = uint64_t(list->Size) + size;
  if (need > kMostBytes) return 0;
  if (need > list->Room) {
    uint64_t room = list->Room ? list->Room : 4096;
    while (room < need) room *= 2;
    uint8_t* bigger = static_cast<uint8_t*>(Os->Alloc(uint32_t(room), 0));
    if (bigger == nullptr) return 0;
    if (list->Bytes != nullptr) {
      memcpy(bigger, list->Bytes, list->Size);
      Os->Free(list->Bytes);
    }
    list->Bytes = bigger;
    list->Room = uint32_t(room);
  }
  if (size > 0) memcpy(list->Bytes + list->Size, bytes, size);
  list->Size += size;
  ++list->Count;
  return 1;
}

int AppendTextToList(GrowingList* list, const char* text) {
  return AppendToList(list, text, uint32_t(strlen(text) + 1));
}

const char* NextTextOfList(const GrowingList& list, uint32_t* at) {
  if (*at >= list.Size) return nullptr;
  const char* text = reinterpret_cast<const char*>(list.Bytes + *at);
  *at += uint32_t(strlen(text) + 1);
  return text;
}

void ClearList(GrowingList* list) {
  if (list->Bytes != nullptr) Os->Free(list->Bytes);
  *list = {};
}

void ResetUpdateState() {
  for (GrowingList* list : {&UpdateState.Pending, &UpdateState.FoldersMade, &UpdateState.PendingTouches,
                            &UpdateState.PendingWritable, &UpdateState.PendingRemovals})
    ClearList(list);
  for (void* block : {static_cast<void*>(UpdateState.UpdateItems), static_cast<void*>(UpdateState.AgreementTextBlock),
                      static_cast<void*>(UpdateState.AgreementTitleBlock)})
    if (block != nullptr) Os->Free(block);
  UpdateState = InitialState();
}
