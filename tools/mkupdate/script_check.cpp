#include "tools/mkupdate/script_check.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "settings/profile_reader.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

namespace {

// The most lines a list with a count key ("UpdateFileCount") can have.
constexpr int kMostListLines = 9999;

// A path as the checks compare paths: ASCII case folded, "/" read as "\\",
// empty and "." components dropped ("" is the folder itself).
std::string ComparablePath(const std::string& path) {
  std::string folded = FoldedName(path), out, part;
  auto flush = [&] {
    if (!part.empty() && part != ".") out += (out.empty() ? "" : "\\") + part;
    part.clear();
  };
  for (const char* p = folded.c_str(); *p != '\0';) {
    const char* next = NextChar(p);
    if (IsPathSeparator(p)) flush();
    else part.append(p, next);
    p = next;
  }
  flush();
  return out;
}

// Whether a line's path ends in a backslash that is a character of its own:
// a folder line (or, in a removal, a folder).
bool NamesFolder(const char* path) { return path[0] != '\0' && path[EntryNameOffset(path)] == '\0'; }

// Whether `path` lies inside the folder `folder` (both comparable paths).
bool LiesUnder(const std::string& path, const std::string& folder) {
  return folder.empty() ? !path.empty()
                        : path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              path[folder.size()] == '\\';
}

// A path that an update-file line writes: its target relative to the base
// folder and DataFolder, comparable, with the line's key, mode and kind.
struct Written {
  std::string path;
  std::string shown;  // as the script or the update spells it
  std::string key;
  int has_mode;
  uint32_t mode;
  UpdateKind kind;
};

struct Checker {
  const std::string& script;
  const std::set<std::string>& entries;
  std::vector<Finding> findings;
  std::set<std::string> agreements = {};  // folded entry names of AgreementText and AgreementTitle
  std::vector<Written> written = {};      // what the update-file lines write

  // The whole value, as long as it is: the updater's holders cut it later.
  std::string Raw(const char* section, const std::string& key) {
    std::string value(1 << 16, '\0');
    uint32_t n = ReadProfileBytes(script.data(), uint32_t(script.size()), section, key.c_str(), value.data(),
                                  uint32_t(value.size()));
    value.resize(n);
    return value;
  }

  void Add(bool error, const char* section, const std::string& key, const std::string& message) {
    findings.push_back({error, std::string("[") + section + "] " + key, message});
  }

  // A value longer than its holder is cut without notice.
  std::string Held(const char* section, const std::string& key, size_t holder) {
    std::string value = Raw(section, key);
    if (value.size() > holder - 1) {
      Add(false, section, key,
          "is " + std::to_string(value.size()) + " bytes long: the updater keeps only the first " +
              std::to_string(holder - 1));
      value.resize(holder - 1);
    }
    return value;
  }

  void CheckSetup() {
    for (const char* key : {"CompanyName", "GameTitle", "GameClass", "GameDir"}) {
      if (Held("SETUP", key, kPathSize).empty()) {
        char shown[kLongTextSize];
        FormatText(shown, sizeof shown, kMsgScriptKeyMissing, "SETUP", key);
        Add(true, "SETUP", key, std::string("is missing or empty: the updater stops at once with \"") + shown + "\"");
      }
    }
    for (const char* key : {"GameTitleA", "UpdaterVersion", "UpdaterTitle"}) Held("SETUP", key, kPathSize);
    std::string data_folder = Held("SETUP", "DataFolder", kPathSize);
    if (!PathStaysInside(data_folder.c_str()))
      Add(true, "SETUP", "DataFolder",
          "is '" + data_folder +
              "', outside the data folder ('..', a drive or a leading separator): the updater "
              "refuses every update-file line then");
    Held("SETUP", "UpdateMessage", kLongTextSize);
    for (const char* key : {"AgreementText", "AgreementTitle"}) {
      std::string name = Held("SETUP", key, kPathSize);
      if (!name.empty()) agreements.insert(FoldedName(name));
      if (!name.empty() && !entries.count(FoldedName(name))) {
        char shown[kLongTextSize];
        FormatText(shown, sizeof shown, kMsgAgreementNotFound, name.c_str());
        Add(true, "SETUP", key,
            "names '" + name + "', which is not among the files: the updater stops with \"" + shown + "\"");
      }
    }
  }

  // The numbers n of the keys "<prefix>%02i" that the script spells, in
  // any section (the reader then says which are in [UPDATE]): found in one
  // pass, so that a list of thousands of lines is not probed key by key.
  std::set<int> SpelledNumbers(const char* prefix) {
    std::set<int> numbers;
    size_t prefix_size = strlen(prefix);
    for (size_t at = 0; at < script.size();) {
      size_t end = script.find_first_of("\r\n", at);
      if (end == std::string::npos) end = script.size();
      std::string line = script.substr(at, end - at);
      at = end + 1;
      size_t begin = line.find_first_not_of(" \t\v\f\x1a");
      size_t equals = line.find('=');
      if (begin == std::string::npos || equals == std::string::npos || equals < begin + prefix_size) continue;
      std::string name = line.substr(begin, equals - begin);
      while (!name.empty() && strchr(" \t\v\f\x1a", name.back()) != nullptr) name.pop_back();
      if (FoldedName(name.substr(0, prefix_size)) != FoldedName(prefix)) continue;
      std::string digits = name.substr(prefix_size);
      if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
      char spelled[16];
      int n = atoi(digits.c_str());
      FormatText(spelled, sizeof spelled, "%02i", n);
      if (digits == spelled) numbers.insert(n);
    }
    return numbers;
  }

  // How many lines of a list the updater reads at most: `count_key`'s
  // number from 1 to 9999, or 16 (without the key, or for a list that has
  // none). `explicit_count` tells whether the key gave it.
  int ListLimit(const char* count_key, bool* explicit_count) {
    *explicit_count = false;
    if (count_key == nullptr) return kListLines;
    std::string value = Held("UPDATE", count_key, kPathSize);
    if (value.empty()) return kListLines;
    int32_t n = ParseSettingNumber(value.c_str());
    // The settings' numbers: blanks, a sign, then digits; none is no number.
    size_t digit = value.find_first_not_of(" \t\n\v\f\r");
    if (digit != std::string::npos && (value[digit] == '+' || value[digit] == '-')) ++digit;
    bool number = digit < value.size() && value[digit] >= '0' && value[digit] <= '9';
    if (n < 0 || n > kMostListLines || !number) {
      Add(false, "UPDATE", count_key,
          "is '" + value + "', no number from 1 to " + std::to_string(kMostListLines) + ": the updater reads " +
              std::to_string(kListLines) + " lines, as without it");
      return kListLines;
    }
    if (n == 0) return kListLines;
    *explicit_count = true;
    return n;
  }

  // The numbers of a list that the updater reads: from 00 up to the first
  // missing one, at most the list's limit. Warns of every line it never
  // reaches.
  int ListLength(const char* prefix, const char* count_key) {
    bool explicit_count = false;
    int limit = ListLimit(count_key, &explicit_count);
    int length = -1;
    int next = 0;  // the number expected next while the list runs
    for (int n : SpelledNumbers(prefix)) {
      char key[32];
      FormatText(key, sizeof key, "%s%02i", prefix, n);
      if (Raw("UPDATE", key).empty()) continue;  // in another section, or empty
      if (length < 0 && n != next) length = next;
      if (length < 0) ++next;
      if (length >= 0) {
        char end[32];
        FormatText(end, sizeof end, "%s%02i", prefix, length);
        Add(false, "UPDATE", key, std::string("is never read: the list ends at ") + end + ", which is missing");
      } else if (n >= limit) {
        char last[16];
        FormatText(last, sizeof last, "%02i", limit - 1);
        if (explicit_count)
          Add(false, "UPDATE", key,
              std::string("is never read: ") + count_key + "=" + std::to_string(limit) + " has the updater read " +
                  std::to_string(limit) + " lines, 00 to " + last);
        else
          Add(false, "UPDATE", key,
              "is never read: the updater reads at most " + std::to_string(limit) + " lines, 00 to " + last +
                  (count_key ? std::string(" (") + count_key + " reads more)" : std::string()));
      }
    }
    if (length < 0) length = next;
    return length > limit ? limit : length;
  }

  // A list line's fields as the tokenizer gives them (three at most), and
  // a warning for each of the first `checked` that the updater would cut,
  // measured by the tokenizer's own walk.
  std::vector<std::string> Fields(const char* key, const std::string& value, int checked) {
    std::vector<std::string> fields;
    const char* cursor = value.c_str();
    char slot[kListSlotSize];
    for (int f = 0; f < 3 && NextListToken(slot, &cursor); ++f) fields.push_back(slot);
    const char* walk = value.c_str();
    for (int f = 0; f < checked; ++f) {
      if (ListItemLength(&walk) > kListSlotSize - 1)
        Add(false, "UPDATE", key,
            "has a field longer than " + std::to_string(kListSlotSize - 1) + " bytes: the updater cuts it");
    }
    return fields;
  }

  void CheckUpdateFiles() {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> by_entry;  // name -> (key, path)
    for (int n = 0, count = ListLength("UpdateFile", "UpdateFileCount"); n < count; ++n) {
      char key[32];
      FormatText(key, sizeof key, "UpdateFile%02i", n);
      std::string value = Held("UPDATE", key, kLongTextSize);
      std::vector<std::string> fields = Fields(key, value, 3);
      UpdateFileLine line;
      ParseUpdateFileLine(value.c_str(), &line);
      if (!fields.empty() && fields[0].size() == 2 && fields[0][0] >= '0' && fields[0][0] <= '9' &&
          fields[0][1] >= '0' && fields[0][1] <= '9')
        Add(false, "UPDATE", key,
            "starts with '" + fields[0] +
                "', which is no install mode (a mode is one digit): the line is a plain "
                "file named '" +
                line.Path + "'");
      size_t examined = line.HasMode ? 1 : 0;
      if (examined < fields.size() && line.Kind == Plain) {
        std::string a = fields[examined];
        std::string trimmed = a;
        while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t')) trimmed.pop_back();
        UpdateKind would_be = Plain;
        if (trimmed != a && KindOfLetter(trimmed.c_str(), &would_be))
          Add(false, "UPDATE", key,
              "has the kind letter '" + trimmed +
                  "' followed by a blank: the updater reads it as a plain file named '" + a + "'");
      }
      if (line.Path[0] == '\0') {
        Add(true, "UPDATE", key, std::string("names no file: the update stops with \"") + kMsgNoEntry + "\"");
        continue;
      }
      if (!PathStaysInside(line.Path))
        Add(true, "UPDATE", key,
            "writes to '" + std::string(line.Path) +
                "', outside its folder ('..', a drive or a leading separator): "
                "the updater refuses it, and the update stops with \"" +
                kMsgWriteFailed + "\"");
      if (NamesFolder(line.Path)) {
        CheckFolderLine(key, line);
        continue;
      }
      // The entry of the line's whole path, or else of its last component.
      std::string whole = FoldedName(line.Path), entry = line.Path + line.NameOffset;
      bool by_whole_path = line.NameOffset > 0 && entries.count(whole);
      if (by_whole_path && entries.count(FoldedName(entry)))
        Add(false, "UPDATE", key,
            "takes the file '" + std::string(line.Path) + "' by its whole path, not the file '" + entry +
                "' at the update's root (both are among the files; a line finds its whole path first)");
      if (by_whole_path) entry = line.Path;
      else if (!entries.count(FoldedName(entry)))
        Add(true, "UPDATE", key,
            "needs the file '" + entry + "', which is not among the files" +
                (line.NameOffset > 0 ? " (nor is '" + std::string(line.Path) + "', which it would take first)" : "") +
                ": the update stops with \"" + kMsgNoEntry + "\"");
      by_entry[FoldedName(entry)].push_back({key, line.Path});
      written.push_back({ComparablePath(line.Path), line.Path, key, line.HasMode, line.Mode, line.Kind});
    }
    for (auto& [entry, users] : by_entry) {
      std::set<std::string> paths;
      for (auto& u : users) paths.insert(u.second);
      if (paths.size() < 2) continue;
      std::string keys, list;
      for (auto& u : users) {
        keys += (keys.empty() ? "" : ", ") + u.first;
        list += (list.empty() ? "" : ", ") + u.second;
      }
      Add(false, "UPDATE", users[0].first,
          "and the other lines " + keys + " (" + list + ") all take the same file '" +
              users[0].second.substr(size_t(EntryNameOffset(users[0].second.c_str()))) +
              "': entries are found by their name alone");
    }
  }

  // A line whose path ends in "\\" writes every file of the update under
  // that folder (".\\": every file), but never the script and the
  // agreement texts.
  void CheckFolderLine(const char* key, const UpdateFileLine& line) {
    std::string folder = ComparablePath(line.Path);
    bool root = folder.empty();
    size_t carried = 0;
    for (const std::string& entry : entries) {
      if (entry == "UPDATE.INI" || agreements.count(entry) || !LiesUnder(ComparablePath(entry), folder)) continue;
      ++carried;
      written.push_back({ComparablePath(entry), entry, key, line.HasMode, line.Mode, line.Kind});
    }
    if (carried == 0)
      Add(true, "UPDATE", key,
          std::string("is a folder line for '") + line.Path + "', and the update holds no file " +
              (root ? "but its script and agreement texts" : "under it") + ": the update stops with \"" + kMsgNoEntry +
              "\"");
  }

  // "RemoveFile%02i" lines: [mode,]path, a file, or a folder with all in
  // it when the path ends in "\\"; relative to InstPath and DataFolder.
  // Removals run before the update-file lines.
  void CheckRemoveFiles() {
    for (int n = 0, count = ListLength("RemoveFile", "RemoveFileCount"); n < count; ++n) {
      char key[32];
      FormatText(key, sizeof key, "RemoveFile%02i", n);
      std::string value = Held("UPDATE", key, kLongTextSize);
      std::vector<std::string> fields = Fields(key, value, 2);
      bool has_mode = !fields.empty() && fields[0].size() == 1 && fields[0][0] >= '0' && fields[0][0] <= '9';
      uint32_t mode = has_mode ? uint32_t(fields[0][0] - '0') : 0;
      size_t at = has_mode ? 1 : 0;
      std::string path = at < fields.size() ? fields[at] : "";
      if (fields.size() > at + 1)
        Add(false, "UPDATE", key,
            "has more than [mode,]path: the updater removes '" + path +
                "' and ignores the rest (a removal has no kind)");
      if (path.empty()) {
        Add(true, "UPDATE", key, "names nothing to remove: the update stops");
        continue;
      }
      if (!PathStaysInside(path.c_str())) {
        Add(true, "UPDATE", key,
            "removes '" + path +
                "', outside the installation folder ('..', a drive, a stream or a leading separator): the "
                "updater refuses it, and the update stops");
        continue;
      }
      std::string target = ComparablePath(path);
      if (target.empty()) {
        Add(true, "UPDATE", key,
            "removes '" + path + "', the installation folder itself: the updater refuses it, and the update stops");
        continue;
      }
      bool folder = NamesFolder(path.c_str());
      // A folder removed, then a file of its name written, is no clash.
      auto hits = [&](const Written& w) { return folder ? LiesUnder(w.path, target) : w.path == target; };
      // The player's data: never removed, whatever the modes.
      auto data =
          std::find_if(written.begin(), written.end(), [&](const Written& w) { return w.kind == DataFile && hits(w); });
      if (data != written.end()) {
        Add(true, "UPDATE", key,
            "removes '" + path + "', " + (data->path == target ? "the target" : "which holds '" + data->shown + "',") +
                " of the d line " + data->key + " (the player's data): the updater refuses it, and the update stops");
        continue;
      }
      // All or nothing removes a file only at the end: a folder of its name
      // cannot be made before.
      std::string aon = Raw("UPDATE", "AllOrNothing");
      if (!folder && !aon.empty() && ParseSettingNumber(aon.c_str()) != 0) {
        auto inside = std::find_if(written.begin(), written.end(), [&](const Written& w) {
          return w.kind != DataFile && (!has_mode || !w.has_mode || w.mode == mode) && LiesUnder(w.path, target);
        });
        if (inside != written.end()) {
          Add(true, "UPDATE", key,
              "removes the file '" + path + "', and " + inside->key + " writes '" + inside->shown +
                  "' into a folder of that name: with AllOrNothing the file stays until the end, so the update "
                  "stops and changes nothing (ship this step without AllOrNothing)");
          continue;
        }
      }
      for (const Written& w : written) {
        bool same_run = !has_mode || !w.has_mode || w.mode == mode;
        if (w.kind == DataFile || !same_run || !hits(w)) continue;
        Add(false, "UPDATE", key,
            "removes '" + path + "', where " + w.key + " then writes '" + w.shown +
                "' (removals run before the update-file lines)");
        break;
      }
    }
  }

  void CheckCopyFiles() {
    std::vector<CopyLine> lines;
    std::vector<std::string> keys;
    for (int n = 0, count = ListLength("CopyFile", nullptr); n < count; ++n) {
      char key[32];
      FormatText(key, sizeof key, "CopyFile%02i", n);
      CopyLine line;
      ParseCopyLine(Held("UPDATE", key, kPathSize).c_str(), &line);
      if (line.DiscNumber < 0 || line.DiscNumber > 9)
        Add(true, "UPDATE", key, "has a disc number that is no digit: the copy fails and the update stops");
      if (!PathStaysInside(line.Path))
        Add(true, "UPDATE", key,
            "copies to '" + std::string(line.Path) +
                "', outside the installation folder ('..', a drive or a "
                "leading separator): the updater refuses it, and the copy fails");
      lines.push_back(line);
      keys.push_back(key);
    }
    // For each install mode, the first line that applies must name its disc.
    std::map<size_t, std::string> without_disc;
    for (int mode = 0; mode <= 9; ++mode) {
      for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].HasMode && lines[i].Mode != mode) continue;
        if (lines[i].DiscNumber == 0) without_disc[i] += (without_disc[i].empty() ? "" : ", ") + std::to_string(mode);
        break;
      }
    }
    for (auto& [i, modes] : without_disc)
      Add(true, "UPDATE", keys[i],
          "is the first copy line for install mode " + modes +
              " and names no disc: there is no drive to copy from, so the copy fails and the update stops");
  }
};

}  // namespace

std::string FoldedName(const std::string& name) {
  // Walked by the updater's own characters: a double-byte one stays as it
  // is, as TextEqualNoCase compares it.
  std::string out = name;
  for (char* p = out.data(); *p != '\0';) {
    char* next = const_cast<char*>(NextChar(p));
    if (next == p + 1) *p = char(FoldAscii(static_cast<unsigned char>(*p)));
    p = next;
  }
  return out;
}

std::vector<Finding> CheckScript(const std::string& script, const std::set<std::string>& entries) {
  Checker checker{script, entries, {}};
  checker.CheckSetup();
  checker.CheckUpdateFiles();
  checker.CheckRemoveFiles();
  checker.CheckCopyFiles();
  return checker.findings;
}

std::set<std::string> EntriesCarriedWhole(const std::string& script, const std::set<std::string>& entries) {
  Checker checker{script, entries, {}};
  checker.CheckSetup();
  checker.CheckUpdateFiles();
  std::set<std::string> whole = checker.agreements;
  whole.insert(FoldedName("UPDATE.INI"));
  for (const Written& w : checker.written) {
    if (w.kind != DataFile) continue;
    // A file line takes its whole path's entry or its last component's:
    // both are kept whole.
    whole.insert(FoldedName(w.shown));
    whole.insert(FoldedName(w.shown.substr(size_t(EntryNameOffset(w.shown.c_str())))));
  }
  return whole;
}

bool ScriptIsAllOrNothing(const std::string& script) {
  std::set<std::string> none;
  Checker checker{script, none, {}};
  std::string value = checker.Raw("UPDATE", "AllOrNothing");
  return !value.empty() && ParseSettingNumber(value.c_str()) != 0;
}

std::vector<std::string> ScriptAgreementNames(const std::string& script) {
  std::set<std::string> none;
  Checker checker{script, none, {}};
  std::vector<std::string> names;
  for (const char* key : {"AgreementText", "AgreementTitle"}) {
    std::string name = checker.Raw("SETUP", key);
    if (name.size() > kPathSize - 1) name.resize(kPathSize - 1);  // as the updater holds it
    if (!name.empty()) names.push_back(name);
  }
  return names;
}
