// Finding and reading images through the executable file object: count,
// walk, descrambled read and the image names.
#include <gtest/gtest.h>

#include "base/payload.h"
#include "base/payload_pack.h"
#include "payload_builders.h"

namespace {

struct Packed {
  std::vector<uint8_t> bytes;
  std::vector<std::vector<uint8_t>> images;  // in file order
};

Packed PackImages(std::vector<std::vector<uint8_t>> images, uint32_t program_size = 100) {
  Packed p;
  std::string error;
  EXPECT_TRUE(PackPayload(ProgramImage(program_size), images, &p.bytes, &error)) << error;
  p.images = std::move(images);
  return p;
}

std::string NameOf(MemoryExeFile& file, const ImageSpan& span) {
  char name[15];
  std::memset(name, 'X', sizeof name);
  ReadImageName(file, span, name);
  return name;
}

}  // namespace

TEST(PayloadWalk, ThreeImagesAreCountedAndWalkedLastFirst) {
  Packed p = PackImages({PatternImage(24, 1), PatternImage(40, 2), PatternImage(16, 3)});
  MemoryExeFile file(p.bytes);
  EXPECT_EQ(CountImages(file), 3);

  std::vector<ImageSpan> spans{{7, 7}};
  ASSERT_EQ(WalkImages(file, &spans), 3);
  ASSERT_EQ(spans.size(), 3u);
  // Program 100 bytes (padded to 100), marker at 100, the first image at 104.
  EXPECT_EQ(spans[2].offset, 104u);
  EXPECT_EQ(spans[2].size, 24u);
  EXPECT_EQ(spans[1].offset, 104u + 24 + 4);
  EXPECT_EQ(spans[1].size, 40u);
  EXPECT_EQ(spans[0].offset, 104u + 24 + 4 + 40 + 4);
  EXPECT_EQ(spans[0].size, 16u);
  EXPECT_EQ(spans[0].offset + spans[0].size + 8, p.bytes.size());

  std::vector<ImageSpan> in_memory;
  EXPECT_EQ(WalkPayload(p.bytes.data(), static_cast<uint32_t>(p.bytes.size()), &in_memory), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(in_memory[i].offset, spans[i].offset);
    EXPECT_EQ(in_memory[i].size, spans[i].size);
  }
}

TEST(PayloadWalk, UncheckedFilesNeverLoopOrLeaveTheFile) {
  // Size word 0 in front of the check word: nothing to walk.
  std::vector<uint8_t> zero(64, 0);
  MemoryExeFile f1(zero);
  EXPECT_EQ(CountImages(f1), 0);

  // A size word that reaches before the start of the file.
  std::vector<uint8_t> far(64, 0);
  PutWord(far, 56, 0x1000);
  MemoryExeFile f2(far);
  EXPECT_EQ(CountImages(f2), 0);

  // A valid image in front of a word that is no size: what was found stays.
  std::vector<uint8_t> partial(64, 0);
  PutWord(partial, 56, 8);    // image 48..55
  PutWord(partial, 44, 7);    // word in front of it: not a size
  MemoryExeFile f3(partial);
  std::vector<ImageSpan> spans;
  EXPECT_EQ(WalkImages(f3, &spans), 1);
  EXPECT_EQ(spans[0].offset, 48u);

  // A file too short to hold anything, and a closed file.
  MemoryExeFile f4(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(CountImages(f4), 0);
  MemoryExeFile closed;
  EXPECT_EQ(WalkImages(closed, &spans), 0);
  EXPECT_TRUE(spans.empty());

  // A chain longer than the directory stops at 100 images.
  std::vector<uint8_t> chain;
  AppendWord(chain, kStartMarker);
  for (int i = 0; i < 150; ++i) {
    AppendWord(chain, 0);
    AppendWord(chain, 4);
  }
  AppendWord(chain, 0);
  MemoryExeFile f5(chain);
  EXPECT_EQ(CountImages(f5), kMaxPayloadImages);
}

TEST(PayloadRead, DescrambledReadGivesThePlainBytesAtAnyOffset) {
  Packed p = PackImages({PatternImage(2048, 9), PatternImage(64, 4)});
  MemoryExeFile file(p.bytes);
  std::vector<ImageSpan> spans;
  ASSERT_EQ(WalkImages(file, &spans), 2);
  const ImageSpan first = spans[1];
  const std::vector<uint8_t>& plain = p.images[0];

  std::vector<uint8_t> chunk(1024);
  EXPECT_EQ(DescrambledRead(file, first.offset, 1024, chunk.data(), 1024), 1024u);
  EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), plain.begin() + 1024));

  uint8_t odd[7];
  EXPECT_EQ(DescrambledRead(file, first.offset, 5, odd, 7), 7u);
  EXPECT_TRUE(std::equal(odd, odd + 7, plain.begin() + 5));

  // Past the end of the file only what is there comes back.
  const uint32_t tail_at = static_cast<uint32_t>(p.bytes.size()) - 6 - first.offset;
  EXPECT_EQ(DescrambledRead(file, first.offset, tail_at, chunk.data(), 16), 6u);
  EXPECT_EQ(DescrambledRead(file, first.offset, 0x7FFFFFFF, chunk.data(), 16), 0u);
  EXPECT_EQ(DescrambledRead(file, 0xFFFFFFF0u, 0x20, chunk.data(), 16), 0u);
}

TEST(ImageName, SignedImageNameComesFrom0xFFE0) {
  Packed p = PackImages({MakeSampleFirmware("K53R-PX", "1.94", 0x20000, 5)});
  MemoryExeFile file(p.bytes);
  std::vector<ImageSpan> spans;
  ASSERT_EQ(WalkImages(file, &spans), 1);
  EXPECT_EQ(NameOf(file, spans[0]), "K53R-PX   1.94");

  // The same name block without the signature is not looked at.
  std::vector<uint8_t> unsigned_image = p.images[0];
  std::memcpy(unsigned_image.data() + 0xFFD0, "Korvadyx", 8);
  std::memcpy(unsigned_image.data() + 0x52, "OTHERNAME 0001", 14);
  Packed q = PackImages({unsigned_image});
  MemoryExeFile qf(q.bytes);
  ASSERT_EQ(WalkImages(qf, &spans), 1);
  EXPECT_EQ(NameOf(qf, spans[0]), "OTHERNAME 0001");
}

TEST(ImageName, SmallImageIsProbedAtItsEndAndNamedFrom0x50) {
  Packed p = PackImages({MakeSampleFirmware("K53R-T", "207Z", 0x400, 1), MakeSampleFirmware("A", "", 0x60, 2)});
  MemoryExeFile file(p.bytes);
  std::vector<ImageSpan> spans;
  ASSERT_EQ(WalkImages(file, &spans), 2);
  EXPECT_EQ(NameOf(file, spans[0]), "A             ");  // the later image is entry 0
  EXPECT_EQ(NameOf(file, spans[1]), "K53R-T    207Z");
}

TEST(ImageName, NameEndsAtTheFirstZeroAndIsCutAt14) {
  std::vector<uint8_t> image = PatternImage(0x100, 3);
  std::memcpy(image.data() + 0x50, "\x01\x02SHORT\0MORE", 12);
  std::vector<uint8_t> full = PatternImage(0x100, 3);
  std::memcpy(full.data() + 0x50, "\x01\x02" "ABCDEFGHIJKLMNOPQRST", 22);
  Packed p = PackImages({image, full});
  MemoryExeFile file(p.bytes);
  std::vector<ImageSpan> spans;
  ASSERT_EQ(WalkImages(file, &spans), 2);
  EXPECT_EQ(NameOf(file, spans[1]), "SHORT");
  EXPECT_EQ(NameOf(file, spans[0]), "ABCDEFGHIJKLMN");
}

TEST(ImageName, BytesOutsideTheImageReadAsZero) {
  // An image of exactly 0xFFD0 bytes is probed at 0xFFD0, behind its end.
  std::vector<uint8_t> edge = PatternImage(0xFFD0, 6);
  std::memcpy(edge.data() + 0x52, "EDGE", 5);
  // An image too short for its name block: the name stops at the image's end.
  std::vector<uint8_t> tiny = PatternImage(0x58, 8);
  std::memcpy(tiny.data() + 0x52, "TINYXY", 6);
  Packed p = PackImages({edge, tiny});
  MemoryExeFile file(p.bytes);
  std::vector<ImageSpan> spans;
  ASSERT_EQ(WalkImages(file, &spans), 2);
  EXPECT_EQ(NameOf(file, spans[1]), "EDGE");
  EXPECT_EQ(NameOf(file, spans[0]), "TINYXY");

  // Spans that lie outside the file give an empty name.
  EXPECT_EQ(NameOf(file, {0xFFFFFF00u, 0x20000}), "");
  EXPECT_EQ(NameOf(file, {0, 0}), "");
}

TEST(ImageName, ProbePositionUsesASignedComparison) {
  // Raw file bytes: a signature and a name at 0xFFD0/0xFFE0, another at 0x50.
  std::vector<uint8_t> plain(0x10000, 0x20);
  std::memcpy(plain.data() + 0xFFD0, "Korvadyn", 8);
  std::memcpy(plain.data() + 0xFFE2, "SIGNED", 7);
  std::memcpy(plain.data() + 0x52, "PLAIN", 6);
  ApplyImageKey(plain.data(), static_cast<uint32_t>(plain.size()));
  MemoryExeFile file(plain);
  EXPECT_EQ(NameOf(file, {0, 0x10000}), "SIGNED");
  EXPECT_EQ(NameOf(file, {0, 0x7FFFFFFC}), "SIGNED");
  // A size with the top bit set is below 0xFFD0 as a signed number, so the
  // probe lands at the image's end and finds nothing.
  EXPECT_EQ(NameOf(file, {0, 0x80000000u}), "PLAIN");
}
