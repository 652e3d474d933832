#include "tools/mkupdate/diff.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include "archive/payload_archive.h"
#include "common/text.h"
#include "common/update_state.h"
#include "settings/profile_reader.h"
#include "tools/mkupdate/entry_names.h"
#include "tools/mkupdate/host.h"
#include "tools/mkupdate/script_check.h"
#include "tools/mkupdate/update_file.h"

namespace fs = std::filesystem;

namespace {

// The most lines a list with a count key can have, and the lines read
// without one.
constexpr size_t kMostLines = 9999;
constexpr size_t kDefaultLines = 16;

// A file or folder of a tree, by its path as an entry name (code page 932).
struct Item {
  std::string name;  // code page 932, backslashes between folders
  fs::path host;     // where it is
  bool folder = false;
  uint64_t size = 0;
};

// One release's folder: its files and folders by their folded names, the
// way the player's Windows and the updater tell names apart.
struct Tree {
  std::map<std::string, Item> items;
  const Item* Find(const std::string& folded, bool folder) const {
    auto it = items.find(folded);
    return it != items.end() && it->second.folder == folder ? &it->second : nullptr;
  }
};

// A refusal: one line, then nothing is written.
int Refuse(const std::string& message) {
  fprintf(stderr, "mkupdate: %s\n", message.c_str());
  return 1;
}

// Reads every file and folder of `root`. A link, or anything that is
// neither a file nor a folder, cannot be carried by an update nor read as
// what the player has: refused, as is a name that is no entry name.
bool ReadTree(const fs::path& root, Tree* tree, std::string* error) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path& path = it->path();
    std::error_code kind_ec;
    fs::file_status status = fs::symlink_status(path, kind_ec);
    if (kind_ec) {
      *error = path.string() + ": " + kind_ec.message();
      return false;
    }
    if (fs::is_symlink(status)) {
      *error = path.string() +
               ": a link, which an update cannot express (it writes files; put what the link "
               "leads to in its place)";
      return false;
    }
    if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
      *error = path.string() + ": neither a file nor a folder";
      return false;
    }
    Item item;
    item.host = path;
    item.folder = fs::is_directory(status);
    std::string why;
    item.name = EntryNameOf(path.lexically_relative(root), &why);
    if (item.name.empty()) {
      *error = path.string() + ": " + why;
      return false;
    }
    if (!item.folder) {
      item.size = fs::file_size(path, ec);
      if (ec) {
        *error = path.string() + ": " + ec.message();
        return false;
      }
    }
    auto [other, fresh] = tree->items.emplace(FoldedName(item.name), item);
    if (!fresh) {
      *error = "two paths one to Windows when letter case is ignored: " + other->second.host.string() + " and " +
               path.string();
      return false;
    }
  }
  if (ec) {
    *error = root.string() + ": " + ec.message();
    return false;
  }
  return true;
}

// Whether two files hold the same bytes, read a block at a time.
bool SameBytes(const fs::path& a, const fs::path& b, std::string* error) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y) {
    *error = (!x ? a : b).string() + ": cannot be read";
    return false;
  }
  std::vector<char> p(1 << 20), q(1 << 20);
  for (;;) {
    x.read(p.data(), std::streamsize(p.size()));
    y.read(q.data(), std::streamsize(q.size()));
    if (x.bad() || y.bad()) {
      *error = (x.bad() ? a : b).string() + ": cannot be read";
      return false;
    }
    if (x.gcount() != y.gcount() || memcmp(p.data(), q.data(), size_t(x.gcount())) != 0) return false;
    if (x.gcount() == 0 || x.eof()) return x.eof() == y.eof();
  }
}

// Copies a file a block at a time, with its last-write time (the entry's
// time stamp, which `u,` lines compare).
bool CopyFileWithTime(const fs::path& from, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in || !out) return false;
  std::vector<char> block(1 << 20);
  while (in) {
    in.read(block.data(), std::streamsize(block.size()));
    if (in.bad()) return false;
    out.write(block.data(), in.gcount());
    if (!out) return false;
  }
  out.close();
  return !out.fail() && SetFileTimeOf(to, FileTimeOf(from));
}

// The first section [SETUP] of a script, its lines as they are, from its
// head to the next section; "" when there is none.
std::string SetupSection(const std::string& script) {
  std::string text = script.compare(0, 3, "\xEF\xBB\xBF") == 0 ? script.substr(3) : script;
  std::string section;
  bool inside = false;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t first = line.find_first_not_of(" \t\v\f\x1a");
    size_t close = line.rfind(']');
    bool head = first != std::string::npos && line[first] == '[' && close != std::string::npos && close > first + 1;
    if (head && inside) break;
    if (head) inside = FoldedName(line.substr(first + 1, close - first - 1)) == "SETUP";
    if (inside && first != std::string::npos) section += line + "\r\n";
  }
  return section;
}

// A value read back by the profile reader as it was written: one that
// begins and ends with one quotation mark is put in another pair.
std::string IniValue(const std::string& value) {
  bool quoted = value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0];
  return quoted ? "\"" + value + "\"" : value;
}

std::string Value(const std::string& ini, const char* key) {
  char value[kPathSize];
  ReadProfileBytes(ini.data(), uint32_t(ini.size()), "SETUP", key, value, sizeof value);
  return value;
}

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int RunDiff(const DiffOptions& o) {
  std::error_code ec;
  // The draft: a new or empty folder, inside neither release (it would be
  // read as part of one).
  fs::file_status draft_status = fs::symlink_status(o.draft, ec);
  bool draft_existed = fs::exists(draft_status);
  if (draft_existed && (!fs::is_directory(draft_status) || !fs::is_empty(o.draft, ec)))
    return Refuse(o.draft.string() + ": not an empty folder; diff drafts into a new or empty one");
  fs::path draft_full = fs::weakly_canonical(fs::absolute(o.draft), ec);
  for (const fs::path& tree : {o.old_tree, o.new_tree}) {
    fs::path full = fs::weakly_canonical(fs::absolute(tree), ec);
    fs::path inside = draft_full.lexically_relative(full);
    if (!inside.empty() && *inside.begin() != "..")
      return Refuse(o.draft.string() + ": inside " + tree.string() + "; the draft goes elsewhere");
  }

  Tree before, after;
  std::string error;
  if (!ReadTree(o.old_tree, &before, &error) || !ReadTree(o.new_tree, &after, &error)) return Refuse(error);

  // [SETUP]: the --setup script's own, or the four names of NEW's SETUP.INI.
  std::string setup_section;
  std::vector<std::pair<std::string, fs::path>> agreements;  // entry name, where it is
  if (!o.setup.empty()) {
    std::vector<uint8_t> bytes;
    if (!ReadBytes(o.setup, &bytes)) return Refuse(o.setup + ": cannot be read");
    setup_section = SetupSection(std::string(bytes.begin(), bytes.end()));
    if (setup_section.empty()) return Refuse(o.setup + ": no section [SETUP]");
    for (const char* key : {"AgreementText", "AgreementTitle"}) {
      std::string name = Value(setup_section, key);
      if (name.empty()) continue;
      fs::path beside = fs::path(o.setup).parent_path(), at;
      for (const std::string& part : EntryNameComponents(name)) {
        if (!HostPathOf(beside, part, &at)) return Refuse(o.setup + ": " + key + " names no file of this system");
        beside = at;
      }
      if (!UnsafeEntryName(name.c_str()).empty() || !fs::is_regular_file(at, ec))
        return Refuse(o.setup + ": " + key + " names '" + DisplayText(name) + "', which is no file beside it");
      agreements.push_back({name, at});
    }
  } else {
    const Item* setup_ini = after.Find("SETUP.INI", false);
    if (setup_ini == nullptr)
      return Refuse(o.new_tree.string() + ": no SETUP.INI, whose [SETUP] names the game (or give --setup UPDATE.INI)");
    std::vector<uint8_t> bytes;
    if (!ReadBytes(setup_ini->host, &bytes)) return Refuse(setup_ini->host.string() + ": cannot be read");
    std::string ini(bytes.begin(), bytes.end());
    std::string names[4] = {Value(ini, "CompanyName"), Value(ini, "GameTitle"), Value(ini, "GameClass"),
                            Value(ini, "GameDir")};
    if (names[2].empty()) names[2] = names[1];  // the installer's own rule for the game's window class
    const char* keys[4] = {"CompanyName", "GameTitle", "GameClass", "GameDir"};
    for (int i = 0; i < 4; ++i)
      if (names[i].empty()) return Refuse(setup_ini->host.string() + ": no " + keys[i] + " in [SETUP]");
    // The update finds the player's installation by the names OLD's
    // installer recorded: NEW's must be the same.
    if (const Item* old_ini = before.Find("SETUP.INI", false)) {
      std::vector<uint8_t> old_bytes;
      if (!ReadBytes(old_ini->host, &old_bytes)) return Refuse(old_ini->host.string() + ": cannot be read");
      std::string old_text(old_bytes.begin(), old_bytes.end());
      for (int i : {0, 3}) {
        std::string was = Value(old_text, keys[i]);
        if (FoldedName(was) != FoldedName(names[i]))
          return Refuse(std::string("SETUP.INI's ") + keys[i] + " is '" + DisplayText(was) + "' in " +
                        o.old_tree.string() + " and '" + DisplayText(names[i]) + "' in " + o.new_tree.string() +
                        ": the update would not find the installation (give --setup UPDATE.INI with the [SETUP] "
                        "that finds it)");
      }
    }
    setup_section = "[SETUP]\r\n";
    for (int i = 0; i < 4; ++i) setup_section += std::string(keys[i]) + "=" + IniValue(names[i]) + "\r\n";
  }

  // What changed, file by file, in the order of their entry names.
  struct Count {
    size_t files = 0;
    uint64_t bytes = 0;
    void Add(uint64_t size) { ++files, bytes += size; }
  } added, changed, removed, unchanged;
  std::map<std::string, const Item*> carried;  // entry name -> NEW's file
  std::vector<std::string> report;             // -v: one line per file
  for (const auto& [folded, item] : after.items) {
    if (item.folder) continue;
    const Item* was = before.Find(folded, false);
    bool same = was != nullptr && was->size == item.size && SameBytes(was->host, item.host, &error);
    if (!error.empty()) return Refuse(error);
    if (same) {
      unchanged.Add(item.size);
      continue;
    }
    (was ? changed : added).Add(item.size);
    if (item.size > o.entry_limit)
      return Refuse(item.host.string() + ": " + std::to_string(item.size) + " bytes; an entry holds at most " +
                    std::to_string(o.entry_limit));
    if (folded == "UPDATE.INI")
      return Refuse(item.host.string() + ": a file named as the update's own script, which no update can carry");
    for (const auto& agreement : agreements)
      if (FoldedName(agreement.first) == folded)
        return Refuse(item.host.string() + ": has the name of " + o.setup + "'s agreement text '" +
                      DisplayText(agreement.first) + "', which the update carries but never writes");
    carried[item.name] = &item;
    report.push_back((was ? "changed    " : "added      ") + DisplayText(item.name));
  }
  // A folder that NEW has and OLD lacks is made by the files it holds; an
  // empty one cannot be.
  for (const auto& [folded, item] : after.items) {
    if (!item.folder || before.Find(folded, true)) continue;
    // Everything under a folder follows it in the order of folded names.
    std::string prefix = folded + "\\";
    bool holds_file = false;
    for (auto it = after.items.lower_bound(prefix);
         !holds_file && it != after.items.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
      holds_file = !it->second.folder;
    if (!holds_file)
      return Refuse(item.host.string() + ": an empty folder that " + o.old_tree.string() +
                    " lacks, which an update cannot make (it makes the folders of the files it writes)");
  }
  // What OLD has and NEW lacks: a folder NEW lacks entirely in one line
  // (the topmost such), every other file in a line of its own.
  std::vector<std::string> removals;
  std::set<std::string> gone_folders;  // folded
  for (const auto& [folded, item] : before.items) {
    bool under_gone = false;
    for (const char* p = folded.c_str(); *p != '\0' && !under_gone; p = NextChar(p))
      under_gone = IsSingleByte(p, '\\') && gone_folders.count(folded.substr(0, size_t(p - folded.c_str())));
    if (item.folder) {
      if (after.Find(folded, true) || under_gone) continue;
      gone_folders.insert(folded);
      removals.push_back(item.name + "\\");
    } else {
      if (after.Find(folded, false)) continue;
      removed.Add(item.size);
      if (!under_gone) removals.push_back(item.name);
    }
  }
  for (const std::string& removal : removals) {
    report.push_back("removed    " + DisplayText(removal));
    if (removal.size() >= kArchiveNameSize)
      return Refuse("the removal of '" + DisplayText(removal) + "' takes " + std::to_string(removal.size()) +
                    " bytes, more than a line's path holds (259)");
  }
  if (removals.size() > kMostLines)
    return Refuse(std::to_string(removals.size()) + " removals, more than the " + std::to_string(kMostLines) +
                  " lines a list can have");
  if (carried.empty() && removals.empty())
    return Refuse(o.old_tree.string() + " and " + o.new_tree.string() +
                  " hold the same files: there is nothing to update");

  std::string script = setup_section + "\r\n[UPDATE]\r\n";
  if (!carried.empty()) script += "UpdateFile00=.\\\r\n";
  if (removals.size() > kDefaultLines) script += "RemoveFileCount=" + std::to_string(removals.size()) + "\r\n";
  for (size_t i = 0; i < removals.size(); ++i) {
    char key[32];
    FormatText(key, sizeof key, "RemoveFile%02i", int(i));
    script += std::string(key) + "=" + removals[i] + "\r\n";
  }

  // The draft must pass check as it is: a finding here is a case diff does
  // not know how to express.
  std::set<std::string> names = {"UPDATE.INI"};
  for (const auto& carried_file : carried) names.insert(FoldedName(carried_file.first));
  for (const auto& agreement : agreements) names.insert(FoldedName(agreement.first));
  for (const Finding& f : CheckScript(script, names))
    if (f.error)
      return Refuse("the drafted UPDATE.INI would not pass check: " + DisplayText(f.key) + " " +
                    DisplayText(f.message));

  // Written: the files, then the script. A failure takes back all of it.
  auto undo = [&](const std::string& message) {
    if (draft_existed) {
      for (auto it = fs::directory_iterator(o.draft, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        fs::remove_all(it->path(), ec);
    } else {
      fs::remove_all(o.draft, ec);
    }
    return Refuse(message);
  };
  if (!fs::create_directories(o.draft, ec) && ec) return Refuse(o.draft.string() + ": " + ec.message());
  std::vector<std::pair<fs::path, fs::path>> copies;  // from, to
  for (const auto& [name, item] : carried)
    copies.push_back({item->host, o.draft / item->host.lexically_relative(o.new_tree)});
  for (const auto& [name, at] : agreements) {
    fs::path to = o.draft;
    for (const std::string& part : EntryNameComponents(name)) HostPathOf(to, part, &to);
    copies.push_back({at, to});
  }
  for (const auto& [from, to] : copies) {
    fs::create_directories(to.parent_path(), ec);
    if (!CopyFileWithTime(from, to)) return undo(to.string() + ": cannot be written");
  }
  fs::path script_path = o.draft / "UPDATE.INI";
  if (!WriteFileInPlace(script_path, reinterpret_cast<const uint8_t*>(script.data()), script.size()))
    return undo(script_path.string() + ": cannot be written");

  if (o.quiet) return 0;
  if (o.verbose)
    for (const std::string& line : report) printf("%s\n", line.c_str());
  auto row = [](const char* what, const Count& c, const std::string& more) {
    printf("%-10s %6zu %-5s %12llu bytes%s\n", what, c.files, c.files == 1 ? "file" : "files",
           static_cast<unsigned long long>(c.bytes), more.c_str());
  };
  row("added", added, "");
  row("changed", changed, "");
  row("removed", removed, removals.empty() ? "" : "  (" + Plural(removals.size(), "line", "lines") + ")");
  row("unchanged", unchanged, "");
  printf("%s: UPDATE.INI and %s drafted; check it, then build it\n", o.draft.string().c_str(),
         Plural(copies.size(), "file", "files").c_str());
  return 0;
}
