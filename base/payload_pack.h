// Building updaters: appending a payload to a program image, and sample
// firmware images that carry their name where the program looks for it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// program + zero padding to a multiple of 4, start marker, each plain image
// scrambled and followed by its size, check word. The first image given lies
// right behind the start marker; the last one in front of the check word.
// Refuses (false, *error set, *out untouched) an image of size 0 or not a
// multiple of 4, more than 100 images, a result of 4 GiB or more, and a
// program that already carries a payload.
bool PackPayload(const std::vector<uint8_t>& program, const std::vector<std::vector<uint8_t>>& plain_images,
                 std::vector<uint8_t>* out, std::string* error);

// A plain image of size bytes of pseudo-random content (from seed) whose name
// is model10 (space-padded or cut to 10) followed by version4 (likewise to 4).
// size >= 0x10000: "Korvadyn" at 0xFFD0 and the name block at 0xFFE0;
// smaller sizes: no signature and the name block at 0x50. Returns an empty
// vector when size is below 0x60 or not a multiple of 4.
std::vector<uint8_t> MakeSampleFirmware(const std::string& model10, const std::string& version4, uint32_t size,
                                        uint32_t seed);
constexpr uint32_t kMinSampleFirmwareSize = 0x60;
