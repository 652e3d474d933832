// LoadInstallerConfig: every row of its validation, the defaults, the list
// tables, the shortcut fields and the add-on set in slot 3.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "settings/installer_config.h"
#include "tests/support/test_files.h"

namespace {

// A valid SETUP.INI as key/value lines, in file order; a test overrides or
// removes keys before writing it.
struct SetupIni {
  std::vector<std::pair<std::string, std::string>> keys = {
      {"CompanyName", "Installer Co"}, {"GameTitle", "Installed Title"},
      {"GameDir", "InstDir"},          {"GameExe", "GAME.EXE"},
      {"UninstExe", "UNINST.EXE"},     {"SetupBmp", "a.bmp,b.bmp"},
      {"InstallSelects", "1"},         {"InstallTitle0", "Standard"},
      {"InstallFiles0", "GAME.EXE"},   {"Shortcuts", "0"},
  };
  SetupIni& Set(const std::string& key, const std::string& value) {
    for (auto& kv : keys)
      if (kv.first == key) {
        kv.second = value;
        return *this;
      }
    keys.push_back({key, value});
    return *this;
  }
  SetupIni& Remove(const std::string& key) {
    for (size_t i = 0; i < keys.size(); ++i)
      if (keys[i].first == key) keys.erase(keys.begin() + long(i));
    return *this;
  }
  std::string Text() const {
    std::string t = "[SETUP]\r\n";
    for (auto& kv : keys) t += kv.first + "=" + kv.second + "\r\n";
    return t;
  }
};

class InstallerConfigTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    // As the start-up leaves them: the script's values, the report off.
    CopyText(UpdateState.CompanyName, kPathSize, "Script Co");
    CopyText(UpdateState.GameTitle, kPathSize, "Script Title");
    CopyText(UpdateState.GameClass, kPathSize, "ScriptClass");
    CopyText(UpdateState.GameDir, kPathSize, "ScriptDir");
    UpdateState.ReportMissingKeys = 0;
  }
  int Load(const SetupIni& ini) {
    std::string path = folder.Join("SETUP.INI");
    WriteWholeFile(path, ini.Text());
    CopyText(UpdateState.SetupIniPath, kPathSize, path.c_str());
    fake->boxes.clear();
    return LoadInstallerConfig();
  }
  // The texts, each box checked to be the installer's own error box.
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (auto& b : fake->boxes) {
      EXPECT_EQ(b.caption, "INSTCMMN");
      t.push_back(b.text);
    }
    return t;
  }
  InstallerConfigRecord& c = UpdateState.InstallerConfig;
};

std::string KeyError(const char* key) {
  char out[1024];
  FormatText(out, sizeof out, kMsgSetupKeyError, key);
  return out;
}

TEST_F(InstallerConfigTest, ValidationRowByRow) {
  struct Row {
    const char* name;
    SetupIni ini;
    int result;
    std::vector<std::string> messages;
  } rows[] = {
      {"valid", SetupIni(), 1, {}},
      {"GameExe missing: silent", SetupIni().Remove("GameExe"), 0, {}},
      {"UninstExe empty: silent", SetupIni().Set("UninstExe", ""), 0, {}},
      {"InstallSelects missing: silent", SetupIni().Remove("InstallSelects"), 0, {}},
      {"SetupBmp with no item", SetupIni().Set("SetupBmp", ",a.bmp"), 0, {kMsgSetupBmpError}},
      {"InstallSelects 4",
       SetupIni()
           .Set("InstallSelects", "4")
           .Set("InstallTitle1", "t")
           .Set("InstallFiles1", "f")
           .Set("InstallTitle2", "t")
           .Set("InstallFiles2", "f")
           .Set("InstallTitle3", "t")
           .Set("InstallFiles3", "f"),
       1,
       {}},
      {"InstallSelects 5", SetupIni().Set("InstallSelects", "5"), 0, {kMsgInstallSelectOver}},
      {"InstallSelects 0 needs no selection keys",
       SetupIni().Set("InstallSelects", "0").Remove("InstallTitle0").Remove("InstallFiles0"),
       1,
       {}},
      {"InstallSelects -1",
       SetupIni().Set("InstallSelects", "-1").Remove("InstallTitle0").Remove("InstallFiles0"),
       1,
       {}},
      {"InstallFiles0 with no item", SetupIni().Set("InstallFiles0", " ,x"), 0, {KeyError("InstallFiles0")}},
      {"InstallTitle0 missing: silent", SetupIni().Remove("InstallTitle0"), 0, {}},
      {"Shortcuts 10",
       [] {
         SetupIni ini;
         ini.Set("Shortcuts", "10");
         for (int i = 0; i < 10; ++i) ini.Set("Shortcut" + std::to_string(i), "n,t");
         return ini;
       }(),
       1,
       {}},
      {"Shortcuts 11", SetupIni().Set("Shortcuts", "11"), 0, {kMsgShortcutsOver}},
      {"Shortcut0 lacks field 2", SetupIni().Set("Shortcuts", "1").Set("Shortcut0", "a"), 0, {KeyError("Shortcut0")}},
      {"Shortcut0 with an empty field 2",
       SetupIni().Set("Shortcuts", "1").Set("Shortcut0", "a,,b"),
       0,
       {KeyError("Shortcut0")}},
      {"ExecApp with one field", SetupIni().Set("ExecApp", "x"), 0, {KeyError("ExecApp")}},
      {"InstallAfterAdd without InstallAddFiles",
       SetupIni().Set("InstallAfterAdd", "1"),
       0,
       {"SETUP.INI : InstallAddFiles \x83L\x81[\x82\xAA\x91\xB6\x8D\xDD\x82\xB5\x82\xDC\x82\xB9\x82\xF1"}},
      {"InstallAddFiles with no item",
       SetupIni().Set("InstallAfterAdd", "1").Set("InstallAddFiles", ","),
       0,
       {KeyError("InstallAddFiles")}},
      {"InstallAfterAdd 0 never reads InstallAddFiles",
       SetupIni().Set("InstallAfterAdd", "0").Set("InstallAddFiles", ","),
       1,
       {}},
  };
  for (const Row& row : rows) {
    ResetUpdateState();
    UpdateState.ReportMissingKeys = 0;
    EXPECT_EQ(Load(row.ini), row.result) << row.name;
    EXPECT_EQ(Texts(), row.messages) << row.name;
  }
}

TEST_F(InstallerConfigTest, ReplacesTheSharedValuesAndFillsDefaults) {
  ASSERT_TRUE(Load(SetupIni()));
  EXPECT_STREQ(UpdateState.CompanyName, "Installer Co");
  EXPECT_STREQ(UpdateState.GameTitle, "Installed Title");
  EXPECT_STREQ(UpdateState.GameDir, "InstDir");
  EXPECT_STREQ(UpdateState.GameClass, "Installed Title") << "no GameClass: the installation's title";
  EXPECT_STREQ(c.SelectSetupMessage, kTextSelectSetupMessage);
  EXPECT_STREQ(c.SaveDataFolderNameInInstall, "savedata");
  EXPECT_STREQ(c.SaveDataFolderName, "InstDir");
  EXPECT_STREQ(c.UninstTitle, "Installed Title");
  EXPECT_STREQ(c.ExecApp[0], "");
  EXPECT_STREQ(c.ExecApp[1], "");
  EXPECT_EQ(c.DefaultSelect, 0);
  EXPECT_EQ(c.Selections[0].InstallSize, 0u);
  for (auto& file : c.DiskCheckFile) EXPECT_STREQ(file, "");
  EXPECT_EQ(UpdateState.ReportMissingKeys, 0);

  ASSERT_TRUE(Load(SetupIni()
                       .Set("GameClass", "RealClass")
                       .Set("DefaultSelect", "7")
                       .Set("ExecApp", "x,y,z")
                       .Set("InstallSize0", "12345678901234567890")
                       .Set("DiskCheckFile0", "ZERO.CHK")
                       .Set("DiskCheckFile9", "NINE.CHK")
                       .Set("DiskCheckFile10", "TEN.CHK")
                       .Set("UseCompanyNameForShortcutGroup", "1")
                       .Set("ChooseSaveDataFolder", "0")
                       .Set("CancelSaveData", "junk")));
  EXPECT_STREQ(UpdateState.GameClass, "RealClass");
  EXPECT_EQ(c.DefaultSelect, 7) << "not compared with InstallSelects";
  EXPECT_STREQ(c.ExecApp[0], "x");
  EXPECT_STREQ(c.ExecApp[1], "y");
  EXPECT_EQ(c.Selections[0].InstallSize, 1234567890123456789ull) << "cut to its first 19 digits";
  EXPECT_STREQ(c.DiskCheckFile[0], "ZERO.CHK");
  EXPECT_STREQ(c.DiskCheckFile[9], "NINE.CHK");
  EXPECT_EQ(c.UseCompanyNameForShortcutGroup, 1);
  EXPECT_EQ(c.ChooseSaveDataFolder, 0);
}

TEST_F(InstallerConfigTest, ListTables) {
  std::string bmps;
  for (int i = 1; i <= 21; ++i) bmps += (i > 1 ? "," : "") + std::string("b") + std::to_string(i);
  ASSERT_TRUE(Load(SetupIni().Set("SetupBmp", bmps)));
  EXPECT_STREQ(c.SetupBmp[19], "b20") << "a full table has no end mark; the 21st is dropped";

  ASSERT_TRUE(Load(SetupIni().Set("SetupBmp", "a.bmp,,b.bmp")));
  EXPECT_STREQ(c.SetupBmp[0], "a.bmp");
  EXPECT_STREQ(c.SetupBmp[1], "") << "the end mark";

  struct Case {
    const char* files;
    std::vector<std::string> items;
    std::vector<int32_t> numbers;
    int flag;
  } cases[] = {
      {"a,1:b,c,2:d", {"a", "b", "c", "d"}, {0, 1, 1, 2}, 1},
      {"a,b", {"a", "b"}, {0, 0}, 0},
      {"0:a", {"a"}, {0}, 0},
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(Load(SetupIni().Set("InstallFiles0", k.files)));
    for (size_t i = 0; i < k.items.size(); ++i) {
      EXPECT_EQ(c.Selections[0].InstallFiles[i], k.items[i]) << k.files;
      EXPECT_EQ(c.Selections[0].FileNumbers[i], k.numbers[i]) << k.files;
    }
    EXPECT_STREQ(c.Selections[0].InstallFiles[k.items.size()], "");
    EXPECT_EQ(c.Selections[0].HasNumberedFiles, k.flag) << k.files;
  }

  // A prefix number does not reach the next selection's list.
  ASSERT_TRUE(Load(SetupIni()
                       .Set("InstallSelects", "2")
                       .Set("InstallFiles0", "5:a")
                       .Set("InstallTitle1", "Full")
                       .Set("InstallFiles1", "b")));
  EXPECT_EQ(c.Selections[1].FileNumbers[0], 0);
  EXPECT_EQ(c.Selections[1].HasNumberedFiles, 0);
}

TEST_F(InstallerConfigTest, ShortcutFields) {
  struct Case {
    const char* value;
    std::vector<std::string> fields;
  } cases[] = {
      {"a,b", {"a", "b", "", ""}},       {"a,b,,d", {"a", "b", "", "d"}},     {"a,b,,,d", {"a", "b", "", "d"}},
      {"a,b, , d", {"a", "b", "", "d"}}, {"a,b,c,d,e", {"a", "b", "c", "d"}}, {"a,b,c", {"a", "b", "c", ""}},
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(Load(SetupIni().Set("Shortcuts", "1").Set("Shortcut0", k.value))) << k.value;
    for (int f = 0; f < 4; ++f) EXPECT_EQ(c.Shortcut[0][f], k.fields[f]) << k.value << " field " << f;
  }
}

TEST_F(InstallerConfigTest, AddOnSetReplacesSlotThreeButItsTitle) {
  SetupIni ini = SetupIni()
                     .Set("InstallSelects", "4")
                     .Set("InstallTitle1", "t1")
                     .Set("InstallFiles1", "f1")
                     .Set("InstallTitle2", "t2")
                     .Set("InstallFiles2", "f2")
                     .Set("InstallTitle3", "Fourth")
                     .Set("InstallFiles3", "9:old")
                     .Set("InstallSize3", "77")
                     .Set("InstallAfterAdd", "1")
                     .Set("InstallAddFiles", "x,3:y")
                     .Set("InstallAddSize", "500");
  ASSERT_TRUE(Load(ini));
  SelectionSlot& slot = c.Selections[3];
  EXPECT_STREQ(slot.InstallTitle, "Fourth");
  EXPECT_STREQ(slot.InstallFiles[0], "x");
  EXPECT_STREQ(slot.InstallFiles[1], "y");
  EXPECT_EQ(slot.FileNumbers[0], 0) << "the add-on list starts at 0";
  EXPECT_EQ(slot.FileNumbers[1], 3);
  EXPECT_EQ(slot.HasNumberedFiles, 1);
  EXPECT_EQ(slot.InstallSize, 500u);
  EXPECT_EQ(UpdateState.ReportMissingKeys, 0);

  ASSERT_TRUE(Load(ini.Remove("InstallAddSize")));
  EXPECT_EQ(c.Selections[3].InstallSize, 0u);
  EXPECT_FALSE(Load(ini.Remove("InstallAddFiles")));
  EXPECT_EQ(UpdateState.ReportMissingKeys, 1) << "left on by a failure of the add-on list";
}

TEST_F(InstallerConfigTest, KeyNamesIgnoreLetterCase) {
  SetupIni ini = SetupIni().Remove("SetupBmp");
  ini.keys.push_back({"SETUPbmp", "x.bmp"});
  EXPECT_TRUE(Load(ini));
  EXPECT_STREQ(c.SetupBmp[0], "x.bmp");
}

}  // namespace
