// Small builders for payload tests: hand-made payloads, including malformed
// ones, whose check word is set so that only the structure is under test.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/payload.h"

inline void AppendWord(std::vector<uint8_t>& bytes, uint32_t v) {
  uint8_t w[4];
  WriteLe32(w, v);
  bytes.insert(bytes.end(), w, w + 4);
}

inline void PutWord(std::vector<uint8_t>& bytes, size_t at, uint32_t v) { WriteLe32(bytes.data() + at, v); }

// Sets the last word so that the word sum of the whole buffer is zero.
inline void FixCheckWord(std::vector<uint8_t>& bytes) {
  PutWord(bytes, bytes.size() - 4, 0);
  PutWord(bytes, bytes.size() - 4, 0u - WordSum(bytes.data(), static_cast<uint32_t>(bytes.size())));
}

// An image whose bytes are a recognisable function of (tag, position).
inline std::vector<uint8_t> PatternImage(uint32_t size, uint8_t tag) {
  std::vector<uint8_t> image(size);
  for (uint32_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(tag * 31 + i * 7 + (i >> 8));
  return image;
}

inline std::vector<uint8_t> ProgramImage(uint32_t size) {
  std::vector<uint8_t> program(size);
  for (uint32_t i = 0; i < size; ++i) program[i] = static_cast<uint8_t>(0x4D + i * 13);
  return program;
}
