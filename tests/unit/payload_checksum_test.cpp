// The payload's checksum: the hash against the reference implementation's
// figures, the record's parsing, and the start-up refusing a damaged payload
// before it writes anything.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/payload_checksum.h"
#include "common/messages.h"
#include "common/update_state.h"
#include "flow/updater_main.h"
#include "tests/support/test_files.h"

namespace {

// The published vectors ("" and "abc"), and lengths that take every path of
// the hash (tail bytes, a 4-byte tail, 8-byte tails, one and several 32-byte
// stripes) over the bytes (131 * i + 7) mod 256, as xxhsum -H1 gives them.
TEST(Xxh64Test, MatchesTheReferenceFigures) {
  EXPECT_EQ(Xxh64("", 0, 0), 0xEF46DB3751D8E999ull);
  EXPECT_EQ(Xxh64("abc", 3, 0), 0x44BC2CF5AD770999ull);
  std::vector<uint8_t> pattern(4096);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 131 + 7);
  const struct {
    size_t size;
    uint64_t digest;
  } kFigures[] = {
      {1, 0xa96c7f0ce858bbb7ull},    {4, 0xfa212ae44b3bb23dull},  {8, 0x994b676b71ce94ddull},
      {12, 0xb92f588ce720786eull},   {31, 0x6711d55e306b5d8full}, {32, 0x07f7b8e3bc5d6e25ull},
      {33, 0x09f85eeb4e1cbe9full},   {64, 0x50d4159a0411632eull}, {95, 0x928c35b989d3c594ull},
      {4096, 0xcf05adf75aca30cfull},
  };
  for (const auto& f : kFigures) EXPECT_EQ(Xxh64(pattern.data(), f.size, 0), f.digest) << f.size << " bytes";
}

TEST(Xxh64Test, NoticesEverySingleBitFlipOfAStripe) {
  std::vector<uint8_t> bytes(100, 0x5A);
  uint64_t good = Xxh64(bytes.data(), bytes.size(), 0);
  for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    bytes[bit / 8] ^= uint8_t(1 << (bit % 8));
    EXPECT_NE(Xxh64(bytes.data(), bytes.size(), 0), good) << "bit " << bit;
    bytes[bit / 8] ^= uint8_t(1 << (bit % 8));
  }
}

std::vector<uint8_t> RecordOf(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> record(kChecksumRecordSize);
  MakeChecksumRecord(image.data(), uint32_t(image.size()), record.data());
  return record;
}

TEST(ChecksumRecordTest, RoundTripsAndRefusesWhatItDoesNotKnow) {
  std::vector<uint8_t> image = {1, 2, 3, 4, 5};
  std::vector<uint8_t> record = RecordOf(image);
  ChecksumRecord parsed;
  ASSERT_TRUE(ParseChecksumRecord(record.data(), uint32_t(record.size()), &parsed));
  EXPECT_EQ(parsed.ImageSize, 5u);
  EXPECT_EQ(parsed.Digest, Xxh64(image.data(), image.size(), 0));
  EXPECT_TRUE(PayloadMatchesChecksum(image.data(), 5, record.data(), uint32_t(record.size())));

  struct Damage {
    const char* what;
    std::vector<uint8_t> record;
  };
  std::vector<Damage> damages;
  damages.push_back({"truncated", {record.begin(), record.end() - 1}});
  damages.push_back({"one byte too long", record});
  damages.back().record.push_back(0);
  damages.push_back({"empty", {}});
  damages.push_back({"another magic", record});
  damages.back().record[0] = 'X';
  damages.push_back({"unknown version", record});
  damages.back().record[kChecksumVersionAt] = 2;
  damages.push_back({"unknown algorithm", record});
  damages.back().record[kChecksumAlgorithmAt] = 7;
  for (const Damage& d : damages) {
    EXPECT_FALSE(PayloadMatchesChecksum(image.data(), 5, d.record.data(), uint32_t(d.record.size()))) << d.what;
  }
}

TEST(ChecksumRecordTest, RefusesAnotherLengthOrAnotherDigest) {
  std::vector<uint8_t> image(64, 9);
  std::vector<uint8_t> record = RecordOf(image);
  // The same bytes cut short (a truncated download) or padded.
  EXPECT_FALSE(PayloadMatchesChecksum(image.data(), 63, record.data(), kChecksumRecordSize));
  image.push_back(0);
  EXPECT_FALSE(PayloadMatchesChecksum(image.data(), 65, record.data(), kChecksumRecordSize));
  image.pop_back();
  image[40] ^= 0x10;
  EXPECT_FALSE(PayloadMatchesChecksum(image.data(), 64, record.data(), kChecksumRecordSize));
  image[40] ^= 0x10;
  record[kChecksumDigestAt + 3] ^= 0x01;
  EXPECT_FALSE(PayloadMatchesChecksum(image.data(), 64, record.data(), kChecksumRecordSize));
}

// The start-up with a payload damaged in a stored entry's bytes, which the
// archive's own structure cannot notice.
class DamagedPayloadTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    const std::string script =
        "[SETUP]\r\nCompanyName=Co\r\nGameTitle=Title\r\nGameClass=Class\r\nGameDir=Dir\r\n"
        "[UPDATE]\r\nUpdateFile00=GAME.EXE\r\n";
    std::string error;
    fake->payload =
        BuildArchive({{"UPDATE.INI", {script.begin(), script.end()}, 133000000000000000ull, false}}, {}, &error);
    fake->has_payload = true;
    fake->checksum = RecordOf(fake->payload);
    fake->has_checksum = true;
  }
  void FlipScriptBit() { fake->payload[16 + 20] ^= 0x20; }  // "GameTitle" and so on: still a valid script
};

TEST_F(DamagedPayloadTest, IsRefusedBeforeAnythingIsWritten) {
  FlipScriptBit();
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  ASSERT_EQ(fake->boxes.size(), 1u);
  EXPECT_EQ(fake->boxes[0].text, kMsgResourceReadError);
  EXPECT_EQ(fake->boxes[0].caption, "UPDATE");
  EXPECT_EQ(fake->allocs, 0) << "not even the directory was decoded";
}

TEST_F(DamagedPayloadTest, AMalformedRecordIsRefusedToo) {
  fake->checksum.resize(kChecksumRecordSize - 4);
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  ASSERT_EQ(fake->boxes.size(), 1u);
  EXPECT_EQ(fake->boxes[0].text, kMsgResourceReadError);
}

TEST_F(DamagedPayloadTest, WithoutARecordTheDamageGoesUnnoticed) {
  // The twin of the first test: the same damage, no record, and the start-up
  // reads the damaged script (it finds no installation record here).
  FlipScriptBit();
  fake->has_checksum = false;
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  ASSERT_FALSE(fake->boxes.empty());
  EXPECT_NE(fake->boxes[0].text, kMsgResourceReadError);
}

TEST_F(DamagedPayloadTest, AnIntactPayloadPassesTheCheck) {
  EXPECT_EQ(UpdaterMain(nullptr), 0);
  ASSERT_FALSE(fake->boxes.empty());
  EXPECT_NE(fake->boxes[0].text, kMsgResourceReadError);  // it got as far as the installation record
}

}  // namespace
