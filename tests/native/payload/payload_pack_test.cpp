// Building updaters and sample firmware.
#include <gtest/gtest.h>

#include "base/payload.h"
#include "base/payload_pack.h"
#include "payload_builders.h"

TEST(PackPayload, LaysOutPaddedProgramMarkerScrambledImagesSizesAndCheckWord) {
  const std::vector<uint8_t> program = ProgramImage(5);
  const std::vector<uint8_t> a = PatternImage(8, 1), b = PatternImage(4, 2);
  std::vector<uint8_t> out;
  std::string error;
  ASSERT_TRUE(PackPayload(program, {a, b}, &out, &error)) << error;

  ASSERT_EQ(out.size(), 8u + 4 + 8 + 4 + 4 + 4 + 4);
  EXPECT_TRUE(std::equal(program.begin(), program.end(), out.begin()));
  EXPECT_EQ(out[5], 0);
  EXPECT_EQ(out[6], 0);
  EXPECT_EQ(out[7], 0);
  EXPECT_EQ(ReadLe32(&out[8]), kStartMarker);
  EXPECT_EQ(ReadLe32(&out[12]), ReadLe32(&a[0]) ^ kImageKey);
  EXPECT_EQ(ReadLe32(&out[16]), ReadLe32(&a[4]) ^ kImageKey);
  EXPECT_EQ(ReadLe32(&out[20]), 8u);
  EXPECT_EQ(ReadLe32(&out[24]), ReadLe32(&b[0]) ^ kImageKey);
  EXPECT_EQ(ReadLe32(&out[28]), 4u);
  EXPECT_EQ(WordSum(out.data(), static_cast<uint32_t>(out.size())), 0u);
  EXPECT_TRUE(PayloadIntact(out.data(), static_cast<uint32_t>(out.size())));
}

TEST(PackPayload, RefusesBadInputAndLeavesTheOutputAlone) {
  const std::vector<uint8_t> program = ProgramImage(64);
  std::vector<uint8_t> packed;
  std::string error;
  ASSERT_TRUE(PackPayload(program, {PatternImage(8, 1)}, &packed, &error));

  struct Case {
    const char* what;
    std::vector<uint8_t> program;
    std::vector<std::vector<uint8_t>> images;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"empty image", program, {PatternImage(8, 1), {}}, "image 2 is empty"},
      {"odd image", program, {PatternImage(10, 1)}, "image 1 is 10 bytes, not a multiple of 4"},
      {"too many", program, std::vector<std::vector<uint8_t>>(101, PatternImage(4, 1)), "at most 100"},
      {"packed twice", packed, {PatternImage(8, 1)}, "already carries a firmware payload"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out{1, 2, 3};
    error.clear();
    EXPECT_FALSE(PackPayload(c.program, c.images, &out, &error)) << c.what;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3})) << c.what;
  }

  std::vector<uint8_t> out;
  EXPECT_TRUE(PackPayload(program, std::vector<std::vector<uint8_t>>(100, PatternImage(4, 1)), &out, &error));
}

TEST(SampleFirmware, CarriesItsNameWhereTheDirectoryLooks) {
  const std::vector<uint8_t> big = MakeSampleFirmware("K53R-PX", "1.94", 0x80000, 7);
  ASSERT_EQ(big.size(), 0x80000u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&big[0xFFD0]), 8), "Korvadyn");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&big[0xFFE2]), 15), std::string("K53R-PX   1.94\0", 15));

  const std::vector<uint8_t> small = MakeSampleFirmware("K53R-TX-LONGER", "208WX", 0x800, 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&small[0x52]), 14), "K53R-TX-LO208W");

  // Content follows the seed.
  EXPECT_EQ(MakeSampleFirmware("M", "1", 0x1000, 3), MakeSampleFirmware("M", "1", 0x1000, 3));
  EXPECT_NE(MakeSampleFirmware("M", "1", 0x1000, 3), MakeSampleFirmware("M", "1", 0x1000, 4));

  EXPECT_TRUE(MakeSampleFirmware("M", "1", 0x5C, 1).empty());
  EXPECT_TRUE(MakeSampleFirmware("M", "1", 0x102, 1).empty());
  EXPECT_EQ(MakeSampleFirmware("M", "1", kMinSampleFirmwareSize, 1).size(), kMinSampleFirmwareSize);
}
