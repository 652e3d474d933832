// A platform table for tests: it passes every call to the real platform of
// the build and can inject the faults that a real system rarely produces
// (failed allocations, writes and time stamps, a missing 64-bit free-space
// query, a chosen free-space figure). It records every message box.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

struct RecordedBox {
  PlatformWindow owner;
  std::string text;
  std::string caption;
  uint32_t kind;
};

struct FakePlatform {
  // Faults. A count of -1 means never; n means after n successful calls.
  int allocs_before_failure = -1;
  bool fail_write = false;        // WriteFileBytes writes half, then fails
  bool fail_set_times = false;
  bool fail_replace = false;
  bool no_free_space_ex = false;  // the 64-bit query is not found
  bool free_space_ex_fails = false;
  bool clusters_fail = false;
  // When set, the 64-bit query reports these figures for every root.
  bool fixed_free_space = false;
  uint64_t free_bytes = 0;
  uint64_t total_bytes = 0;
  // Figures of the cluster-based query when the real one is not wanted.
  bool fixed_clusters = false;
  uint32_t sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
  // Answers of message boxes, in order; kAnswerOk once they run out.
  std::vector<int> answers;

  // What happened.
  std::vector<RecordedBox> boxes;
  std::vector<std::string> roots_asked;  // roots given to the free-space queries
  int find_free_space_calls = 0;
  int allocs = 0;
  int frees = 0;
};

// Points Os at a fake that starts with no faults, and returns it.
FakePlatform& InstallFakePlatform();
// Points Os back at the native platform.
void RemoveFakePlatform();
