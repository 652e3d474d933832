// The shared text helpers: formatting as wsprintfA does it, the cut-to-size
// rule, the archive's name comparison, and the bytes of every message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "tests/unit/message_originals.h"

#ifndef _WIN32
#include <iconv.h>
#endif

namespace {

std::string Format(const char* format, ...) {
  char out[64];
  va_list args;
  va_start(args, format);
  FormatTextV(out, sizeof out, format, args);
  va_end(args);
  return out;
}

TEST(FormatText, ConversionsOfTheMessages) {
  EXPECT_EQ(Format("%s : %s", "SETUP", "GameDir"), "SETUP : GameDir");
  EXPECT_EQ(Format("UpdateFile%02i", 3), "UpdateFile03");
  EXPECT_EQ(Format("CopyFile%02i", 15), "CopyFile15");
  EXPECT_EQ(Format("%i", -2147483647 - 1), "-2147483648");
  EXPECT_EQ(Format("%I64u", uint64_t(5000000000ull)), "5000000000");
  EXPECT_EQ(Format("%u|%x|%X", 4294967295u, 255u, 255u), "4294967295|ff|FF");
  EXPECT_EQ(Format("[%5s][%-3i][%03i]", "ab", 7, -5), "[   ab][7  ][-05]");
  EXPECT_EQ(Format("100%% %c", 'x'), "100% x");
  EXPECT_EQ(Format("trailing %"), "trailing ");
}

TEST(FormatText, CutsToTheBufferLessOne) {
  char out[8];
  EXPECT_EQ(FormatText(out, sizeof out, "%s", "0123456789"), 7u);
  EXPECT_STREQ(out, "0123456");
  char small[8] = "xxxxxxx";
  EXPECT_EQ(CopyText(small, sizeof small, "abcdefghij"), 7u);
  EXPECT_STREQ(small, "abcdefg");
  char joined[8] = "abc";
  EXPECT_TRUE(AppendText(joined, sizeof joined, "defg"));
  EXPECT_FALSE(AppendText(joined, sizeof joined, "h"));
  EXPECT_STREQ(joined, "abcdefg");
}

TEST(TextEqualNoCase, FoldsAsciiLettersOnly) {
  EXPECT_TRUE(TextEqualNoCase("update.ini", "UPDATE.INI"));
  EXPECT_FALSE(TextEqualNoCase("update.ini", "update.in"));
  EXPECT_FALSE(TextEqualNoCase("a", "a "));
  // 0x83 0x61 (a katakana) must not equal 0x83 0x41: the trail bytes are the
  // ASCII codes of 'a' and 'A' and are never folded.
  EXPECT_FALSE(TextEqualNoCase("\x83\x61.dat", "\x83\x41.dat"));
  EXPECT_TRUE(TextEqualNoCase("\x83\x61.DAT", "\x83\x61.dat"));
  // Full-width letters are double-byte characters and compared exactly.
  EXPECT_FALSE(TextEqualNoCase("\x82\x60", "\x82\x81"));
}

TEST(NextChar, StepsOverDoubleByteCharacters) {
  const char* text =
      "a\x95\x5C"
      "b";  // a, 表 (trail byte 0x5C), b
  EXPECT_EQ(NextChar(text), text + 1);
  EXPECT_EQ(NextChar(text + 1), text + 3);
  const char* cut = "\x95";  // a lead byte at the end stops at the NUL
  EXPECT_EQ(NextChar(cut), cut + 1);
  EXPECT_TRUE(IsLeadByte(0x81) && IsLeadByte(0x9F) && IsLeadByte(0xE0) && IsLeadByte(0xFC));
  EXPECT_FALSE(IsLeadByte(0x80) || IsLeadByte(0xA0) || IsLeadByte(0xDF) || IsLeadByte(0xFD));
}

TEST(PathStaysInside, RefusesEveryWayOutOfTheFolder) {
  const struct {
    const char* path;
    bool inside;
  } kCases[] = {
      {"GAME.EXE", true},
      {"data\\voice\\a.pak", true},
      {"", true},
      {".\\a.dat", true},
      {"a..b\\..c", true},        // dots inside a name are a name
      {"\x95\x5C\\x.dat", true},  // 表: its trail byte 0x5C is no separator
      {"\x95\x5C..\\x.dat", true},
      {"..\\GAME.EXE", false},
      {"data\\..\\..\\GAME.EXE", false},
      {"data/../../GAME.EXE", false},
      {"data\\..", false},
      {"...\\x", false},  // read as ".." by the system
      {".. \\x", false},
      {"\\Windows\\x.dll", false},  // the root of the drive
      {"/etc/x", false},
      {"\\\\server\\share\\x", false},
      {"C:\\Windows\\x.dll", false},
      {"C:x.dll", false},
      {"a.dat:stream", false},
  };
  for (const auto& c : kCases) EXPECT_EQ(PathStaysInside(c.path), c.inside) << c.path;
}

TEST(LastPathComponent, IsAfterTheLastSeparatorOfItsOwn) {
  EXPECT_STREQ(LastPathComponent("Q:\\data\\movie"), "movie");
  EXPECT_STREQ(LastPathComponent("movie"), "movie");
  EXPECT_STREQ(LastPathComponent("data\\movie\\"), "movie\\");  // a trailing separator is no separator of a name
  EXPECT_STREQ(LastPathComponent("a/\x95\x5C"), "\x95\x5C");    // 表: its trail byte 0x5C is no separator
  EXPECT_STREQ(LastPathComponent("\x95\x5Cx"), "\x95\x5Cx");
}

TEST(ForEachFolderOnTheWay, GivesTheFoldersBetweenBaseAndFile) {
  std::vector<std::string> seen;
  auto collect = [](void* context, const char* folder) {
    static_cast<std::vector<std::string>*>(context)->push_back(folder);
  };
  ForEachFolderOnTheWay("C:\\G", "C:\\G\\a\\\x95\x5C\\f.dat", collect, &seen);  // 表 ends in 0x5C
  EXPECT_EQ(seen, (std::vector<std::string>{"C:\\G\\a", "C:\\G\\a\\\x95\x5C"}));
  seen.clear();
  ForEachFolderOnTheWay("C:\\G", "C:\\G\\f.dat", collect, &seen);
  EXPECT_TRUE(seen.empty());
}

TEST(IsAbsolutePath, OnlyADriveWithASeparatorOrAShare) {
  const struct {
    const char* path;
    bool absolute;
  } kCases[] = {
      {"C:\\Games\\X", true},
      {"d:/games", true},
      {"C:\\", true},
      {"\\\\server\\share", true},
      {"\\\\server\\share\\Games", true},
      {"\\\\\x95\x5C\\share", true},  // a server named 表
      {"", false},
      {"Games\\X", false},
      {"C:Games", false},  // the drive's current folder
      {"C:", false},
      {"\\Games", false},  // the current drive's root
      {"/Games", false},
      {"\\\\server", false},
      {"\\\\server\\", false},
      {"\\\\\\share", false},
      {"\\\\.\\C:\\x", false},  // devices
      {"\\\\?\\C:\\x", false},
      {"1:\\x", false},
      {"\x95\x5C:\\x", false},
  };
  for (const auto& c : kCases) EXPECT_EQ(IsAbsolutePath(c.path), c.absolute) << c.path;
}

#ifndef _WIN32
TEST(Messages, AreTheCodePage932BytesOfTheirTexts) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  ASSERT_NE(cd, iconv_t(-1));
  for (const MessageOriginal& m : kMessageOriginals) {
    std::string in = m.utf8;
    char out[1024] = {};
    char* src = in.data();
    char* dst = out;
    size_t left = in.size(), room = sizeof out - 1;
    ASSERT_NE(iconv(cd, &src, &left, &dst, &room), size_t(-1)) << m.name;
    EXPECT_EQ(std::string(out), std::string(m.bytes)) << m.name;
  }
  iconv_close(cd);
}
#endif

TEST(AppendPathComponent, JoinsWithExactlyOneSeparatorAndASecondNul) {
  struct Case {
    const char* path;
    const char* component;
    const char* joined;
  } cases[] = {
      {"", "UPDATE.INI", "UPDATE.INI"},         {"C:\\Temp\\", "UPDATE.INI", "C:\\Temp\\UPDATE.INI"},
      {"C:/Temp/", "a", "C:/Temp/a"},           {"C:\\Games\\X", "SETUP.INI", "C:\\Games\\X\\SETUP.INI"},
      {"C:\\\x95\x5C", "a", "C:\\\x95\x5C\\a"},  // 表 ends in 0x5C but is no separator
      {"C:\\x", "\\lead", "C:\\x\\\\lead"},      // a separator at the start stays
      {"Q:", "data\\a.bin", "Q:\\data\\a.bin"},
  };
  for (const Case& c : cases) {
    char buffer[64];
    memset(buffer, 'x', sizeof buffer);
    strcpy(buffer, c.path);
    ASSERT_EQ(AppendPathComponent(buffer, sizeof buffer, c.component), 1) << c.path;
    EXPECT_STREQ(buffer, c.joined);
    EXPECT_EQ(buffer[strlen(buffer) + 1], '\0') << "second NUL after " << c.joined;
  }
}

TEST(AppendPathComponent, RefusesAJoinThatDoesNotFit) {
  char buffer[12 + 2];
  memset(buffer, 'x', sizeof buffer);
  strcpy(buffer, "C:\\a");  // 4 bytes; "C:\a\bcdefg" is 11, then two NULs: 13 of 14
  ASSERT_EQ(AppendPathComponent(buffer, sizeof buffer, "bcdefg"), 1);
  strcpy(buffer, "C:\\a");
  EXPECT_EQ(AppendPathComponent(buffer, sizeof buffer, "bcdefgh"), 1);  // 12 + 2 = 14
  strcpy(buffer, "C:\\a");
  EXPECT_EQ(AppendPathComponent(buffer, sizeof buffer, "bcdefghi"), 0);
  EXPECT_STREQ(buffer, "C:\\a") << "unchanged";
}

}  // namespace
