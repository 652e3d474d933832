#include "archive/file_output.h"

#include <cstring>

#include "common/text.h"
#include "platform/platform.h"

PlatformFile WriteBufferBeside(const char* path, const void* data, uint32_t size, const uint64_t* time, char* temp) {
  PlatformFile file = Os->CreateTempFileBeside(path, temp);
  if (file == nullptr) return nullptr;
  // SetFileTime is not attempted once the write has failed. The times go on
  // the temporary file first, so that a failure leaves the destination as it
  // was; the commit sets them again on the final file (a name that a file
  // had a moment ago may otherwise hand the new one its old creation time).
  // The bytes reach the disk before the file takes the destination's place:
  // a power cut right after the update never leaves an empty file.
  int ok = Os->WriteFileBytes(file, data, size);
  if (ok && time != nullptr) ok = Os->SetFileTimes(file, *time);
  if (ok) ok = Os->FlushFile(file);
  if (ok) return file;
  Os->CloseFile(file);
  Os->RemoveFile(temp);
  return nullptr;
}

int WriteBufferToFile(const char* path, const void* data, uint32_t size, const uint64_t* time) {
  char temp[kPlatformTextSize];
  PlatformFile file = WriteBufferBeside(path, data, size, time, temp);
  if (file == nullptr) return 0;
  if (Os->CommitFile(file, temp, path, time)) return 1;
  Os->RemoveFile(temp);
  return 0;
}

int QueryFreeSpace(const char* root, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free) {
  uint64_t f = 0, t = 0, tf = 0;
  if (!Os->FreeSpace(root, &f, &t, &tf)) return 0;
  *free_to_caller = f;
  *total = t;
  if (total_free) *total_free = tf;
  return 1;
}
