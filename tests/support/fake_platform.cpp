#include "tests/support/fake_platform.h"

#include <cstdio>
#include <cstring>

#include "resources/resource_ids.h"

namespace {

FakePlatform g_fake;
const PlatformApi* Real() { return NativePlatform(); }

void FileOperation() {
  if (++g_fake.file_operations == g_fake.crash_at) throw FakeCrash{};
}

void Opened(PlatformFile file) {
  if (file != nullptr) g_fake.open_files.push_back(file);
}
void Closed(PlatformFile file) {
  auto& open = g_fake.open_files;
  for (auto it = open.begin(); it != open.end(); ++it) {
    if (*it == file) {
      open.erase(it);
      return;
    }
  }
}

void FakeCloseFile(PlatformFile file) {
  Closed(file);
  Real()->CloseFile(file);
}

PlatformFile FakeOpenFileForRead(const char* path) {
  PlatformFile file = Real()->OpenFileForRead(path);
  Opened(file);
  return file;
}

void* FakeAlloc(uint32_t size, int zero) {
  if (g_fake.alloc.Hit()) return nullptr;
  ++g_fake.allocs;
  void* block = Real()->Alloc(size, zero);
  if (block != nullptr) {
    g_fake.live_blocks[block] = size;
    g_fake.live_bytes += size;
    if (g_fake.live_bytes > g_fake.peak_live_bytes) g_fake.peak_live_bytes = g_fake.live_bytes;
  }
  return block;
}

void FakeFree(void* block) {
  ++g_fake.frees;
  auto it = g_fake.live_blocks.find(block);
  if (it != g_fake.live_blocks.end()) {
    g_fake.live_bytes -= it->second;
    g_fake.live_blocks.erase(it);
  }
  Real()->Free(block);
}

int FakeWrite(PlatformFile file, const void* data, uint32_t size) {
  FileOperation();
  if (g_fake.write.Hit()) {
    Real()->WriteFileBytes(file, data, size / 2);
    return 0;
  }
  return Real()->WriteFileBytes(file, data, size);
}

int FakeSetTimes(PlatformFile file, uint64_t time) {
  FileOperation();
  return g_fake.set_times.Hit() ? 0 : Real()->SetFileTimes(file, time);
}

int FakeFlush(PlatformFile file) {
  FileOperation();
  g_fake.file_calls.push_back("flush");
  return g_fake.flush.Hit() ? 0 : Real()->FlushFile(file);
}

int FakeCommit(PlatformFile file, const char* temp_path, const char* to, const uint64_t* time) {
  FileOperation();
  g_fake.file_calls.push_back("commit");
  Closed(file);  // in every case
  if (g_fake.commit.Hit()) {
    Real()->CloseFile(file);
    return 0;
  }
  int moved = Real()->CommitFile(file, temp_path, to, time);
  if (moved) g_fake.files_created.push_back(to);
  return moved;
}

PlatformFile FakeCreateTemp(const char* near_path, char* temp_path) {
  FileOperation();
  PlatformFile file = Real()->CreateTempFileBeside(near_path, temp_path);
  if (file != nullptr) g_fake.temp_files.push_back(temp_path);
  Opened(file);
  return file;
}

int FakeRemove(const char* path) {
  FileOperation();
  g_fake.files_removed.push_back(path);
  return Real()->RemoveFile(path);
}

int FakeFreeSpace(const char* root, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free) {
  g_fake.roots_asked.push_back(root);
  if (g_fake.free_space.Hit()) return 0;
  if (g_fake.fixed_free_space) {
    *free_to_caller = g_fake.free_bytes;
    *total = g_fake.total_bytes;
    *total_free = g_fake.free_bytes;
    return 1;
  }
  return Real()->FreeSpace(root, free_to_caller, total, total_free);
}

int FakeMessageBox(PlatformWindow owner, const char* text, const char* caption, uint32_t kind) {
  g_fake.boxes.push_back({owner, text, caption, kind});
  if (g_fake.while_box_open) g_fake.while_box_open();
  if (g_fake.answers.empty()) return kAnswerOk;
  int answer = g_fake.answers.front();
  g_fake.answers.erase(g_fake.answers.begin());
  return answer;
}

int g_dialog_window;  // the fake wizard's handle
PlatformWindow Dialog() { return &g_dialog_window; }

int FakeLoadUpdateResource(void*, int id, const uint8_t** bytes, uint32_t* size) {
  const std::vector<uint8_t>* resource = nullptr;
  if (id == IDR_PAYLOAD && g_fake.has_payload) resource = &g_fake.payload;
  if (id == IDR_PAYLOAD_CHECKSUM && g_fake.has_checksum) resource = &g_fake.checksum;
  if (resource == nullptr) return 0;
  *bytes = resource->data();
  *size = uint32_t(resource->size());
  return 1;
}

RegistryKey FakeOpenUserKey(const char* subkey) {
  auto it = g_fake.registry.find(subkey);
  return it == g_fake.registry.end() ? nullptr : &it->second;
}

int FakeQueryValue(RegistryKey key, const char* name, void* data, uint32_t size) {
  auto* values = static_cast<std::map<std::string, std::string>*>(key);
  auto it = values->find(name);
  if (it == values->end() || it->second.size() > size) return 0;
  memcpy(data, it->second.data(), it->second.size());
  return 1;
}

void FakeCloseKey(RegistryKey) {}

PlatformWindow FakeFindTopWindow(const char* class_name, const char* title) {
  for (auto& w : g_fake.windows) {
    if (w.first == (class_name ? class_name : "") && w.second == title) return &w;
  }
  return nullptr;
}

void FakeBringToFront(PlatformWindow window) {
  g_fake.brought_to_front.push_back(static_cast<std::pair<std::string, std::string>*>(window)->second);
}

intptr_t FakeRunDialog(int id, DialogProcedure procedure) {
  g_fake.dialogs_run.push_back(id);
  g_fake.controls.clear();
  for (int c : {IDC_NEXT, IDC_CANCEL, IDC_BACK, IDC_INFO}) g_fake.controls[c] = FakeControl{};
  if (id == 101)
    for (int c : {IDC_AGREEMENT_TEXT, IDC_AGREE, IDC_DISAGREE}) g_fake.controls[c] = FakeControl{};
  g_fake.ended = false;
  g_fake.end_result = -1;
  g_fake.procedure = procedure;
  procedure(Dialog(), {kDialogOpened, 0});
  if (g_fake.in_dialog) g_fake.in_dialog(g_fake);
  return g_fake.ended ? g_fake.end_result : -1;
}

void FakeEndWizardDialog(PlatformWindow, intptr_t result) {
  if (g_fake.ended) return;
  g_fake.ended = true;
  g_fake.end_result = result;
}

void FakeSetCaption(PlatformWindow, const char* text) { g_fake.caption = text; }

FakeControl* Control(int id) {
  auto it = g_fake.controls.find(id);
  return it == g_fake.controls.end() ? nullptr : &it->second;
}

void FakeSetItemText(PlatformWindow, int id, const char* text) {
  if (FakeControl* c = Control(id)) c->text = text;
}
void FakeEnableItem(PlatformWindow, int id, int enable) {
  if (FakeControl* c = Control(id)) c->enabled = enable != 0;
}
void FakeShowItem(PlatformWindow, int id, int show) {
  if (FakeControl* c = Control(id)) c->visible = show != 0;
}
void FakeCheckRadio(PlatformWindow, int first, int last, int id) {
  for (int i = first; i <= last; ++i)
    if (FakeControl* c = Control(i)) c->checked = i == id;
}
void FakeFocusItem(PlatformWindow, int id) { g_fake.focus = id; }
void FakeSetCursorShape(CursorShape shape) { g_fake.cursor = shape; }

uint32_t FakeDriveType(const char* root) {
  if (!g_fake.drive_errors_quiet) ++g_fake.loud_drive_probes;
  return g_fake.cd_drives.find(root[0]) != std::string::npos ? uint32_t(kDriveCdRom) : 3u;  // 3: a fixed disk
}

// Writes `content` at `path`, making the folders on the way (the shell's
// FOF_NOCONFIRMMKDIR).
void WriteWithFolders(const std::string& path, const std::string& content) {
  for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1))
    Real()->CreateFolder(path.substr(0, at).c_str());
  char temp[1024];
  PlatformFile file = Real()->CreateTempFileBeside(path.c_str(), temp);
  if (file == nullptr) return;
  Real()->WriteFileBytes(file, content.data(), uint32_t(content.size()));
  const uint64_t disc_time = 131000000000000000ull;  // the disc's files keep their time, as the shell copies them
  Real()->CommitFile(file, temp, path.c_str(), &disc_time);
}

ShellCopyResult FakeShellCopy(PlatformWindow, const char* from, const char* to, ShellCopyKind kind) {
  FileOperation();
  g_fake.shell_copies.push_back({from, to, from[strlen(from) + 1] == '\0', to[strlen(to) + 1] == '\0', kind});
  // A copy that fails or is stopped has written part of its files, as a
  // scratched disc or the player's Cancel leaves them: torn.
  bool failing = g_fake.shell_copy.Hit();
  ShellCopyResult result = failing ? g_fake.shell_fail_result : g_fake.shell_result;
  bool torn = result.Failed || result.Aborted;
  std::string source = from, last = source.substr(source.rfind('\\') + 1);
  for (const auto& [path, content] : g_fake.disc_files) {
    std::string written = torn ? content.substr(0, content.size() / 2) + "(torn)" : content;
    if (kind == kShellCopyFile && path == source) WriteWithFolders(to, written);
    if (kind == kShellCopyFolder && path.rfind(source + "\\", 0) == 0)
      WriteWithFolders(std::string(to) + "\\" + last + path.substr(source.size()), written);
  }
  return result;
}

uint32_t FakeQuietDriveErrors() {
  uint32_t previous = g_fake.drive_errors_quiet;
  g_fake.drive_errors_quiet = true;
  return previous;
}
void FakeRestoreDriveErrors(uint32_t previous) { g_fake.drive_errors_quiet = previous != 0; }

int FakeTouch(const char* path) {
  FileOperation();
  return g_fake.touch.Hit() ? 0 : Real()->TouchLastWriteTime(path);
}

int FakeSetAttributes(const char* path, uint32_t attributes) {
  FileOperation();
  return Real()->SetAttributes(path, attributes);
}

int FakeCreateFolder(const char* path) {
  FileOperation();
  return Real()->CreateFolder(path);
}

int FakeCreatePrivateFolder(const char* parent, const char* prefix, char* path) {
  FileOperation();
  if (g_fake.private_folder.Hit()) return 0;
  return Real()->CreatePrivateFolder(parent, prefix, path);
}

int FakeRemoveFolder(const char* path) {
  FileOperation();
  return Real()->RemoveFolder(path);
}

PlatformFile FakeOpenFileForMove(const char* path) {
  FileOperation();
  PlatformFile file = Real()->OpenFileForMove(path);
  Opened(file);
  return file;
}

uint32_t FakeGetAttributes(const char* path) {
  if (path[0] != '\0' && path[1] == ':' && g_fake.cd_drives.find(path[0]) != std::string::npos &&
      !g_fake.drive_errors_quiet)
    ++g_fake.loud_drive_probes;
  auto it = g_fake.attributes.find(path);
  if (it != g_fake.attributes.end()) return it->second;
  std::string p = path;
  for (const auto& [disc_path, content] : g_fake.disc_files) {
    if (disc_path == p) return kAttrNormal;
    if (disc_path.rfind(p + "\\", 0) == 0) return kAttrDirectory;
  }
  return Real()->GetAttributes(path);
}

LinkKind FakeLinkAt(const char* path) {
  auto it = g_fake.links.find(path);
  return it != g_fake.links.end() ? it->second : Real()->LinkAt(path);
}

struct Listed {
  std::string name;
  int is_folder;
  LinkKind link;
};

void CollectListed(void* context, const char* name, int is_folder, LinkKind link) {
  static_cast<std::vector<Listed>*>(context)->push_back({name, is_folder, link});
}

// The names are read whole first, then handed on: a visitor that stops dead
// (FakeCrash) leaves no listing of the system open, as a dead process
// leaves none.
int FakeListFolder(const char* folder, FolderVisitor visit, void* context) {
  std::vector<Listed> names;
  if (!Real()->ListFolder(folder, CollectListed, &names)) return 0;
  for (const Listed& n : names) {
    auto it = g_fake.links.find(std::string(folder) + "\\" + n.name);
    visit(context, n.name.c_str(), n.is_folder, it != g_fake.links.end() ? it->second : n.link);
  }
  return 1;
}

PlatformApi MakeTable() {
  PlatformApi api = *Real();
  api.Alloc = FakeAlloc;
  api.Free = FakeFree;
  api.WriteFileBytes = FakeWrite;
  api.SetFileTimes = FakeSetTimes;
  api.FlushFile = FakeFlush;
  api.CommitFile = FakeCommit;
  api.CreateTempFileBeside = FakeCreateTemp;
  api.RemoveFile = FakeRemove;
  api.FreeSpace = FakeFreeSpace;
  api.ShowMessageBox = FakeMessageBox;
  api.LoadUpdateResource = FakeLoadUpdateResource;
  api.OpenUserKey = FakeOpenUserKey;
  api.QueryValue = FakeQueryValue;
  api.CloseKey = FakeCloseKey;
  api.FindTopWindow = FakeFindTopWindow;
  api.BringToFront = FakeBringToFront;
  api.RunDialog = FakeRunDialog;
  api.EndWizardDialog = FakeEndWizardDialog;
  api.SetCaption = FakeSetCaption;
  api.SetItemText = FakeSetItemText;
  api.EnableItem = FakeEnableItem;
  api.ShowItem = FakeShowItem;
  api.CheckRadio = FakeCheckRadio;
  api.FocusItem = FakeFocusItem;
  api.SetCursorShape = FakeSetCursorShape;
  api.DriveType = FakeDriveType;
  api.QuietDriveErrors = FakeQuietDriveErrors;
  api.RestoreDriveErrors = FakeRestoreDriveErrors;
  api.TouchLastWriteTime = FakeTouch;
  api.Milliseconds = [] { return g_fake.clock += g_fake.clock_step; };
  api.RefreshWindow = [](PlatformWindow) { ++g_fake.refreshes; };
  api.SetAttributes = FakeSetAttributes;
  api.CreateFolder = FakeCreateFolder;
  api.CreatePrivateFolder = FakeCreatePrivateFolder;
  api.RemoveFolder = FakeRemoveFolder;
  api.OpenFileForMove = FakeOpenFileForMove;
  api.OpenFileForRead = FakeOpenFileForRead;
  api.CloseFile = FakeCloseFile;
  api.GetAttributes = FakeGetAttributes;
  api.ShellCopy = FakeShellCopy;
  api.LinkAt = FakeLinkAt;
  api.ListFolder = FakeListFolder;
  return api;
}

PlatformApi g_table;

}  // namespace

void FakePlatform::CloseLeftoverFiles() {
  for (PlatformFile file : open_files) Real()->CloseFile(file);
  open_files.clear();
}

void FakePlatform::SendCommand(int id) { procedure(Dialog(), {kDialogCommand, id}); }
int FakePlatform::SetCursorEvent() { return procedure(Dialog(), {kDialogSetCursor, 0}); }

void FakePlatform::Click(int id) {
  FakeControl* c = Control(id);
  if (c && c->enabled && c->visible) SendCommand(id);
}

FakePlatform& InstallFakePlatform() {
  g_fake = FakePlatform{};
  g_table = MakeTable();
  Os = &g_table;
  return g_fake;
}

void RemoveFakePlatform() { Os = NativePlatform(); }
