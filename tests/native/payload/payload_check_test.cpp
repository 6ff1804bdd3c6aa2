// The check of the executable: word sum and the structure of the chain, in
// memory and when loading through the executable file object.
#include <gtest/gtest.h>

#include "base/app_state.h"
#include "base/payload.h"
#include "base/payload_pack.h"
#include "payload_builders.h"

namespace {

std::vector<uint8_t> PackedThree() {
  std::vector<uint8_t> out;
  std::string error;
  EXPECT_TRUE(PackPayload(ProgramImage(64), {PatternImage(24, 1), PatternImage(40, 2), PatternImage(16, 3)},
                          &out, &error))
      << error;
  return out;
}

// program | marker | sizes given | check word, each image filled with its tag.
std::vector<uint8_t> HandMade(uint32_t program_size, const std::vector<uint32_t>& sizes,
                              uint32_t marker = kStartMarker) {
  std::vector<uint8_t> bytes = ProgramImage(program_size);
  AppendWord(bytes, marker);
  for (uint32_t s : sizes) {
    for (uint32_t i = 0; i < s / 4; ++i) AppendWord(bytes, 0x11111111u * (i % 15 + 1));
    AppendWord(bytes, s);
  }
  AppendWord(bytes, 0);
  FixCheckWord(bytes);
  return bytes;
}

bool Intact(const std::vector<uint8_t>& b) { return PayloadIntact(b.data(), static_cast<uint32_t>(b.size())); }

}  // namespace

TEST(PayloadCheck, EverySingleChangedByteIsCaught) {
  std::vector<uint8_t> file = PackedThree();
  ASSERT_TRUE(Intact(file));
  for (size_t i = 0; i < file.size(); ++i) {
    for (uint8_t flip : {0x01, 0x80, 0xFF}) {
      file[i] ^= flip;
      EXPECT_FALSE(Intact(file)) << "byte " << i << " flipped with " << int(flip);
      file[i] ^= flip;
    }
  }
  ASSERT_TRUE(Intact(file));
}

TEST(PayloadCheck, AChangedProgramByteWithAMatchingCheckWordPasses) {
  std::vector<uint8_t> file = PackedThree();
  file[5] ^= 0x40;
  EXPECT_FALSE(Intact(file));
  FixCheckWord(file);
  EXPECT_TRUE(Intact(file));
}

TEST(PayloadCheck, WordSumWrapsModulo32Bits) {
  std::vector<uint8_t> b;
  AppendWord(b, 0xFFFFFFFFu);
  AppendWord(b, 0xFFFFFFFFu);
  AppendWord(b, 2);
  EXPECT_EQ(WordSum(b.data(), 12), 0u);
  EXPECT_EQ(WordSum(b.data(), 8), 0xFFFFFFFEu);
}

TEST(PayloadCheck, PayloadWithoutImagesIsIntactAndEmpty) {
  std::vector<uint8_t> file = HandMade(16, {});
  EXPECT_TRUE(Intact(file));
  std::vector<ImageSpan> spans{{1, 2}};
  EXPECT_EQ(WalkPayload(file.data(), static_cast<uint32_t>(file.size()), &spans), 0);
  EXPECT_TRUE(spans.empty());
}

// Each of these has a zero word sum; only the structure is wrong.
TEST(PayloadCheck, MalformedChainsAreDamaged) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;

  for (int extra = 1; extra <= 3; ++extra) {
    std::vector<uint8_t> b = HandMade(16, {8});
    b.insert(b.end() - 4, static_cast<size_t>(extra), uint8_t{0});
    cases.push_back({"length not a multiple of 4", b});
  }
  {
    std::vector<uint8_t> b;
    AppendWord(b, kStartMarker);
    AppendWord(b, 1);
    cases.push_back({"shorter than marker, size word and check word", b});
  }
  {
    std::vector<uint8_t> b = HandMade(16, {8});
    PutWord(b, b.size() - 8, 0);
    FixCheckWord(b);
    cases.push_back({"size word 0", b});
  }
  {
    std::vector<uint8_t> b = HandMade(16, {8, 8});
    PutWord(b, b.size() - 8, 6);
    FixCheckWord(b);
    cases.push_back({"size word not a multiple of 4", b});
  }
  {
    std::vector<uint8_t> b = HandMade(16, {8});
    PutWord(b, b.size() - 8, static_cast<uint32_t>(b.size()));
    FixCheckWord(b);
    cases.push_back({"size reaching before the start of the file", b});
  }
  {
    // The image would start at offset 0: no room for the word in front of it.
    std::vector<uint8_t> b = HandMade(0, {8});
    PutWord(b, b.size() - 8, 12);
    FixCheckWord(b);
    cases.push_back({"image starting at offset 0", b});
  }
  {
    std::vector<uint8_t> b = HandMade(16, {8, 8}, 0x12345678u);
    cases.push_back({"chain not ending at a start marker", b});
  }
  {
    std::vector<uint32_t> sizes(kMaxPayloadImages + 1, 4);
    cases.push_back({"more than 100 images", HandMade(8, sizes)});
  }

  for (const Case& c : cases) {
    if (c.bytes.size() % 4 == 0) {
      ASSERT_EQ(WordSum(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), 0u) << c.what;
    }
    EXPECT_FALSE(Intact(c.bytes)) << c.what;
    EXPECT_NE(PayloadProblem(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), nullptr) << c.what;
    std::vector<ImageSpan> spans;
    EXPECT_EQ(WalkPayload(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()), &spans), -1) << c.what;
    EXPECT_TRUE(spans.empty()) << c.what;
  }
}

TEST(PayloadCheck, OneHundredImagesAreTheLimit) {
  std::vector<uint32_t> sizes(kMaxPayloadImages, 4);
  std::vector<uint8_t> file = HandMade(8, sizes);
  EXPECT_TRUE(Intact(file));
  EXPECT_EQ(WalkPayload(file.data(), static_cast<uint32_t>(file.size()), nullptr), kMaxPayloadImages);
}

TEST(PayloadCheck, ProblemTextNamesTheSumWhenOnlyTheSumIsWrong) {
  std::vector<uint8_t> file = PackedThree();
  EXPECT_EQ(PayloadProblem(file.data(), static_cast<uint32_t>(file.size())), nullptr);
  file[0] ^= 1;
  EXPECT_STREQ(PayloadProblem(file.data(), static_cast<uint32_t>(file.size())),
               "the word sum of the file is not zero");
}

// --- Load and check through the executable file object ---

namespace {

// A file object that hands out at most `step` bytes per read and can stop
// short, as a failing disk would.
class ChoppyFile : public MemoryExeFile {
 public:
  ChoppyFile(std::vector<uint8_t> bytes, uint32_t step, uint32_t stop_after)
      : MemoryExeFile(std::move(bytes)), step_(step), stop_after_(stop_after) {}
  uint32_t Read(void* buffer, uint32_t n) override {
    if (delivered_ >= stop_after_) return 0;
    uint32_t want = n < step_ ? n : step_;
    if (want > stop_after_ - delivered_) want = stop_after_ - delivered_;
    const uint32_t got = MemoryExeFile::Read(buffer, want);
    delivered_ += got;
    return got;
  }

 private:
  uint32_t step_, stop_after_, delivered_ = 0;
};

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override { SetAppState(&state_); }
  void TearDown() override { SetAppState(nullptr); }
  UpdateState state_;
};

}  // namespace

TEST_F(LoadTest, IntactFileIsHeldWholeInTheContents) {
  const std::vector<uint8_t> bytes = PackedThree();
  ChoppyFile file(bytes, 7, UINT32_MAX);
  ASSERT_TRUE(file.Seek(13));  // the load reads from the start wherever the file stands
  EXPECT_EQ(LoadAndCheck(file), LoadResult::Intact);
  ASSERT_EQ(state_.executable_size, bytes.size());
  EXPECT_EQ(std::memcmp(state_.executable_contents.get(), bytes.data(), bytes.size()), 0);
}

TEST_F(LoadTest, WrongSumAndMalformedChainAreDamaged) {
  std::vector<uint8_t> bytes = PackedThree();
  bytes[bytes.size() / 2] ^= 4;
  MemoryExeFile file(bytes);
  EXPECT_EQ(LoadAndCheck(file), LoadResult::Damaged);
  EXPECT_EQ(state_.executable_size, bytes.size());

  MemoryExeFile odd(std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0, 0});
  EXPECT_EQ(LoadAndCheck(odd), LoadResult::Damaged);
  MemoryExeFile empty(std::vector<uint8_t>{});
  EXPECT_EQ(LoadAndCheck(empty), LoadResult::Damaged);
}

TEST_F(LoadTest, FileThatCannotBeReadWholeIsReadFailed) {
  const std::vector<uint8_t> bytes = PackedThree();
  ChoppyFile short_read(bytes, 1024, static_cast<uint32_t>(bytes.size() - 1));
  EXPECT_EQ(LoadAndCheck(short_read), LoadResult::ReadFailed);
  EXPECT_EQ(state_.executable_contents, nullptr);
  EXPECT_EQ(state_.executable_size, 0u);

  MemoryExeFile closed;
  EXPECT_EQ(LoadAndCheck(closed), LoadResult::ReadFailed);
}
