#include "app/exe_file.h"

#include <cstring>

uint32_t MemoryExeFile::Read(void* buffer, uint32_t n) {
  if (!open_ || pos_ >= bytes_.size()) return 0;
  const uint32_t left = static_cast<uint32_t>(bytes_.size()) - pos_;
  const uint32_t count = n < left ? n : left;
  std::memcpy(buffer, bytes_.data() + pos_, count);
  pos_ += count;
  return count;
}
