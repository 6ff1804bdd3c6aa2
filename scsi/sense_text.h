#pragma once
#include <cstddef>
#include <cstdint>

struct SenseTextRow {
  uint16_t code;  // ASC in the high byte, ASCQ in the low byte
  const char* text;
};

// The text for a sense code, or nullptr when it has none. ASC 40h and 4Dh are
// formatted into one shared buffer that the next formatted lookup overwrites.
const char* SenseText(uint16_t code);

// The sense code of a drive's sense data, in either format: descriptor
// format (response code 72h/73h) has ASC and ASCQ at bytes 2 and 3, fixed
// format (70h/71h, and anything else a drive sends) at bytes 12 and 13. A
// byte beyond length reads as 0; so does everything of null data.
uint16_t SenseCodeOf(const uint8_t* sense, size_t length);

// The table itself (sorted by code, each code once), for checks.
const SenseTextRow* SenseTextTable(size_t* rows);
