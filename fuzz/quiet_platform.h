// The native platform for fuzzing: message boxes show nothing, and every
// file opened for reading is one buffer in memory.
#pragma once

#include <cstddef>
#include <cstdint>

void UseQuietPlatform();
// Makes `bytes` the content of every file read from now on.
void SetMemoryFile(const uint8_t* bytes, size_t size);
