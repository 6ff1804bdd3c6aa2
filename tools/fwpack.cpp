// fwpack: builds an updater from the program image and firmware images, and
// lists the images an updater carries.
//
//   fwpack PROGRAM.exe OUTPUT.exe IMAGE.bin...
//   fwpack --list UPDATER.exe
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/exe_file.h"
#include "base/payload.h"
#include "base/payload_pack.h"
#include "tools/write_replacing.h"

namespace {

const char kUsage[] =
    "usage: fwpack PROGRAM.exe OUTPUT.exe IMAGE.bin...\n"
    "       fwpack --list UPDATER.exe\n"
    "\n"
    "The first form writes OUTPUT.exe: PROGRAM.exe padded to a multiple of 4 bytes,\n"
    "followed by the firmware payload carrying the IMAGE.bin files (plain firmware,\n"
    "each a non-zero multiple of 4 bytes, at most 100). The first image given lies\n"
    "right behind the start marker, the last one in front of the check word; the\n"
    "program lists the last one first (entry 0, split file Bin@1.bin).\n"
    "The second form lists the images of an updater as the program sees them:\n"
    "entry, file offset, size and image name, or why the file is damaged.\n";

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    *error = path + ": not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    std::fclose(f);
    *error = path + ": 4 GiB or larger";
    return false;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  const size_t got = bytes->empty() ? 0 : std::fread(bytes->data(), 1, bytes->size(), f);
  const bool failed = std::ferror(f) != 0 || got != bytes->size();
  std::fclose(f);
  if (failed) {
    *error = path + ": read error";
    return false;
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}


int Fail(const std::string& message) {
  std::fprintf(stderr, "fwpack: %s\n", message.c_str());
  return 1;
}

int List(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error)) return Fail(error);
  const uint32_t size = static_cast<uint32_t>(bytes.size());
  if (const char* problem = PayloadProblem(bytes.data(), size)) {
    return Fail(path + " is damaged: " + problem);
  }
  MemoryExeFile file(std::move(bytes));
  std::vector<ImageSpan> spans;
  const int n = WalkImages(file, &spans);
  std::printf("%s: %d image%s\n", path.c_str(), n, n == 1 ? "" : "s");
  if (n > 0) std::printf("entry  offset      size        name\n");
  for (int i = 0; i < n; ++i) {
    char name[15];
    ReadImageName(file, spans[i], name);
    std::printf("%-5d  0x%08x  %-10u  \"%s\"\n", i, spans[i].offset, spans[i].size, name);
  }
  return 0;
}

int Pack(const std::string& program_path, const std::string& output_path, const std::vector<std::string>& image_paths) {
  if (image_paths.size() > static_cast<size_t>(kMaxPayloadImages)) {
    return Fail(std::to_string(image_paths.size()) + " images given; an updater carries at most " +
                std::to_string(kMaxPayloadImages));
  }
  if (SameFile(output_path, program_path)) return Fail(output_path + ": OUTPUT must not be the PROGRAM file");
  std::string error;
  std::vector<uint8_t> program;
  if (!ReadWholeFile(program_path, &program, &error)) return Fail(error);
  if (program.size() % 4 == 0 && PayloadIntact(program.data(), static_cast<uint32_t>(program.size()))) {
    return Fail(program_path + " already carries a firmware payload; give the program image without one");
  }
  std::vector<std::vector<uint8_t>> images(image_paths.size());
  for (size_t i = 0; i < image_paths.size(); ++i) {
    const std::string& p = image_paths[i];
    if (SameFile(output_path, p)) return Fail(output_path + ": OUTPUT must not be one of the IMAGE files");
    if (!ReadWholeFile(p, &images[i], &error)) return Fail(error);
    if (images[i].empty()) return Fail(p + ": the image is empty");
    if (images[i].size() % 4 != 0) {
      return Fail(p + ": the image is " + std::to_string(images[i].size()) + " bytes, not a multiple of 4");
    }
  }
  std::vector<uint8_t> out;
  if (!PackPayload(program, images, &out, &error)) return Fail(error);
  if (!tools::WriteReplacing(output_path, out, 0755, &error)) return Fail(error);
  std::printf("%s: %zu bytes, %zu image%s\n", output_path.c_str(), out.size(), images.size(),
              images.size() == 1 ? "" : "s");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!args.empty() && args[0] == "--list") {
    if (args.size() != 2) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    return List(args[1]);
  }
  if (args.size() < 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return Pack(args[0], args[1], std::vector<std::string>(args.begin() + 2, args.end()));
}
