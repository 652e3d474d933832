// The cost of AllOrNothing: a run of N update files of S bytes each over an
// installation that holds their old versions, with and without the key, on
// the native platform and a real file system. Reports the best of five
// times of each mode and the peak extra disk space: the most bytes of files
// that the installation held at any moment beyond what it held before the
// run (measured in a separate run, after every file operation).
//
//   build/native/bench/all_or_nothing_bench [N [S]]     (N at most 16)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/payload_archive.h"
#include "common/update_state.h"
#include "flow/file_update.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

fs::path g_folder;
uint64_t g_baseline = 0, g_peak = 0;
PlatformApi g_counting;

uint64_t BytesIn(const fs::path& folder) {
  uint64_t total = 0;
  for (auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) total += e.file_size();
  return total;
}

void Measure() {
  uint64_t now = BytesIn(g_folder);
  if (now > g_peak) g_peak = now;
}

int CountingCommit(PlatformFile f, const char* t, const char* to, const uint64_t* time) {
  Measure();
  int ok = NativePlatform()->CommitFile(f, t, to, time);
  Measure();
  return ok;
}
int CountingFlush(PlatformFile f) {
  int ok = NativePlatform()->FlushFile(f);
  Measure();
  return ok;
}

std::string Script(int n, bool all_or_nothing) {
  std::string s = "[SETUP]\r\nCompanyName=Co\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=D\r\n[UPDATE]\r\n";
  if (all_or_nothing) s += "AllOrNothing=1\r\n";
  char line[64];
  for (int i = 0; i < n; ++i) {
    snprintf(line, sizeof line, "UpdateFile%02d=F%02d.DAT\r\n", i, i);
    s += line;
  }
  return s;
}

// One run over a fresh installation; its time in milliseconds.
double Run(const std::vector<uint8_t>& payload_bytes, int n, uint32_t size, bool measure) {
  fs::remove_all(g_folder);
  fs::create_directories(g_folder);
  std::vector<char> old(size, 'o');
  for (int i = 0; i < n; ++i) {
    char name[16];
    snprintf(name, sizeof name, "F%02d.DAT", i);
    FILE* f = fopen((g_folder / name).c_str(), "wb");
    fwrite(old.data(), 1, old.size(), f);
    fclose(f);
  }
  ResetUpdateState();
  UpdateState.ReportMissingKeys = 0;  // as the start-up leaves it for the run
  std::string inst = "C:" + g_folder.string();
  for (char& c : inst)
    if (c == '/') c = '\\';
  snprintf(UpdateState.InstPath, kPathSize, "%s", inst.c_str());
  snprintf(UpdateState.DataPath, kPathSize, "%s", inst.c_str());
  UpdateState.PayloadArchive = {payload_bytes.data(), uint32_t(payload_bytes.size())};
  OpenPayloadArchive();
  uint32_t script_size = 0;
  UpdateState.ScriptBytes = LoadArchiveEntry("UPDATE.INI", &script_size);
  UpdateState.ScriptSize = script_size;
  g_baseline = BytesIn(g_folder);
  g_peak = g_baseline;
  Os = measure ? &g_counting : NativePlatform();
  auto start = std::chrono::steady_clock::now();
  // The run alone, without a window: nothing to show, no disc to ask for.
  RunSeat seat = {nullptr, nullptr, [](void*) {}, [](void*, const char*) {}, nullptr, [](void*, int) { return 0; }};
  RunOutcome outcome = RunUpdate(seat);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  Os = NativePlatform();
  if (outcome != kRunCompleted) fprintf(stderr, "the run did not complete\n");
  ClosePayloadArchive();
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 16;
  uint32_t size = argc > 2 ? uint32_t(atol(argv[2])) : (4u << 20);
  if (n < 1 || n > kListLines) n = kListLines;
  g_folder = fs::temp_directory_path() / "koushin-aon-bench";
  g_counting = *NativePlatform();
  g_counting.CommitFile = CountingCommit;
  g_counting.FlushFile = CountingFlush;
  printf("%d files of %u bytes over their old versions\n", n, size);
  for (bool aon : {false, true}) {
    std::vector<ArchiveInput> entries;
    std::string script = Script(n, aon);
    entries.push_back({"UPDATE.INI", std::vector<uint8_t>(script.begin(), script.end()), 0, false});
    for (int i = 0; i < n; ++i) {
      char name[16];
      snprintf(name, sizeof name, "F%02d.DAT", i);
      entries.push_back({name, std::vector<uint8_t>(size, uint8_t('a' + i)), 133000000000000000ull, false});
    }
    std::string error;
    std::vector<uint8_t> payload = BuildArchive(entries, {}, &error);
    double best = 1e30;
    for (int k = 0; k < 5; ++k) best = std::min(best, Run(payload, n, size, false));
    Run(payload, n, size, true);
    printf("%-14s best of 5: %8.1f ms   peak extra disk space: %10llu bytes (%.2f x one file)\n",
           aon ? "AllOrNothing" : "without", best, static_cast<unsigned long long>(g_peak - g_baseline),
           double(g_peak - g_baseline) / size);
  }
  fs::remove_all(g_folder);
  return 0;
}
