// The profile reader: the format rules it promises, and, under Windows (Wine
// in CI) with code page 932, the same bytes and counts as the platform's own
// GetPrivateProfileStringA on generated files.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/cp932_twins.h"
#include "settings/profile_reader.h"
#include "tests/support/test_files.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

class ProfileReaderTest : public PlatformTest {
 protected:
  std::string Read(const std::string& text, const char* section, const char* key, uint32_t size = 260) {
    std::string path = folder.Join("TEST.INI");
    WriteWholeFile(path, text);
    char out[1100];
    memset(out, 'x', sizeof out);
    uint32_t n = ReadProfileString(path.c_str(), section, key, out, size);
    EXPECT_EQ(n, strlen(out)) << "the count is the bytes copied";
    return out;
  }
};

TEST_F(ProfileReaderTest, FollowsTheProfileFormat) {
  struct Case {
    const char* name;
    const char* text;
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"plain", "[SETUP]\r\nGameDir=Hoshi\r\n", "SETUP", "GameDir", "Hoshi"},
      {"blanks around", "  [SETUP]  \r\n\t GameDir \t=  a b  \r\n", "SETUP", "GameDir", "a b"},
      {"case of names", "[setup]\r\nSETUPBMP=x\r\n", "SETUP", "SetupBmp", "x"},
      {"requested names trimmed", "[SETUP]\r\nKey=v\r\n", " SETUP ", " Key ", "v"},
      {"LF endings", "[SETUP]\nA=1\nB=2\n", "SETUP", "B", "2"},
      {"no final line break", "[SETUP]\r\nA=last", "SETUP", "A", "last"},
      {"first equals sign", "[SETUP]\r\nA=b=c\r\n", "SETUP", "A", "b=c"},
      {"key given twice", "[SETUP]\r\nA=first\r\nA=second\r\n", "SETUP", "A", "first"},
      {"section given twice", "[SETUP]\r\nA=1\r\n[SETUP]\r\nB=2\r\n", "SETUP", "B", ""},
      {"other section", "[UPDATE]\r\nA=1\r\n[SETUP]\r\nB=2\r\n", "SETUP", "A", ""},
      {"blank inside brackets", "[ SETUP ]\r\nA=1\r\n", "SETUP", "A", ""},
      {"comment line", "[SETUP]\r\n;A=commented\r\nA=real\r\n", "SETUP", "A", "real"},
      {"double quotes", "[SETUP]\r\nA=\"  spaced  \"\r\n", "SETUP", "A", "  spaced  "},
      {"single quotes", "[SETUP]\r\nA='x'\r\n", "SETUP", "A", "x"},
      {"one quote", "[SETUP]\r\nA=\"\r\n", "SETUP", "A", "\""},
      {"unmatched quotes", "[SETUP]\r\nA=\"x'\r\n", "SETUP", "A", "\"x'"},
      {"empty quotes", "[SETUP]\r\nA=\"\"\r\n", "SETUP", "A", ""},
      {"line without equals", "[SETUP]\r\nA\r\n", "SETUP", "A", ""},
      {"section without bracket end", "[SETUP]\r\n[BROKEN\r\nA=1\r\n", "SETUP", "A", "1"},
      {"before any section", "A=top\r\n[SETUP]\r\n", "", "A", "top"},
      {"shift-jis value", "[SETUP]\r\nGameTitle=\x90\xAF\x82\xCC\x8D\x71\x98\x48\r\n", "SETUP", "GameTitle",
       "\x90\xAF\x82\xCC\x8D\x71\x98\x48"},
      {"trail byte 0x5C", "[SETUP]\r\nA=\x95\x5C\\\r\n", "SETUP", "A", "\x95\x5C\\"},
      {"byte-order mark", "\xEF\xBB\xBF[SETUP]\r\nA=1\r\n", "SETUP", "A", "1"},
      {"Ctrl-Z at the end", "[SETUP]\r\nA=1\r\n\x1A", "SETUP", "A", "1"},
      {"lone CR ends a line", "[SETUP]\rA=1\rB=2", "SETUP", "A", "1"},
  };
  for (const Case& c : cases) EXPECT_EQ(Read(c.text, c.section, c.key), c.value) << c.name;
}

// A trail byte is no letter: ア (83 41) and ヂ (83 61) name two keys, while
// the two codes of one character name one.
TEST_F(ProfileReaderTest, DoubleByteNamesByTheirCharacters) {
  std::string path = folder.Join("N.INI");
  WriteWholeFile(path, "[S]\r\n\x83\x41=a\r\n\x87\x54=one\r\n");
  char value[16];
  ReadProfileString(path.c_str(), "s", "\x83\x61", value, sizeof value);
  EXPECT_STREQ(value, "");
  ReadProfileString(path.c_str(), "s", "\x83\x41", value, sizeof value);
  EXPECT_STREQ(value, "a");
  ReadProfileString(path.c_str(), "S", "\xFA\x4A", value, sizeof value);
  EXPECT_STREQ(value, "one");
}

TEST_F(ProfileReaderTest, CutsValuesToSizeLessOne) {
  EXPECT_EQ(Read("[S]\r\nA=0123456789\r\n", "S", "A", 5), "0123");
  EXPECT_EQ(Read("[S]\r\nA=0123456789\r\n", "S", "A", 11), "0123456789");
  EXPECT_EQ(Read("[S]\r\nA=0123456789\r\n", "S", "A", 1), "");
  EXPECT_EQ(Read("[S]\r\nA=\"0123\"\r\n", "S", "A", 4), "012");
}

TEST_F(ProfileReaderTest, NulByteEndsTheValue) {
  EXPECT_EQ(Read(std::string("[S]\r\nA=ab\0cd\r\n", 14), "S", "A"), "ab");
}

TEST_F(ProfileReaderTest, MissingFileGivesNothing) {
  char out[16] = "x";
  EXPECT_EQ(ReadProfileString(folder.Join("none.ini").c_str(), "SETUP", "A", out, sizeof out), 0u);
  EXPECT_STREQ(out, "");
}

#ifdef _WIN32

// Random INI files made of the forms that both readers understand alike.
std::string GenerateIni(std::mt19937& rng) {
  const char* sections[] = {"SETUP", "setup", "UPDATE", "Other", "SeTuP"};
  const char* keys[] = {"GameTitle", "GAMETITLE", "SetupBmp", "UpdateFile00", "CopyFile01", "A", "Key With Blank"};
  const char* values[] = {"plain",
                          "  padded  ",
                          "\"quoted value\"",
                          "'single'",
                          "a,b,,c",
                          "1:x,2:y",
                          "\x90\xAF\x82\xCC\x8D\x71\x98\x48",
                          "\x95\x5C\\path\\\x95\x5C",
                          "=lead",
                          "",
                          "\"",
                          "50%",
                          "x=y=z",
                          "\t\ttabbed\t"};
  const char* eol = (rng() % 2) ? "\r\n" : "\n";
  std::string text;
  int lines = 3 + int(rng() % 25);
  for (int i = 0; i < lines; ++i) {
    switch (rng() % 9) {
      case 0: text += std::string(rng() % 2 ? " [" : "[") + sections[rng() % 5] + "]"; break;
      case 1: text += std::string(";") + keys[rng() % 7] + "=comment"; break;
      case 2: text += ""; break;
      case 3: {
        std::string long_value(100 + rng() % 1100, 'L');
        for (size_t k = 0; k + 1 < long_value.size(); k += 7) long_value[k] = char('a' + rng() % 26);
        text += std::string(keys[rng() % 7]) + "=" + long_value;
        break;
      }
      case 4: {
        std::string sjis;  // whole double-byte characters only
        for (int k = 0, n = 50 + int(rng() % 600); k < n; ++k) sjis += (k % 3) ? "\x82\xA0" : "\x8A\xBF";
        text += std::string(keys[rng() % 7]) + "=" + sjis;
        break;
      }
      default:
        text += std::string(rng() % 3 ? "" : "  ") + keys[rng() % 7] + (rng() % 2 ? "=" : " = ") + values[rng() % 14];
    }
    if (i + 1 < lines || rng() % 2) text += eol;
  }
  return text;
}

TEST_F(ProfileReaderTest, MatchesGetPrivateProfileStringA) {
  if (GetACP() != 932) GTEST_SKIP() << "needs the Japanese code page (LANG=ja_JP.UTF-8)";
  std::mt19937 rng(20261209);
  const char* sections[] = {"SETUP", "UPDATE", "Other", "missing"};
  const char* keys[] = {"GameTitle", "SetupBmp", "UpdateFile00", "CopyFile01", "A", "Key With Blank", "none"};
  const uint32_t sizes[] = {1, 2, 5, 13, 20, 260, 1024};
  int same = 0, differences = 0;
  for (int file = 0; file < 150; ++file) {
    std::string text = GenerateIni(rng);
    std::string path = folder.Join("GEN" + std::to_string(file) + ".INI");
    WriteWholeFile(path, text);
    for (const char* section : sections) {
      for (const char* key : keys) {
        for (uint32_t size : sizes) {
          char ours[1024], theirs[1024];
          memset(ours, 0x7F, sizeof ours);
          memset(theirs, 0x7F, sizeof theirs);
          uint32_t n = ReadProfileString(path.c_str(), section, key, ours, size);
          DWORD m = GetPrivateProfileStringA(section, key, "", theirs, size, path.c_str());
          std::string o(ours, n), t(theirs, m);
          if (o == t && n == m) {
            ++same;
            continue;
          }
          bool cut = n == size - 1 && o.compare(0, n - 1, t, 0, n - 1) == 0;
          // Where the cut splits a double-byte character, Wine counts the
          // lead byte but leaves its place in the buffer unwritten (the
          // conversion of that character fails). We keep the lead byte, so
          // the value is still its first size - 1 bytes.
          bool split_character = cut && m == n && theirs[n - 1] == 0x7F;
          // A quoted value whose unquoted rest is exactly `size` long: Wine
          // removes the closing quote from a copy that never held it, and
          // so loses the last character. We keep it.
          bool quote_quirk = cut && m + 1 == n && (t + o.back()) == o;
          ASSERT_TRUE(split_character || quote_quirk) << "file:\n"
                                                      << text << "\nsection " << section << " key " << key << " size "
                                                      << size << "\nours   " << o << "\ntheirs " << t;
          ++differences;
        }
      }
    }
  }
  EXPECT_GT(same, 20000);
  EXPECT_LT(differences, same / 20) << "only the two explained cases differ";
}

// Section and key names compared as the platform compares them: each pair
// is a name as the file spells it and a name as it is asked for, in code
// page 932. The platform's reader takes both to Unicode and compares them
// without regard to case; a trail byte that happens to be an ASCII letter
// is never a letter of its own.
TEST_F(ProfileReaderTest, NamesCompareAsThePlatformComparesThem) {
  if (GetACP() != 932) GTEST_SKIP() << "needs the Japanese code page (LANG=ja_JP.UTF-8)";
  const char* const kPairs[][2] = {
      {"Setup", "SETUP"},            // ASCII letters: one name
      {"\x83\x41", "\x83\x61"},      // ア and ヂ: trail bytes 41 and 61, two names
      {"\x82\x60", "\x82\x81"},      // full-width Ａ and ａ
      {"\x83\x9F", "\x83\xBF"},      // Greek Α and α
      {"\x84\x40", "\x84\x70"},      // Cyrillic А and а
      {"\x84\x60", "\x84\x91"},      // Cyrillic Я and я
      {"\x87\x54", "\xFA\x4A"},      // Roman numeral one, NEC and IBM codes
      {"\x87\x54", "\xEE\xEF"},      // Ⅰ and ⅰ
      {"\x95\x5C", "\x95\x7C"},      // 表 (trail byte 5C) and another character
      {"a\x83\x41b", "A\x83\x61B"},  // a mixed name
      {"\x82\xA0", "\x82\xA0"},      // the same character
      {"\x81\xE0", "\x87\x90"},      // ≒ of the symbols and of NEC row 13
      {"\xEE\xEC", "\xFC\x4B"},      // a kanji of both extensions
  };
  for (const auto& pair : kPairs) {
    for (bool as_section : {true, false}) {
      std::string path = folder.Join("NAMES.INI");
      std::string text = as_section ? std::string("[") + pair[0] + "]\r\nKey=found\r\n"
                                    : std::string("[S]\r\n") + pair[0] + "=found\r\n";
      WriteWholeFile(path, text);
      const char* section = as_section ? pair[1] : "S";
      const char* key = as_section ? "Key" : pair[1];
      char ours[64] = "", theirs[64] = "";
      ReadProfileString(path.c_str(), section, key, ours, sizeof ours);
      GetPrivateProfileStringA(section, key, "", theirs, sizeof theirs, path.c_str());
      EXPECT_STREQ(ours, theirs) << (as_section ? "section " : "key ") << testing::PrintToString(pair[0])
                                 << " asked as " << testing::PrintToString(pair[1]);
    }
  }
  // Every code that stands for a character with another code, and the code
  // after it, as key names.
  std::string path = folder.Join("TWINS.INI");
  for (const Cp932Twin& twin : kCp932Twins) {
    for (uint32_t asked : {uint32_t(twin.SameAs), uint32_t(twin.Code + 1)}) {
      char written[3] = {char(twin.Code >> 8), char(twin.Code & 0xFF), 0};
      char key[3] = {char(asked >> 8), char(asked & 0xFF), 0};
      WriteWholeFile(path, std::string("[S]\r\n") + written + "=found\r\n");
      char ours[16] = "", theirs[16] = "";
      ReadProfileString(path.c_str(), "S", key, ours, sizeof ours);
      GetPrivateProfileStringA("S", key, "", theirs, sizeof theirs, path.c_str());
      EXPECT_STREQ(ours, theirs) << std::hex << twin.Code << " asked as " << asked;
    }
  }
}

// A SETUP.INI that another program (an editor, the game's launcher) holds
// open for writing reads as it does for the platform's own reader.
TEST_F(ProfileReaderTest, ReadsAFileAnotherProgramHoldsOpenForWriting) {
  std::string path = folder.Join("SETUP.INI");
  WriteWholeFile(path, "[SETUP]\r\nGameTitle=held\r\n");
  for (DWORD share : {DWORD(FILE_SHARE_READ), DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
    HANDLE held =
        CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    char ours[64] = "", theirs[64] = "";
    ReadProfileString(path.c_str(), "SETUP", "GameTitle", ours, sizeof ours);
    GetPrivateProfileStringA("SETUP", "GameTitle", "", theirs, sizeof theirs, path.c_str());
    CloseHandle(held);
    EXPECT_STREQ(theirs, "held") << "share mode " << share;
    EXPECT_STREQ(ours, "held") << "share mode " << share;
  }
}

#endif

}  // namespace
