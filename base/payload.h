// The firmware payload appended to the executable: start marker, scrambled
// images each followed by its size word, and a check word that makes the
// 32-bit word sum of the whole file zero.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/exe_file.h"

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
// Returns the image count, or -1 when the chain is malformed: a file length
// that is not a multiple of 4 or below 12 bytes, a size word of 0 or not a
// multiple of 4, an image (with the word in front of it) reaching before the
// start of the file, or more than 100 images.
int WalkPayload(const uint8_t* data, uint32_t size, std::vector<ImageSpan>* spans);

// Load and check: reads the whole file into the state's executable contents
// and tests it. LoadResult::ReadFailed ends the run without a message.
enum class LoadResult { Intact, Damaged, ReadFailed };
LoadResult LoadAndCheck(ExeFile& file);
// The copy LoadAndCheck read, as a file. Once the file has passed the check,
// the image directory and the transfer read this copy and nothing else: the
// file on disk may have changed since. Empty before a load.
ByteViewFile PayloadCopy();
// The check alone, on bytes in memory: word sum zero and a well-formed chain.
bool PayloadIntact(const uint8_t* data, uint32_t size);
// Why bytes in memory fail the check, in words for a person; null when intact.
const char* PayloadProblem(const uint8_t* data, uint32_t size);

// Through the executable file object. On a checked payload they give every
// image; on any other file they stop at the first size word that cannot be an
// image (and after 100 images) and never read outside the file.
int CountImages(ExeFile& file);
int WalkImages(ExeFile& file, std::vector<ImageSpan>* spans);
// Reads length bytes at image_offset + offset_in_image and descrambles them.
// Every byte is descrambled by its own position in the image, so any offset
// and length give the plain bytes. Returns the bytes read.
uint32_t DescrambledRead(ExeFile& file, uint32_t image_offset, uint32_t offset_in_image, void* buf,
                         uint32_t length);

// The name an image carries: the vendor probe "Korvadyn" at 0xFFD0 (at the
// image's end for images shorter than that) selects the 16-byte name block at
// 0xFFE0, otherwise it is at 0x50; the name is the block's bytes 2.. up to the
// first zero, at most 14 characters. Bytes outside the image read as zero, so
// any span (even of an unchecked file) is safe.
constexpr char kImageVendorSignature[] = "Korvadyn";
constexpr uint32_t kVendorProbeOffset = 0xFFD0;
constexpr uint32_t kSignedNameOffset = 0xFFE0;
constexpr uint32_t kPlainNameOffset = 0x50;
constexpr int kImageNameLength = 14;
void ReadImageName(ExeFile& file, const ImageSpan& span, char name[15]);

// Where split mode writes its files.
struct SplitFileOps {
  void* (*create)(const char* path);  // replace an existing file; null on failure
  bool (*write)(void* file, const void* bytes, uint32_t length);
  bool (*close)(void* file);  // true when the file is complete in place
};
// How split mode went: every file written, a file that could not be
// created, written whole or closed, or a payload whose chain is malformed.
enum class SplitStatus : uint8_t { Written, FileFailed, Damaged };
struct SplitReport {
  SplitStatus status = SplitStatus::Written;
  std::string text;  // what the front end shows
};
// Split mode on the state's executable contents: writes "%s\Bin@%d.bin" files
// into output_dir (separator '/' on Linux), frees the contents and reports.
// The text has one line per image, highest number first, "Create <name>\n",
// or "Can't create <name>\n" for a file that failed; a malformed chain gives
// only "This file maybe damage please get new one!\n".
SplitReport SplitImages(const std::string& output_dir, const SplitFileOps& ops, char separator = '\\');
