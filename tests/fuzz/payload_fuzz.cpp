// Untrusted executables: the check, the walks and the name reader must never
// crash, hang or read outside the file, and must agree with each other.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/app_state.h"
#include "base/exe_file.h"
#include "base/payload.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckName(ExeFile& file, const ImageSpan& span) {
  char name[15];
  std::memset(name, 0x7F, sizeof name);
  ReadImageName(file, span, name);
  Require(std::memchr(name, 0, sizeof name) != nullptr);
}

struct Sink {
  uint32_t bytes = 0;
  int open = 0;
};
Sink g_sink;
void* SinkCreate(const char* path) {
  ++g_sink.open;
  return &g_sink;
}
bool SinkWrite(void* f, const void* bytes, uint32_t length) {
  static_cast<Sink*>(f)->bytes += length;
  return true;
}
bool SinkClose(void* f) {
  --static_cast<Sink*>(f)->open;
  return true;
}

// The walkers on the file as it is: bounded results, names always ended.
void WalkRaw(const std::vector<uint8_t>& bytes) {
  MemoryExeFile file(bytes);
  std::vector<ImageSpan> spans;
  const int n = WalkImages(file, &spans);
  Require(n >= 0 && n <= kMaxPayloadImages && static_cast<size_t>(n) == spans.size());
  Require(CountImages(file) == n);
  for (const ImageSpan& s : spans) {
    Require(s.size != 0 && s.offset >= 4 && uint64_t{s.offset} + s.size <= bytes.size());
    CheckName(file, s);
    uint8_t chunk[64];
    Require(DescrambledRead(file, s.offset, 0, chunk, sizeof chunk) <= sizeof chunk);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  std::vector<uint8_t> bytes(data, data + size);

  // As given.
  std::vector<ImageSpan> spans;
  const int walked = WalkPayload(bytes.data(), n, &spans);
  Require(walked >= -1 && walked <= kMaxPayloadImages);
  Require(PayloadIntact(bytes.data(), n) == (PayloadProblem(bytes.data(), n) == nullptr));
  WalkRaw(bytes);

  // Any span at all, taken from the input: the name reader stays inside the file.
  if (size >= 8) {
    MemoryExeFile file(bytes);
    CheckName(file, {ReadLe32(data), ReadLe32(data + 4)});
  }

  // With the check word set so that only the structure decides.
  if (size >= 12) {
    bytes.resize(size / 4 * 4);
    const uint32_t length = static_cast<uint32_t>(bytes.size());
    WriteLe32(bytes.data() + length - 4, 0);
    WriteLe32(bytes.data() + length - 4, 0u - WordSum(bytes.data(), length));
    const bool intact = PayloadIntact(bytes.data(), length);
    Require(intact == (WalkPayload(bytes.data(), length, &spans) >= 0));
    WalkRaw(bytes);

    UpdateState state;
    SetAppState(&state);
    MemoryExeFile file(bytes);
    const LoadResult loaded = LoadAndCheck(file);
    Require(loaded == (intact ? LoadResult::Intact : LoadResult::Damaged));
    if (intact) {
      std::vector<ImageSpan> through_file;
      Require(WalkImages(file, &through_file) == static_cast<int>(spans.size()));
      uint64_t total = 0;
      for (size_t i = 0; i < spans.size(); ++i) {
        Require(through_file[i].offset == spans[i].offset && through_file[i].size == spans[i].size);
        total += spans[i].size;
      }
      g_sink = Sink();
      SplitImages("C:", SplitFileOps{SinkCreate, SinkWrite, SinkClose});
      Require(g_sink.bytes == total && g_sink.open == 0);
      Require(state.executable_contents == nullptr);
    }
    SetAppState(nullptr);
  }
  return 0;
}
