// The update script: section "SETUP" as the start-up reads it, the notice
// escape, both line grammars, and the two numbers of section "UPDATE".
#include <gtest/gtest.h>

#include <string>

#include "common/messages.h"
#include "common/text.h"
#include "settings/update_script.h"
#include "tests/support/test_files.h"

namespace {

class ScriptTest : public PlatformTest {
 protected:
  // The script's bytes, as the start-up takes them from the payload.
  void Script(const std::string& text) {
    script = text;
    UpdateState.ScriptBytes = reinterpret_cast<const uint8_t*>(script.data());
    UpdateState.ScriptSize = uint32_t(script.size());
  }
  std::string script;
};

TEST_F(ScriptTest, ReadsTheRequiredKeysThenTheOptionalOnes) {
  Script(
      "[SETUP]\r\nCompanyName=Co\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=D\r\nUpdaterVersion=1.01\r\n"
      "UpdateMessage=" +
      std::string(1100, 'm') + "\r\n");
  CopyText(UpdateState.DataFolder, kPathSize, "left over");
  ASSERT_TRUE(ReadScriptSetup());
  EXPECT_STREQ(UpdateState.CompanyName, "Co");
  EXPECT_STREQ(UpdateState.GameDir, "D");
  EXPECT_STREQ(UpdateState.UpdaterVersion, "1.01");
  EXPECT_STREQ(UpdateState.DataFolder, "") << "emptied before its read";
  EXPECT_EQ(strlen(UpdateState.UpdateMessage), 1023u);
  EXPECT_EQ(UpdateState.ReportMissingKeys, 0);
  EXPECT_TRUE(fake->boxes.empty()) << "missing optional keys are silent";
}

TEST_F(ScriptTest, TheFirstMissingRequiredKeyIsTheOnlyOneReported) {
  struct Case {
    const char* text;
    const char* reported;
  } cases[] = {
      {"", "SETUP : CompanyName"},
      {"[SETUP]\r\nCompanyName=Co\r\nGameTitle=T\r\nGameDir=D\r\n", "SETUP : GameClass"},
      {"[SETUP]\r\nCompanyName=Co\r\nGameTitle=T\r\nGameClass=C\r\nGameDir=\r\n", "SETUP : GameDir"},
  };
  for (const Case& c : cases) {
    fake->boxes.clear();
    Script(c.text);
    EXPECT_FALSE(ReadScriptSetup());
    ASSERT_EQ(fake->boxes.size(), 1u) << c.text;
    EXPECT_EQ(fake->boxes[0].caption, "INSTCMMN");
    EXPECT_EQ(fake->boxes[0].text.rfind(c.reported, 0), 0u) << fake->boxes[0].text;
  }
}

std::string Notice(const char* value) {
  char out[1024];
  MakeNoticeText(value, out, sizeof out);
  return out;
}

TEST(MakeNoticeText, ReplacesBackslashNByCarriageReturn) {
  EXPECT_EQ(Notice("A\\nB"), "A\rB");
  EXPECT_EQ(Notice("A\\\\nB"), "A\\\rB");
  EXPECT_EQ(Notice("A\\tB\\"), "A\\tB\\");
  // 表 is 0x95 0x5C: its trail byte followed by n is no escape.
  EXPECT_EQ(Notice("\x95\x5Cn"), "\x95\x5Cn");
  EXPECT_EQ(Notice("\x95\x5C\\n\x83\x41"), "\x95\x5C\r\x83\x41");
  char small[4];
  MakeNoticeText("ab\x95\x5C", small, sizeof small);
  EXPECT_STREQ(small, "ab") << "a double-byte character is never split";
}

UpdateFileLine Line(const char* value) {
  UpdateFileLine line;
  ParseUpdateFileLine(value, &line);
  return line;
}

TEST(ParseUpdateFileLine, TheFourForms) {
  struct Case {
    const char* value;
    int has_mode;
    uint32_t mode;
    int32_t kind;
    const char* path;
    int32_t name_offset;
  } cases[] = {
      {"data\\a.bin", 0, 0, Plain, "data\\a.bin", 5},
      {"D,save.dat", 0, 0, DataFile, "save.dat", 0},
      {"u,data\\s.dat", 0, 0, IfNewer, "data\\s.dat", 5},
      {"o,v.pak", 0, 0, ExistingOnly, "v.pak", 0},
      {"1,a.bin", 1, 1, Plain, "a.bin", 0},
      {"1, d, data\\a b.dat", 1, 1, DataFile, "data\\a b.dat", 5},
      {"u ,a.bin", 0, 0, Plain, "u ", 0},
      {"data\\a.bin,x", 0, 0, Plain, "data\\a.bin", 5},
      {"7", 1, 7, Plain, "", 0},
      {"d", 0, 0, DataFile, "", 0},
      {"12,a.bin", 0, 0, Plain, "12", 0},
      {"3,,x", 1, 3, Plain, "", 0},
      {"a\\\x95\x5C.dat", 0, 0, Plain, "a\\\x95\x5C.dat", 2},  // 表.dat: its 0x5C is no separator
      {"\x95\x5C\\b.dat", 0, 0, Plain, "\x95\x5C\\b.dat", 3},
      {"a/b.dat", 0, 0, Plain, "a/b.dat", 0},
      {"2:x\\y.dat", 0, 0, Plain, "x\\y.dat", 2},  // a prefix on a field loses its two bytes
  };
  for (const Case& c : cases) {
    UpdateFileLine line = Line(c.value);
    EXPECT_EQ(line.HasMode, c.has_mode) << c.value;
    EXPECT_EQ(line.Mode, c.mode) << c.value;
    EXPECT_EQ(line.Kind, c.kind) << c.value;
    EXPECT_STREQ(line.Path, c.path) << c.value;
    EXPECT_EQ(line.NameOffset, c.name_offset) << c.value;
  }
}

TEST(ParseCopyLine, ExaminedByPosition) {
  struct Case {
    const char* value;
    int has_mode;
    int32_t mode;
    int32_t disc;
    const char* path;
  } cases[] = {
      {"movie", 0, 0, 0, "movie"},
      {"2:movie", 0, 0, 2, "movie"},
      {"1,2:data\\a.bin", 1, 1, 2, "data\\a.bin"},
      {"1, 2:movie", 1, 1, 0, " 2:movie"},
      {"1,movie, with comma", 1, 1, 0, "movie, with comma"},
      {"x:a", 0, 0, 'x' - '0', "a"},
      {"a", 0, 0, 0, "a"},
      {"", 0, 0, 0, ""},
      {"1,", 1, 1, 0, ""},
  };
  for (const Case& c : cases) {
    CopyLine line;
    ParseCopyLine(c.value, &line);
    EXPECT_EQ(line.HasMode, c.has_mode) << c.value;
    EXPECT_EQ(line.Mode, c.mode) << c.value;
    EXPECT_EQ(line.DiscNumber, c.disc) << c.value;
    EXPECT_STREQ(line.Path, c.path) << c.value;
  }
}

TEST_F(ScriptTest, RequiredDiskSpaceAndOverwriteOnly) {
  struct Case {
    const char* text;
    uint32_t space;
    int overwrite_only;
  } cases[] = {
      {"", 0, 0},
      {"RequiredDiskSpace=0\r\nOverwriteOnly=0", 0, 0},
      {"RequiredDiskSpace=abc\r\nOverwriteOnly=yes", 0, 0},
      {"RequiredDiskSpace=1048576\r\nOverwriteOnly=2", 1048576, 1},
      {"RequiredDiskSpace=99999999999\r\nOverwriteOnly=-1", 2147483647u, 1},
      {"RequiredDiskSpace=-1", 4294967295u, 0},
  };
  for (const Case& c : cases) {
    Script(std::string("[UPDATE]\r\n") + c.text + "\r\n");
    UpdateState.ReportMissingKeys = 0;
    EXPECT_EQ(ReadRequiredDiskSpace(), c.space) << c.text;
    EXPECT_EQ(ReadOverwriteOnly(), c.overwrite_only) << c.text;
  }
}

// A count key says how many lines a list has; anything but 1 to 9999
// leaves the sixteen of a script that counts nothing.
TEST_F(ScriptTest, ListCounts) {
  const struct {
    const char* value;
    int count;
  } cases[] = {{nullptr, 16}, {"40", 40}, {"1", 1}, {"9999", 9999}, {"10000", 16},
               {"0", 16},     {"-3", 16}, {"many", 16}, {" 20 lines", 20}};
  for (const auto& c : cases) {
    Script(std::string("[UPDATE]\r\n") + (c.value ? std::string("UpdateFileCount=") + c.value + "\r\n" : ""));
    UpdateState.ReportMissingKeys = 0;
    EXPECT_EQ(ReadListCount("UpdateFileCount"), c.count) << (c.value ? c.value : "missing");
    EXPECT_EQ(ReadListCount("RemoveFileCount"), 16) << "each list has its own count";
  }
}

// A removal line is "[mode,]path"; a path that ends in a separator names a
// folder, a double-byte character's second byte never counts as one.
TEST(RemovalLines, ModePathAndFolders) {
  const struct {
    const char* value;
    int has_mode;
    uint32_t mode;
    const char* path;
    bool folder;
  } cases[] = {
      {"old.dat", 0, 0, "old.dat", false},
      {"2, data\\old\\", 1, 2, "data\\old\\", true},
      {".\\", 0, 0, ".\\", true},
      {"12,a", 0, 0, "12", false},
      {"\x95\x5C", 0, 0, "\x95\x5C", false},        // 表: its second byte is 0x5C
      {"\x95\x5C\\", 0, 0, "\x95\x5C\\", true},
      {"", 0, 0, "", false},
  };
  for (const auto& c : cases) {
    RemovalLine line;
    ParseRemovalLine(c.value, &line);
    EXPECT_EQ(line.HasMode, c.has_mode) << c.value;
    EXPECT_EQ(line.Mode, c.mode) << c.value;
    EXPECT_STREQ(line.Path, c.path) << c.value;
    EXPECT_EQ(IsFolderPath(line.Path), c.folder) << c.value;
  }
}

}  // namespace
