// mkfirmware: writes a sample firmware image (plain, not scrambled) that
// carries its model name and version where the updater looks for them.
//
//   mkfirmware MODEL VERSION SIZE OUT.bin [SEED]
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/payload_pack.h"
#include "tools/write_replacing.h"

namespace {

constexpr uint32_t kMaxSize = 0x10000000;  // 256 MiB

const char kUsage[] =
    "usage: mkfirmware MODEL VERSION SIZE OUT.bin [SEED]\n"
    "\n"
    "Writes OUT.bin: SIZE bytes of pseudo-random firmware (from SEED, default 1)\n"
    "named MODEL (1 to 10 characters, padded with blanks to 10) and VERSION\n"
    "(1 to 4 characters, padded to 4). SIZE (decimal or 0x hex) is a multiple of 4\n"
    "from 0x60 up to 0x10000000; images of 0x10000 bytes or more carry the vendor\n"
    "signature at 0xFFD0 and the name at 0xFFE2, smaller ones the name at 0x52.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "mkfirmware: %s\n", message.c_str());
  return 1;
}

// Decimal, or hexadecimal behind "0x"; a leading zero does not make octal.
bool ParseNumber(const char* text, uint64_t limit, uint32_t* value) {
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  if (!std::isxdigit(static_cast<unsigned char>(*digits))) return false;  // no sign, blank or empty
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > limit) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}


}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 5 && argc != 6) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string model = argv[1], version = argv[2], out = argv[4];
  if (model.empty() || model.size() > 10) return Fail("MODEL must have 1 to 10 characters: \"" + model + "\"");
  if (version.empty() || version.size() > 4) {
    return Fail("VERSION must have 1 to 4 characters: \"" + version + "\"");
  }
  uint32_t size = 0;
  if (!ParseNumber(argv[3], kMaxSize, &size)) return Fail(std::string("SIZE is no number up to 0x10000000: ") + argv[3]);
  if (size < kMinSampleFirmwareSize || size % 4 != 0) {
    return Fail(std::string("SIZE must be a multiple of 4 and at least 0x60: ") + argv[3]);
  }
  uint32_t seed = 1;
  if (argc == 6 && !ParseNumber(argv[5], UINT32_MAX, &seed)) {
    return Fail(std::string("SEED is no 32-bit number: ") + argv[5]);
  }
  const std::vector<uint8_t> image = MakeSampleFirmware(model, version, size, seed);
  std::string error;
  if (image.size() != size || !tools::WriteReplacing(out, image, 0644, &error)) return Fail(error.empty() ? "no image" : error);
  std::printf("%s: %u bytes, name \"%-10s%-4s\"\n", out.c_str(), size, model.c_str(), version.c_str());
  return 0;
}
