#include "base/exe_file.h"

#include <cstring>

namespace {

// Copies up to n bytes from position pos of size bytes and moves pos on.
uint32_t ReadAt(const uint8_t* bytes, uint32_t size, uint32_t& pos, void* buffer, uint32_t n) {
  if (!bytes || pos >= size) return 0;
  const uint32_t left = size - pos;
  const uint32_t count = n < left ? n : left;
  std::memcpy(buffer, bytes + pos, count);
  pos += count;
  return count;
}

}  // namespace

uint32_t MemoryExeFile::Read(void* buffer, uint32_t n) {
  if (!open_) return 0;
  return ReadAt(bytes_.data(), static_cast<uint32_t>(bytes_.size()), pos_, buffer, n);
}

uint32_t ByteViewFile::Read(void* buffer, uint32_t n) { return ReadAt(bytes_, size_, pos_, buffer, n); }
