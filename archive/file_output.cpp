#include "archive/file_output.h"

#include <cstring>

#include "common/text.h"
#include "common/update_state.h"
#include "platform/platform.h"

// All or nothing: the file written and flushed beside its target, kept for
// the end of the run. A second line with the same target takes the first
// one's place.
static int DeferFile(PlatformFile file, const char* temp, const char* path, const uint64_t* time) {
  Os->CloseFile(file);
  PendingFile* pending = nullptr;
  for (int i = 0; i < UpdateState.PendingCount; ++i)
    if (strcmp(UpdateState.Pending[i].Target, path) == 0) pending = &UpdateState.Pending[i];
  if (pending != nullptr) {
    Os->RemoveFile(pending->Temp);
  } else if (UpdateState.PendingCount < kListLines) {
    pending = &UpdateState.Pending[UpdateState.PendingCount++];
  } else {
    Os->RemoveFile(temp);
    return 0;
  }
  CopyText(pending->Temp, sizeof pending->Temp, temp);
  CopyText(pending->Target, sizeof pending->Target, path);
  pending->HasTime = time != nullptr;
  pending->Time = time != nullptr ? *time : 0;
  return 1;
}

int WriteBufferToFile(const char* path, const void* data, uint32_t size, const uint64_t* time) {
  char temp[kLongTextSize];
  PlatformFile file = Os->CreateTempFileBeside(path, temp);
  if (file == nullptr) return 0;
  // SetFileTime is not attempted once the write has failed. The times go on
  // the temporary file first, so that a failure leaves the destination as it
  // was; the commit sets them again on the final file (a name that a file
  // had a moment ago may otherwise hand the new one its old creation time).
  // The bytes reach the disk before the file takes the destination's place:
  // a power cut right after the update never leaves an empty file.
  int ok = Os->WriteFileBytes(file, data, size);
  if (ok && time != nullptr) ok = Os->SetFileTimes(file, *time);
  if (ok) ok = Os->FlushFile(file);
  if (ok && UpdateState.Deferring) return DeferFile(file, temp, path, time);
  if (ok) {
    ok = Os->CommitFile(file, temp, path, time);
  } else {
    Os->CloseFile(file);
  }
  if (!ok) Os->RemoveFile(temp);
  return ok ? 1 : 0;
}

int QueryFreeSpace(const char* root, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free) {
  // The entry point is looked up once it exists; a missing one is looked for
  // again on every call.
  if (UpdateState.FreeSpaceEntryPoint == nullptr) UpdateState.FreeSpaceEntryPoint = Os->FindFreeSpaceEx();
  if (UpdateState.FreeSpaceEntryPoint != nullptr) {
    uint64_t f = 0, t = 0, tf = 0;
    if (Os->CallFreeSpaceEx(UpdateState.FreeSpaceEntryPoint, root, &f, &t, &tf)) {
      *free_to_caller = f;
      *total = t;
      if (total_free) *total_free = tf;
      return 1;
    }
  }
  uint32_t sectors = 0, bytes = 0, free_clusters = 0, clusters = 0;
  if (!Os->FreeSpaceByClusters(root, &sectors, &bytes, &free_clusters, &clusters)) return 0;
  uint32_t cluster = sectors * bytes;  // a 32-bit product, as the query defines it
  *free_to_caller = uint64_t(free_clusters) * cluster;
  *total = uint64_t(clusters) * cluster;
  if (total_free) *total_free = *free_to_caller;
  return 1;
}
