// mkupdate: packs a folder into a payload archive, and lists and extracts
// archives. The archive code is the updater's own: the tool writes with the
// archive writer and reads back through the same reader the updater uses.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/payload_archive.h"
#include "common/text.h"
#include "common/update_state.h"
#include "platform/platform.h"
#include "tools/mkupdate/host.h"

namespace fs = std::filesystem;

namespace {

enum { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct Options {
  std::string command;
  std::vector<std::string> operands;
  std::string output;
  bool quiet = false;
  bool verbose = false;
  bool help = false;
};

const char* kUsage =
    "usage: mkupdate COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  pack SRC -o PAYLOAD    pack every file of the folder SRC into a raw archive\n"
    "  list ARCHIVE           list the entries of an archive\n"
    "  extract ARCHIVE [-o DIR]  write every entry into DIR (default: the current folder)\n"
    "\n"
    "options:\n"
    "  -o PATH      the output\n"
    "  -q, --quiet  print nothing but errors\n"
    "  -v, --verbose  per-entry figures\n"
    "  -h, --help   this text\n";

std::string g_archive_error;  // the reader's last message, instead of a box

int CaptureBox(PlatformWindow, const char* text, const char*, uint32_t) {
  g_archive_error = text;
  return kAnswerOk;
}

int Fail(const std::string& message) {
  fprintf(stderr, "mkupdate: %s\n", message.c_str());
  return kExitFailure;
}

int Usage(const std::string& message) {
  fprintf(stderr, "mkupdate: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

bool ReadBytes(const fs::path& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteBytes(const fs::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  return bool(out);
}

// A name with its ASCII letters in upper case, double-byte characters as
// they are: two names the updater cannot tell apart fold to the same text.
std::string FoldedName(const std::string& name) {
  std::string out = name;
  for (size_t i = 0; i < out.size(); ++i) {
    if (IsLeadByte((unsigned char)out[i])) ++i;
    else if (out[i] >= 'a' && out[i] <= 'z') out[i] = char(out[i] - 'a' + 'A');
  }
  return out;
}

// The files of SRC as archive entries, in the byte order of their archive
// names so that the same folder always gives the same archive.
bool CollectEntries(const fs::path& src, std::vector<ArchiveInput>* entries, std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(src, ec)) {
    *error = src.string() + ": not a folder";
    return false;
  }
  std::map<std::string, fs::path> by_name, folded;
  for (auto it = fs::recursive_directory_iterator(src, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    std::string name;
    if (!ArchiveNameOf(it->path(), &name)) {
      *error = it->path().string() + ": the name has a character that code page 932 cannot hold";
      return false;
    }
    // Entries have no folders, and the updater finds them by name alone,
    // without regard to ASCII case.
    auto [other, fresh] = folded.emplace(FoldedName(name), it->path());
    if (!fresh) {
      *error = "two files share the entry name '" + it->path().filename().string() + "': " +
               other->second.string() + " and " + it->path().string();
      return false;
    }
    by_name[name] = it->path();
  }
  if (ec) {
    *error = src.string() + ": " + ec.message();
    return false;
  }
  for (auto& [name, path] : by_name) {
    ArchiveInput in;
    in.name = name;
    if (!ReadBytes(path, &in.data)) {
      *error = path.string() + ": cannot be read";
      return false;
    }
    in.file_time = FileTimeOf(path);
    entries->push_back(std::move(in));
  }
  return true;
}

int Pack(const Options& o) {
  if (o.operands.size() != 1) return Usage("pack takes one folder");
  if (o.output.empty()) return Usage("pack needs -o PAYLOAD");
  std::vector<ArchiveInput> entries;
  std::string error;
  if (!CollectEntries(o.operands[0], &entries, &error)) return Fail(error);
  std::vector<uint8_t> image = BuildArchive(entries, ArchiveOptions{}, &error);
  if (image.empty()) return Fail(error);
  if (!WriteBytes(o.output, image.data(), image.size())) return Fail(o.output + ": cannot be written");
  if (!o.quiet) printf("%s: %zu entries, %zu bytes\n", o.output.c_str(), entries.size(), image.size());
  return kExitOk;
}

// Opens an archive file through the updater's own reader.
bool OpenArchiveFile(const std::string& path, std::vector<uint8_t>* image, std::string* error) {
  if (!ReadBytes(path, image)) {
    *error = path + ": cannot be read";
    return false;
  }
  if (image->size() > 0xFFFFFFFFu) {
    *error = path + ": larger than 4 GiB";
    return false;
  }
  UpdateState.PayloadArchive = {image->data(), uint32_t(image->size())};
  if (OpenPayloadArchive() == nullptr) {
    *error = path + ": not a payload archive, or a damaged one";
    return false;
  }
  return true;
}

std::string TimeText(uint64_t file_time) {
  int64_t seconds = int64_t(file_time / 10000000) - 11644473600ll;
  time_t t = time_t(seconds);
  struct tm parts;
#ifdef _WIN32
  gmtime_s(&parts, &t);
#else
  gmtime_r(&t, &parts);
#endif
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

int List(const Options& o) {
  if (o.operands.size() != 1) return Usage("list takes one archive");
  std::vector<uint8_t> image;
  std::string error;
  if (!OpenArchiveFile(o.operands[0], &image, &error)) return Fail(error);
  printf("%10s %10s  %-10s  %-19s  %s\n", "size", "stored", "method", "time (UTC)", "name");
  for (uint32_t i = 0; i < ArchiveEntryCount(); ++i) {
    ArchiveEntryInfo e;
    GetArchiveEntryInfo(i, &e);
    printf("%10u %10u  %-10s  %-19s  %s\n", e.Size, e.StoredSize, (e.Flags & kEntryCompressed) ? "compressed" : "stored",
           TimeText(e.FileTime).c_str(), HostPathOf("", e.Name).string().c_str());
  }
  ClosePayloadArchive();
  return kExitOk;
}

int Extract(const Options& o) {
  if (o.operands.size() != 1) return Usage("extract takes one archive");
  std::vector<uint8_t> image;
  std::string error;
  if (!OpenArchiveFile(o.operands[0], &image, &error)) return Fail(error);
  fs::path dir = o.output.empty() ? fs::path(".") : fs::path(o.output);
  std::error_code ec;
  fs::create_directories(dir, ec);
  int status = kExitOk;
  for (uint32_t i = 0; i < ArchiveEntryCount(); ++i) {
    ArchiveEntryInfo e;
    GetArchiveEntryInfo(i, &e);
    fs::path target = HostPathOf(dir, e.Name);
    uint32_t size = 0;
    const uint8_t* bytes = LoadArchiveEntryAt(i, &size);
    if (bytes == nullptr) {
      status = Fail(target.string() + ": " + g_archive_error);
      continue;
    }
    bool ok = WriteBytes(target, bytes, size) && SetFileTimeOf(target, e.FileTime);
    if (IsDecodedEntry(bytes)) Os->Free(const_cast<uint8_t*>(bytes));
    if (!ok) status = Fail(target.string() + ": cannot be written");
    else if (o.verbose) printf("%s\n", target.string().c_str());
  }
  ClosePayloadArchive();
  return status;
}

bool ParseArguments(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") o->help = true;
    else if (a == "-q" || a == "--quiet") o->quiet = true;
    else if (a == "-v" || a == "--verbose") o->verbose = true;
    else if (a == "-o") {
      if (++i == argc) {
        *error = "-o needs a path";
        return false;
      }
      o->output = argv[i];
    } else if (a.size() > 1 && a[0] == '-') {
      *error = "unknown option " + a;
      return false;
    } else if (o->command.empty()) {
      o->command = a;
    } else {
      o->operands.push_back(a);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  PlatformApi quiet = *NativePlatform();
  quiet.ShowMessageBox = CaptureBox;
  Os = &quiet;

  Options o;
  std::string error;
  if (!ParseArguments(argc, argv, &o, &error)) return Usage(error);
  if (o.help || o.command.empty()) {
    fputs(kUsage, o.help ? stdout : stderr);
    return o.help ? kExitOk : kExitUsage;
  }
  if (o.command == "pack") return Pack(o);
  if (o.command == "list") return List(o);
  if (o.command == "extract") return Extract(o);
  return Usage("unknown command " + o.command);
}
