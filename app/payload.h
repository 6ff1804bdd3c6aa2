// The firmware payload appended to the executable: start marker, scrambled
// images each followed by its size word, and a check word that makes the
// 32-bit word sum of the whole file zero.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/exe_file.h"

// The image key: every 32-bit little-endian word of an image is XORed with it.
constexpr uint32_t kImageKey = 0x6B3D95C7u;
constexpr uint32_t kStartMarker = 0xFFFFFFFFu;
constexpr int kMaxPayloadImages = 100;

struct ImageSpan {
  uint32_t offset;  // absolute file offset of the image's first byte
  uint32_t size;
};

uint32_t ReadLe32(const uint8_t* p);
void WriteLe32(uint8_t* p, uint32_t v);
// XORs each whole 32-bit word of buf (length rounded down to words) with the key.
void ApplyImageKey(void* buf, uint32_t length);

// Word sum of a buffer (length must be a multiple of 4).
uint32_t WordSum(const uint8_t* data, uint32_t size);

// Structural walk of a payload held in memory: fills spans last image first.
// Returns the image count, or -1 when the chain is malformed (see payload.cpp).
int WalkPayload(const uint8_t* data, uint32_t size, std::vector<ImageSpan>* spans);

// Load and check: reads the whole file into the state's executable contents
// and tests it. LoadResult::ReadFailed ends the run without a message.
enum class LoadResult { Intact, Damaged, ReadFailed };
LoadResult LoadAndCheck(ExeFile& file);
// The check alone, on bytes in memory: word sum zero and a well-formed chain.
bool PayloadIntact(const uint8_t* data, uint32_t size);

// Through the executable file object (the payload must have passed the check).
int CountImages(ExeFile& file);
int WalkImages(ExeFile& file, std::vector<ImageSpan>* spans);
// Reads length bytes at image_offset + offset_in_image and descrambles them.
// offset_in_image must be a multiple of 4. Returns the bytes read.
uint32_t DescrambledRead(ExeFile& file, uint32_t image_offset, uint32_t offset_in_image, void* buf,
                         uint32_t length);

// Where split mode writes its files.
struct SplitFileOps {
  void* (*create)(const char* path);  // replace an existing file; null on failure
  bool (*write)(void* file, const void* bytes, uint32_t length);
  void (*close)(void* file);
};
// Split mode on the state's executable contents: writes "%s\Bin@%d.bin" files
// into output_dir, frees the contents and returns the report text.
std::string SplitImages(const std::string& output_dir, const SplitFileOps& ops);
