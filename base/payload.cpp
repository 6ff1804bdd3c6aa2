#include "base/payload.h"

#include <cstring>
#include <new>

#include "base/app_state.h"

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void ApplyImageKey(void* buf, uint32_t length) {
  uint8_t* p = static_cast<uint8_t*>(buf);
  for (uint32_t i = 0; i + 4 <= length; i += 4) WriteLe32(p + i, ReadLe32(p + i) ^ kImageKey);
}

uint32_t WordSum(const uint8_t* data, uint32_t size) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 4 <= size; i += 4) sum += ReadLe32(data + i);
  return sum;
}

namespace {

enum class Fault {
  None,
  LengthNotWords,
  TooShort,
  ZeroSize,
  SizeNotWords,
  BeforeStart,
  TooManyImages,
};

// Walks the size words from the trailer back to the start marker. Every image
// (and the word in front of it) must lie inside the file, so each step moves
// back at least 8 bytes and the walk ends.
Fault Walk(const uint8_t* data, uint32_t size, std::vector<ImageSpan>* spans, int* count) {
  *count = 0;
  if (spans) spans->clear();
  if (size % 4 != 0) return Fault::LengthNotWords;
  if (size < 12) return Fault::TooShort;  // start marker, one size word, check word
  uint32_t pos = size - 8;
  for (;;) {
    const uint32_t v = ReadLe32(data + pos);
    if (v == kStartMarker) return Fault::None;
    if (v == 0) return Fault::ZeroSize;
    if (v % 4 != 0) return Fault::SizeNotWords;
    if (pos < 4 || v > pos - 4) return Fault::BeforeStart;
    if (*count == kMaxPayloadImages) return Fault::TooManyImages;
    const uint32_t start = pos - v;
    if (spans) spans->push_back({start, v});
    ++*count;
    pos = start - 4;
  }
}

const char* FaultText(Fault f) {
  switch (f) {
    case Fault::None: return nullptr;
    case Fault::LengthNotWords: return "the file length is not a multiple of 4";
    case Fault::TooShort: return "the file is too short to carry a payload";
    case Fault::ZeroSize: return "an image size word is 0";
    case Fault::SizeNotWords: return "an image size word is not a multiple of 4";
    case Fault::BeforeStart:
      return "an image size reaches before the start of the file (no start marker ends the chain)";
    case Fault::TooManyImages: return "the payload holds more than 100 images";
  }
  return "the payload is malformed";
}

// The image-key byte that covers byte position i of an image.
inline uint8_t KeyByte(uint32_t i) { return static_cast<uint8_t>(kImageKey >> (8 * (i & 3))); }

// Walk through the executable file object. The file may not have been
// checked: the walk stops at the first size word that cannot be an image, at
// a read that fails, or when the directory is full.
int WalkFile(ExeFile& file, std::vector<ImageSpan>* spans) {
  if (spans) spans->clear();
  if (!file.IsOpen()) return 0;
  const uint32_t length = file.Length();
  if (length < 8) return 0;
  uint32_t pos = length - 8;
  int count = 0;
  while (count < kMaxPayloadImages) {
    uint8_t word[4];
    if (!file.Seek(pos) || file.Read(word, 4) != 4) break;
    const uint32_t v = ReadLe32(word);
    if (v == kStartMarker || v == 0 || v % 4 != 0) break;
    if (pos < 4 || v > pos - 4) break;
    const uint32_t start = pos - v;
    if (spans) spans->push_back({start, v});
    ++count;
    pos = start - 4;
  }
  return count;
}

// Reads n descrambled bytes at offset at inside the image; whatever lies
// outside the image or the file reads as zero.
void ReadInsideImage(ExeFile& file, const ImageSpan& span, uint32_t at, uint8_t* out, uint32_t n) {
  std::memset(out, 0, n);
  if (at >= span.size) return;
  const uint32_t inside = span.size - at < n ? span.size - at : n;
  DescrambledRead(file, span.offset, at, out, inside);
}

}  // namespace

int WalkPayload(const uint8_t* data, uint32_t size, std::vector<ImageSpan>* spans) {
  int count = 0;
  if (Walk(data, size, spans, &count) != Fault::None) {
    if (spans) spans->clear();
    return -1;
  }
  return count;
}

const char* PayloadProblem(const uint8_t* data, uint32_t size) {
  int count = 0;
  const Fault f = Walk(data, size, nullptr, &count);
  if (f != Fault::None) return FaultText(f);
  if (WordSum(data, size) != 0) return "the word sum of the file is not zero";
  return nullptr;
}

bool PayloadIntact(const uint8_t* data, uint32_t size) {
  return PayloadProblem(data, size) == nullptr;
}

LoadResult LoadAndCheck(ExeFile& file) {
  UpdateState& state = AppState();
  state.executable_contents.reset();
  state.executable_size = 0;
  if (!file.IsOpen()) return LoadResult::ReadFailed;
  const uint32_t length = file.Length();
  std::unique_ptr<uint8_t[]> contents(new (std::nothrow) uint8_t[length ? length : 1]);
  if (!contents || !file.Seek(0)) return LoadResult::ReadFailed;
  uint32_t got = 0;
  while (got < length) {
    const uint32_t n = file.Read(contents.get() + got, length - got);
    if (n == 0) break;
    got += n;
  }
  if (got != length) return LoadResult::ReadFailed;
  state.executable_contents = std::move(contents);
  state.executable_size = length;
  return PayloadIntact(state.executable_contents.get(), length) ? LoadResult::Intact
                                                               : LoadResult::Damaged;
}

ByteViewFile PayloadCopy() {
  const UpdateState& state = AppState();
  return ByteViewFile(state.executable_contents.get(), state.executable_size);
}

int CountImages(ExeFile& file) { return WalkFile(file, nullptr); }

int WalkImages(ExeFile& file, std::vector<ImageSpan>* spans) { return WalkFile(file, spans); }

// Each byte is descrambled by its position inside the image, so a read that
// does not start or end on a word boundary still yields the plain bytes.
uint32_t DescrambledRead(ExeFile& file, uint32_t image_offset, uint32_t offset_in_image, void* buf,
                         uint32_t length) {
  if (image_offset > UINT32_MAX - offset_in_image) return 0;
  if (!file.Seek(image_offset + offset_in_image)) return 0;
  uint8_t* p = static_cast<uint8_t*>(buf);
  const uint32_t got = file.Read(p, length);
  for (uint32_t i = 0; i < got; ++i) p[i] ^= KeyByte(offset_in_image + i);
  return got;
}

void ReadImageName(ExeFile& file, const ImageSpan& span, char name[15]) {
  const uint32_t probe_at =
      static_cast<int32_t>(span.size) >= static_cast<int32_t>(kVendorProbeOffset) ? kVendorProbeOffset
                                                                                  : span.size;
  uint8_t probe[8];
  ReadInsideImage(file, span, probe_at, probe, sizeof probe);
  const bool signed_image = std::memcmp(probe, kImageVendorSignature, 8) == 0;

  uint8_t block[16];
  ReadInsideImage(file, span, signed_image ? kSignedNameOffset : kPlainNameOffset, block, sizeof block);
  int n = 0;
  while (n < kImageNameLength && block[2 + n] != 0) {
    name[n] = static_cast<char>(block[2 + n]);
    ++n;
  }
  name[n] = '\0';
}

SplitReport SplitImages(const std::string& output_dir, const SplitFileOps& ops, char separator) {
  UpdateState& state = AppState();
  SplitReport report;
  std::vector<ImageSpan> spans;
  const uint8_t* contents = state.executable_contents.get();
  const int n = contents ? WalkPayload(contents, state.executable_size, &spans) : -1;
  if (n < 0) {
    report.status = SplitStatus::Damaged;
    report.text = "This file maybe damage please get new one!\n";
  }
  for (int k = n; k >= 1; --k) {
    const ImageSpan& span = spans[k - 1];
    const std::string name = output_dir + separator + "Bin@" + std::to_string(k) + ".bin";
    bool written = false;
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[span.size]);
    if (image) {
      std::memcpy(image.get(), contents + span.offset, span.size);
      ApplyImageKey(image.get(), span.size);
      void* out = ops.create ? ops.create(name.c_str()) : nullptr;
      if (out) {
        written = ops.write && ops.write(out, image.get(), span.size);
        if (ops.close) written = ops.close(out) && written;
      }
    }
    if (!written) report.status = SplitStatus::FileFailed;
    report.text += (written ? "Create " : "Can't create ") + name + "\n";
  }
  state.executable_contents.reset();
  state.executable_size = 0;
  return report;
}
