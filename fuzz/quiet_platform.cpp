#include "fuzz/quiet_platform.h"

#include <cstring>

#include "platform/platform.h"

namespace {

const uint8_t* g_bytes = nullptr;
size_t g_size = 0;
size_t g_position = 0;
int g_token;

int NoBox(PlatformWindow, const char*, const char*, uint32_t) { return kAnswerOk; }

PlatformFile OpenMemory(const char*) {
  g_position = 0;
  return &g_token;
}

int MemorySize(PlatformFile, uint32_t* size) {
  *size = uint32_t(g_size);
  return 1;
}

int ReadMemory(PlatformFile, void* data, uint32_t size, uint32_t* read) {
  size_t n = g_size - g_position < size ? g_size - g_position : size;
  if (n > 0) memcpy(data, g_bytes + g_position, n);
  g_position += n;
  *read = uint32_t(n);
  return 1;
}

void CloseMemory(PlatformFile) {}

}  // namespace

void UseQuietPlatform() {
  static PlatformApi quiet = *NativePlatform();
  quiet.ShowMessageBox = NoBox;
  Os = &quiet;
}

void SetMemoryFile(const uint8_t* bytes, size_t size) {
  static PlatformApi memory = *NativePlatform();
  memory.ShowMessageBox = NoBox;
  memory.OpenFileForRead = OpenMemory;
  memory.FileSize = MemorySize;
  memory.ReadFileBytes = ReadMemory;
  memory.CloseFile = CloseMemory;
  Os = &memory;
  g_bytes = bytes;
  g_size = size;
}
