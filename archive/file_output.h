// File output helpers shared by the archive and the update flow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Creates or replaces the file at `path` with `size` bytes of `data`, and when
// `time` is given makes it the file's creation, last-access and last-write
// time. The bytes go to a temporary file beside the destination, which
// replaces the destination only once everything is written: on failure the
// destination keeps its old content (or stays absent) and no temporary file
// is left behind. Returns 1 on success, 0 on failure; shows nothing.
int WriteBufferToFile(const char* path, const void* data, uint32_t size, const uint64_t* time);

// The first half of WriteBufferToFile: the bytes in a new temporary file
// beside `path` (its path into `temp`, kPlatformTextSize bytes), with the
// time, flushed to the disk; the file, still open, for its caller to put in
// place. None on failure, with nothing left behind.
PlatformFile WriteBufferBeside(const char* path, const void* data, uint32_t size, const uint64_t* time, char* temp);

// The free space of the drive `root` (such as "C:"), as the platform's query
// tells it (the 64-bit query where the system has it, else the cluster-based
// one). Returns nonzero on success; on failure the three places are left
// unchanged. `total_free` may be null. The updater
// reads only `free_to_caller` (the disk-space test, each entry's test); the
// volume's size and its free space for every user are filled all the same,
// as the system's query gives them.
int QueryFreeSpace(const char* root, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free);
