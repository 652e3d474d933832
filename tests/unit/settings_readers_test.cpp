// The list tokenizer, the key readers with their missing-key reports, and
// the decimal numbers of the settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/messages.h"
#include "common/text.h"
#include "common/update_state.h"
#include "settings/settings_readers.h"
#include "tests/support/test_files.h"

namespace {

struct Item {
  std::string text;
  int32_t prefix;
  bool operator==(const Item& o) const { return text == o.text && prefix == o.prefix; }
};
std::ostream& operator<<(std::ostream& os, const Item& i) { return os << "'" << i.text << "'/" << i.prefix; }

// Every item of a value, with ListPrefixNumber after each; then checks that
// the list stays ended.
std::vector<Item> Split(const std::string& value) {
  UpdateState.ListPrefixNumber = 0;
  std::vector<Item> items;
  const char* cursor = value.c_str();
  char slot[kListSlotSize];
  while (NextListToken(slot, &cursor)) items.push_back({slot, UpdateState.ListPrefixNumber});
  const char* ended = cursor;
  EXPECT_FALSE(NextListToken(slot, &cursor)) << value;
  EXPECT_EQ(cursor, ended) << "an ended list stays ended";
  return items;
}

TEST(NextListToken, SplitsAtCommasAndLineBreaks) {
  struct Case {
    const char* value;
    std::vector<Item> items;
  } cases[] = {
      {"a,b,c", {{"a", 0}, {"b", 0}, {"c", 0}}},
      {"a,b,", {{"a", 0}, {"b", 0}}},
      {" a ,  b", {{"a ", 0}, {"b", 0}}},
      {"\ta b\t,c", {{"a b\t", 0}, {"c", 0}}},
      {"a,,b", {{"a", 0}}},
      {"a, ,b", {{"a", 0}}},
      {",a", {}},
      {"", {}},
      {"  \t ", {}},
      {"a\r\nb", {{"a", 0}}},  // the line feed after the CR is an empty item
      {"a\nb", {{"a", 0}, {"b", 0}}},
      {"1:a,b,2:c,d", {{"a", 1}, {"b", 1}, {"c", 2}, {"d", 2}}},
      {"x:a", {{"a", 0}}},
      {"C:\\dir", {{"\\dir", 0}}},
      {"1: a", {{" a", 1}}},
      {"1:,b", {{"", 1}, {"b", 1}}},
      {"3:", {{"", 3}}},
      {"12:a", {{"12:a", 0}}},
      {"\x95\x5C\x8E\xA6,\x83\x51\x81\x5B\x83\x80", {{"\x95\x5C\x8E\xA6", 0}, {"\x83\x51\x81\x5B\x83\x80", 0}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.value), c.items) << "value: " << c.value;
}

TEST(NextListToken, KeepsThePrefixNumberUntilTheNextPrefix) {
  UpdateState.ListPrefixNumber = 7;
  const char* cursor = "a";
  char slot[kListSlotSize];
  ASSERT_TRUE(NextListToken(slot, &cursor));
  EXPECT_EQ(UpdateState.ListPrefixNumber, 7) << "never reset by the tokenizer";
}

TEST(NextListToken, CutsAnItemToItsSlotAndGoesOn) {
  std::string value = std::string(300, 'x') + ",next";
  std::vector<Item> items = Split(value);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].text, std::string(259, 'x'));
  EXPECT_EQ(items[1].text, "next");
}

TEST(NextListToken, AValueThatFillsItsBufferEndsCleanly) {
  char value[1024];
  std::string text;
  while (text.size() < 1023) text += "item,";
  text.resize(1023);
  CopyText(value, sizeof value, text.c_str());
  std::vector<Item> items = Split(value);
  EXPECT_EQ(items.size(), 205u);
  EXPECT_EQ(items.back().text, "ite");
}

TEST(SettingNumbers, ConvertLikeTheSystem) {
  struct Case {
    const char* text;
    int32_t number;
  } cases[] = {{"12abc", 12},
               {"abc", 0},
               {"0x10", 0},
               {"-3", -3},
               {"  +42", 42},
               {"\t-0", 0},
               {"2147483647", 2147483647},
               {"2147483648", 2147483647},
               {"-2147483648", -2147483647 - 1},
               {"-99999999999999", -2147483647 - 1},
               {"1 2", 1},
               {"- 5", 0}};
  for (const Case& c : cases) EXPECT_EQ(ParseSettingNumber(c.text), c.number) << c.text;
  EXPECT_EQ(ParseSettingSize("1234567890123456789"), 1234567890123456789ull);
  EXPECT_EQ(ParseSettingSize("-1"), UINT64_MAX);
  EXPECT_EQ(ParseSettingSize("abc"), 0u);
  EXPECT_EQ(ParseSettingSize(" 52428800MB"), 52428800u);
}

class KeyReaderTest : public PlatformTest {
 protected:
  void Setup(const std::string& text) {
    UpdateState.ReportMissingKeys = 1;
    std::string path = folder.Join("SETUP.INI");
    WriteWholeFile(path, text);
    CopyText(UpdateState.SetupIniPath, kPathSize, path.c_str());
    script = text;  // the script reader takes the same text, as payload bytes
    UpdateState.ScriptBytes = reinterpret_cast<const uint8_t*>(script.data());
    UpdateState.ScriptSize = uint32_t(script.size());
  }
  std::string script;
  // The texts, each box checked to be the installer's own error box.
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (auto& b : fake->boxes) {
      EXPECT_EQ(b.caption, "INSTCMMN");
      EXPECT_EQ(b.kind, kBoxOk | kBoxIconError);
      t.push_back(b.text);
    }
    return t;
  }
};

std::string Message(const char* format, const char* a, const char* b = nullptr) {
  char out[1024];
  FormatText(out, sizeof out, format, a, b);
  return out;
}

TEST_F(KeyReaderTest, ReadsValuesAndZeroFillsTheDestination) {
  Setup("[SETUP]\r\nSetupBMP = a.bmp \r\nEmpty=\r\n");
  char value[16];
  memset(value, 'x', sizeof value);
  EXPECT_TRUE(ReadSetupValue("SetupBmp", value, sizeof value));
  EXPECT_STREQ(value, "a.bmp");
  for (size_t i = 6; i < sizeof value; ++i) EXPECT_EQ(value[i], 0) << i;
  memset(value, 'x', sizeof value);
  EXPECT_FALSE(ReadSetupValue("Empty", value, sizeof value));
  for (char c : value) EXPECT_EQ(c, 0);
}

TEST_F(KeyReaderTest, CutsToSizeLessOne) {
  Setup("[SETUP]\r\nKey=0123456789\r\n");
  char value[8];
  EXPECT_TRUE(ReadSetupValue("Key", value, sizeof value));
  EXPECT_STREQ(value, "0123456");
}

TEST_F(KeyReaderTest, ReportsMissingAndEmptyKeysWhileOn) {
  Setup("[SETUP]\r\nEmpty=\r\n[OTHER]\r\nGameDir=x\r\n");
  char value[260];
  EXPECT_FALSE(ReadSetupValue("GameExe", value, sizeof value));
  EXPECT_FALSE(ReadSetupValue("Empty", value, sizeof value));
  EXPECT_FALSE(ReadScriptValue("SETUP", "GameDir", value, sizeof value));
  UpdateState.ReportMissingKeys = 0;
  EXPECT_FALSE(ReadSetupValue("Nothing", value, sizeof value));
  EXPECT_FALSE(ReadScriptValue("UPDATE", "UpdateFile00", value, sizeof value));
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{Message(kMsgSetupKeyMissing, "GameExe"), Message(kMsgSetupKeyMissing, "Empty"),
                                      Message(kMsgScriptKeyMissing, "SETUP", "GameDir")}));
}

TEST_F(KeyReaderTest, MissingFileReadsAsEveryKeyMissing) {
  Setup("");
  CopyText(UpdateState.SetupIniPath, kPathSize, folder.Join("none.ini").c_str());
  char value[20];
  int32_t number = 99;
  EXPECT_FALSE(ReadSetupNumber("InstallSelects", &number));
  EXPECT_EQ(number, 99);
  EXPECT_EQ(Texts(), (std::vector<std::string>{Message(kMsgSetupKeyMissing, "InstallSelects")}));
  EXPECT_FALSE(ReadSetupValue("GameTitle", value, sizeof value));
}

TEST_F(KeyReaderTest, NumbersReadAtMostNineteenBytes) {
  Setup("[SETUP]\r\nBig=1234567890123456789012345\r\nCut=-000000000000000001234\r\nText=abc\r\n");
  int32_t number = 5;
  EXPECT_TRUE(ReadSetupNumber("Big", &number));
  EXPECT_EQ(number, 2147483647);
  EXPECT_TRUE(ReadSetupNumber("Cut", &number));
  EXPECT_EQ(number, -1) << "19 bytes: -000000000000000001";
  EXPECT_TRUE(ReadSetupNumber("Text", &number));
  EXPECT_EQ(number, 0);
}

}  // namespace
