#include "base/payload_pack.h"

#include <cstring>

#include "base/payload.h"

bool PackPayload(const std::vector<uint8_t>& program, const std::vector<std::vector<uint8_t>>& plain_images,
                 std::vector<uint8_t>* out, std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  if (!out) return fail("no output buffer");
  if (plain_images.size() > static_cast<size_t>(kMaxPayloadImages)) {
    return fail(std::to_string(plain_images.size()) + " images given; an updater carries at most " +
                std::to_string(kMaxPayloadImages));
  }
  uint64_t total = (program.size() + 3) / 4 * 4 + 4 + 4;  // program, marker, check word
  for (size_t i = 0; i < plain_images.size(); ++i) {
    const uint64_t size = plain_images[i].size();
    const std::string which = "image " + std::to_string(i + 1);
    if (size == 0) return fail(which + " is empty");
    if (size % 4 != 0) return fail(which + " is " + std::to_string(size) + " bytes, not a multiple of 4");
    total += size + 4;
  }
  if (total > UINT32_MAX) return fail("the updater would be 4 GiB or larger");
  if (program.size() % 4 == 0 && PayloadIntact(program.data(), static_cast<uint32_t>(program.size()))) {
    return fail("the program already carries a firmware payload");
  }

  std::vector<uint8_t> packed(program);
  packed.resize((program.size() + 3) / 4 * 4, 0);
  packed.reserve(static_cast<size_t>(total));
  auto put_word = [&packed](uint32_t v) {
    uint8_t w[4];
    WriteLe32(w, v);
    packed.insert(packed.end(), w, w + 4);
  };
  put_word(kStartMarker);
  for (const std::vector<uint8_t>& image : plain_images) {
    const size_t at = packed.size();
    packed.insert(packed.end(), image.begin(), image.end());
    ApplyImageKey(packed.data() + at, static_cast<uint32_t>(image.size()));
    put_word(static_cast<uint32_t>(image.size()));
  }
  put_word(0u - WordSum(packed.data(), static_cast<uint32_t>(packed.size())));
  out->swap(packed);
  return true;
}

std::vector<uint8_t> MakeSampleFirmware(const std::string& model10, const std::string& version4, uint32_t size,
                                        uint32_t seed) {
  if (size < kMinSampleFirmwareSize || size % 4 != 0) return {};
  std::vector<uint8_t> image(size);
  uint32_t x = seed ? seed : 0x9E3779B9u;  // xorshift32 never leaves 0
  for (uint8_t& b : image) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  std::string name = model10.substr(0, 10);
  name.resize(10, ' ');
  std::string version = version4.substr(0, 4);
  version.resize(4, ' ');
  name += version;

  uint32_t block = kPlainNameOffset;
  if (size >= 0x10000) {
    std::memcpy(image.data() + kVendorProbeOffset, kImageVendorSignature, 8);
    block = kSignedNameOffset;
  }
  std::memcpy(image.data() + block + 2, name.data(), kImageNameLength);
  // The reader stops after 14 characters anyway; the zero behind the block
  // is written where the image reaches that far.
  if (block + 2 + kImageNameLength < size) image[block + 2 + kImageNameLength] = 0;
  return image;
}
