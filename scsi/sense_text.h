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

// The table itself (sorted by code, each code once), for checks.
const SenseTextRow* SenseTextTable(size_t* rows);
