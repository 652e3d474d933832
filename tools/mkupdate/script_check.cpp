#include "tools/mkupdate/script_check.h"

#include <map>

#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "settings/profile_reader.h"
#include "settings/settings_readers.h"
#include "settings/update_script.h"

namespace {

struct Checker {
  const std::string& script;
  const std::set<std::string>& entries;
  std::vector<Finding> findings;

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
      if (!name.empty() && !entries.count(FoldedName(name))) {
        char shown[kLongTextSize];
        FormatText(shown, sizeof shown, kMsgAgreementNotFound, name.c_str());
        Add(true, "SETUP", key,
            "names '" + name + "', which is not among the files: the updater stops with \"" + shown + "\"");
      }
    }
  }

  // The numbers of a list that the updater reads: from 00 up to the first
  // missing one, at most 16. Warns of every line it never reaches.
  int ListLength(const char* prefix) {
    int length = -1;
    for (int n = 0; n < 100; ++n) {  // every key of two digits
      char key[32];
      FormatText(key, sizeof key, "%s%02i", prefix, n);
      bool present = !Raw("UPDATE", key).empty();
      if (!present && length < 0) length = n;
      if (present && length >= 0) {
        char end[32];
        FormatText(end, sizeof end, "%s%02i", prefix, length);
        Add(false, "UPDATE", key, std::string("is never read: the list ends at ") + end + ", which is missing");
      } else if (present && n >= kListLines) {
        char last[8];
        FormatText(last, sizeof last, "%02i", kListLines - 1);
        Add(false, "UPDATE", key,
            "is never read: the updater reads at most " + std::to_string(kListLines) + " lines, 00 to " + last);
      }
    }
    return length < 0 || length > kListLines ? kListLines : length;
  }

  void CheckUpdateFiles() {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> by_entry;  // name -> (key, path)
    for (int n = 0, count = ListLength("UpdateFile"); n < count; ++n) {
      char key[32];
      FormatText(key, sizeof key, "UpdateFile%02i", n);
      std::string value = Held("UPDATE", key, kLongTextSize);
      // The fields as the tokenizer gives them, to spot look-alikes.
      std::vector<std::string> fields;
      const char* cursor = value.c_str();
      char slot[kListSlotSize];
      for (int f = 0; f < 3 && NextListToken(slot, &cursor); ++f) fields.push_back(slot);
      // Each field's length as the line spells it, by the tokenizer's own walk.
      const char* walk = value.c_str();
      for (int f = 0; f < 3; ++f) {
        if (ListItemLength(&walk) > kListSlotSize - 1)
          Add(false, "UPDATE", key,
              "has a field longer than " + std::to_string(kListSlotSize - 1) + " bytes: the updater cuts it");
      }
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
      std::string entry = line.Path + line.NameOffset;
      if (!entries.count(FoldedName(entry)))
        Add(true, "UPDATE", key,
            "needs the file '" + entry + "', which is not among the files: the update stops with \"" + kMsgNoEntry +
                "\"");
      by_entry[FoldedName(entry)].push_back({key, line.Path});
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

  void CheckCopyFiles() {
    std::vector<CopyLine> lines;
    std::vector<std::string> keys;
    for (int n = 0, count = ListLength("CopyFile"); n < count; ++n) {
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
  checker.CheckCopyFiles();
  return checker.findings;
}

bool ScriptIsAllOrNothing(const std::string& script) {
  std::set<std::string> none;
  Checker checker{script, none, {}};
  std::string value = checker.Raw("UPDATE", "AllOrNothing");
  return !value.empty() && ParseSettingNumber(value.c_str()) != 0;
}
