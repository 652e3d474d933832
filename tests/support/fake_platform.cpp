#include "tests/support/fake_platform.h"

namespace {

FakePlatform g_fake;
const PlatformApi* Real() { return NativePlatform(); }

void* FakeAlloc(uint32_t size, int zero) {
  if (g_fake.allocs_before_failure == 0) return nullptr;
  if (g_fake.allocs_before_failure > 0) --g_fake.allocs_before_failure;
  ++g_fake.allocs;
  return Real()->Alloc(size, zero);
}

void FakeFree(void* block) {
  ++g_fake.frees;
  Real()->Free(block);
}

int FakeWrite(PlatformFile file, const void* data, uint32_t size) {
  if (g_fake.fail_write) {
    Real()->WriteFileBytes(file, data, size / 2);
    return 0;
  }
  return Real()->WriteFileBytes(file, data, size);
}

int FakeSetTimes(PlatformFile file, uint64_t time) {
  return g_fake.fail_set_times ? 0 : Real()->SetFileTimes(file, time);
}

int FakeMoveOver(const char* from, const char* to) { return g_fake.fail_replace ? 0 : Real()->MoveFileOver(from, to); }

int g_fixed_entry;

FreeSpaceEntry FakeFindFreeSpaceEx() {
  ++g_fake.find_free_space_calls;
  if (g_fake.no_free_space_ex) return nullptr;
  return g_fake.fixed_free_space ? &g_fixed_entry : Real()->FindFreeSpaceEx();
}

int FakeCallFreeSpaceEx(FreeSpaceEntry entry, const char* root, uint64_t* free_to_caller, uint64_t* total,
                        uint64_t* total_free) {
  g_fake.roots_asked.push_back(root);
  if (g_fake.free_space_ex_fails) return 0;
  if (g_fake.fixed_free_space) {
    *free_to_caller = g_fake.free_bytes;
    *total = g_fake.total_bytes;
    *total_free = g_fake.free_bytes;
    return 1;
  }
  return Real()->CallFreeSpaceEx(entry, root, free_to_caller, total, total_free);
}

int FakeClusters(const char* root, uint32_t* spc, uint32_t* bps, uint32_t* free_clusters, uint32_t* total) {
  g_fake.roots_asked.push_back(root);
  if (g_fake.clusters_fail) return 0;
  if (g_fake.fixed_clusters) {
    *spc = g_fake.sectors_per_cluster;
    *bps = g_fake.bytes_per_sector;
    *free_clusters = g_fake.free_clusters;
    *total = g_fake.total_clusters;
    return 1;
  }
  return Real()->FreeSpaceByClusters(root, spc, bps, free_clusters, total);
}

int FakeMessageBox(PlatformWindow owner, const char* text, const char* caption, uint32_t kind) {
  g_fake.boxes.push_back({owner, text, caption, kind});
  if (g_fake.answers.empty()) return kAnswerOk;
  int answer = g_fake.answers.front();
  g_fake.answers.erase(g_fake.answers.begin());
  return answer;
}

PlatformApi MakeTable() {
  PlatformApi api = *Real();
  api.Alloc = FakeAlloc;
  api.Free = FakeFree;
  api.WriteFileBytes = FakeWrite;
  api.SetFileTimes = FakeSetTimes;
  api.MoveFileOver = FakeMoveOver;
  api.FindFreeSpaceEx = FakeFindFreeSpaceEx;
  api.CallFreeSpaceEx = FakeCallFreeSpaceEx;
  api.FreeSpaceByClusters = FakeClusters;
  api.ShowMessageBox = FakeMessageBox;
  return api;
}

PlatformApi g_table;

}  // namespace

FakePlatform& InstallFakePlatform() {
  g_fake = FakePlatform{};
  g_table = MakeTable();
  Os = &g_table;
  return g_fake;
}

void RemoveFakePlatform() { Os = NativePlatform(); }
