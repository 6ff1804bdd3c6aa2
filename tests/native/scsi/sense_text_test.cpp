// The sense text table and the two formatted families.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "scsi/sense_text.h"

namespace {

std::string Text(uint16_t code) {
  const char* t = SenseText(code);
  return t ? t : "<none>";
}

TEST(SenseTextTable, HasTwoHundredRowsInAscendingOrderEachCodeOnce) {
  size_t rows = 0;
  const SenseTextRow* table = SenseTextTable(&rows);
  ASSERT_EQ(rows, 200u);
  for (size_t i = 1; i < rows; ++i) EXPECT_LT(table[i - 1].code, table[i].code) << i;
  for (size_t i = 0; i < rows; ++i) {
    ASSERT_NE(table[i].text, nullptr) << i;
    EXPECT_GT(std::strlen(table[i].text), 0u) << i;
    EXPECT_LE(std::strlen(table[i].text), 37u) << table[i].text;
    // The formatted families are never table rows.
    EXPECT_NE(table[i].code >> 8, 0x40) << i;
    EXPECT_NE(table[i].code >> 8, 0x4D) << i;
  }
  EXPECT_EQ(table[0].code, 0x0000);
  EXPECT_EQ(table[rows - 1].code, 0xBF00);
}

TEST(SenseTextTable, EveryRowIsFoundByItsCode) {
  size_t rows = 0;
  const SenseTextRow* table = SenseTextTable(&rows);
  for (size_t i = 0; i < rows; ++i) EXPECT_EQ(SenseText(table[i].code), table[i].text) << i;
}

TEST(SenseText, FormattedFamiliesCarryTheQualifierInUpperCaseHex) {
  EXPECT_EQ(Text(0x4081), "Diagnostic failure on component 81");
  EXPECT_EQ(Text(0x4000), "Diagnostic failure on component 00");
  EXPECT_EQ(Text(0x40AB), "Diagnostic failure on component AB");
  EXPECT_EQ(Text(0x4D05), "Tagged overlapped commands 05");
  EXPECT_EQ(Text(0x4DFF), "Tagged overlapped commands FF");
}

TEST(SenseText, FormattedLookupsShareOneBuffer) {
  const char* first = SenseText(0x4081);
  const char* second = SenseText(0x4D05);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "Tagged overlapped commands 05");
  // A table lookup leaves the shared buffer alone.
  SenseText(0x0000);
  EXPECT_STREQ(second, "Tagged overlapped commands 05");
}

TEST(SenseText, UnknownCodesHaveNoText) {
  for (uint16_t code : {0x0040, 0x0001, 0x2905, 0x3B00, 0xB601, 0xFFFF, 0x5D02}) {
    EXPECT_EQ(SenseText(code), nullptr) << std::hex << code;
  }
}

TEST(SenseText, SharedTextsAndTheirNeighbours) {
  EXPECT_EQ(Text(0x0000), "Successful");
  EXPECT_EQ(Text(0x5DFF), "Failure prediction threshold exceeded");
  EXPECT_EQ(Text(0x5D00), Text(0x5DFF));
  EXPECT_EQ(Text(0x5D01), Text(0x5DFF));
  EXPECT_EQ(Text(0x0100), "Mechanical position or changer error");
  EXPECT_EQ(Text(0x1501), Text(0x0100));
  EXPECT_EQ(Text(0x0520), "Invalid command operation code");
  EXPECT_EQ(Text(0x2000), Text(0x0520));
  EXPECT_EQ(Text(0x0524), "Invalid field in command packet");
  EXPECT_EQ(Text(0x2400), Text(0x0524));
  EXPECT_EQ(Text(0x0628), "Not ready to ready transition");
  EXPECT_EQ(Text(0x0629), "Power on or reset occurred");
}

TEST(SenseText, SpotChecksAcrossTheTableKeepTheirExactSpelling) {
  EXPECT_EQ(Text(0x0017), "Cleaning requested");
  EXPECT_EQ(Text(0x0401), "Not ready in progress of become ready");
  EXPECT_EQ(Text(0x0403), "Not ready, manual intervention requir");
  EXPECT_EQ(Text(0x0C0A), "Write error - padding blocks added");
  EXPECT_EQ(Text(0x110F), "Error reading UPC/EAN number");
  EXPECT_EQ(Text(0x1700), "Recovered data, no error correc apply");
  EXPECT_EQ(Text(0x1801), "Recovered data, error correct & retry");
  EXPECT_EQ(Text(0x2800), "Not ready, medium may have changed");
  EXPECT_EQ(Text(0x2900), "Power on, reset, or bus reset occurre");
  EXPECT_EQ(Text(0x2B00), "Copy can't exec host can't disconnect");
  EXPECT_EQ(Text(0x3005), "Can't write medium, incompatbl format");
  EXPECT_EQ(Text(0x3009), "Current session not fixate for append");
  EXPECT_EQ(Text(0x3A02), "Medium not present - tray open");
  EXPECT_EQ(Text(0x3B15), "Medium magazine unlocked");
  EXPECT_EQ(Text(0x3F00), "Target operate condition have changed");
  EXPECT_EQ(Text(0x4C00), "Logical unit fail self-configuration");
  EXPECT_EQ(Text(0x4E00), "Overlapped commands attempted");
  EXPECT_EQ(Text(0x5E04), "Standby condition activate by command");
  EXPECT_EQ(Text(0x6301), "Packet doesn't fit in available space");
  EXPECT_EQ(Text(0x7204), "Empty or partial write reserved track");
  EXPECT_EQ(Text(0x7305), "Program memory area is full");
  EXPECT_EQ(Text(0xB600), "Media load mechanism failed");
  EXPECT_EQ(Text(0xB900), "Play operation oborted");
  EXPECT_EQ(Text(0xBF00), "Loss of streaming");
}

TEST(SenseText, RowsPerAscMatchTheAssignments) {
  // Row counts of the larger families: a row lost or duplicated while
  // editing the table shows up here.
  size_t rows = 0;
  const SenseTextRow* table = SenseTextTable(&rows);
  auto count = [&](unsigned asc) {
    int n = 0;
    for (size_t i = 0; i < rows; ++i) n += (table[i].code >> 8) == asc;
    return n;
  };
  EXPECT_EQ(count(0x00), 8);
  EXPECT_EQ(count(0x04), 7);
  EXPECT_EQ(count(0x17), 9);
  EXPECT_EQ(count(0x18), 7);
  EXPECT_EQ(count(0x30), 10);
  EXPECT_EQ(count(0x3B), 8);
  EXPECT_EQ(count(0x73), 6);
}

// Both formats a drive may answer in; the length bounds what is read.
TEST(SenseCodeOf, ReadsFixedAndDescriptorFormatWithinTheLength) {
  uint8_t fixed[18] = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x01};
  EXPECT_EQ(SenseCodeOf(fixed, sizeof fixed), 0x2901);
  fixed[0] = 0xF1;  // deferred error, VALID bit set
  EXPECT_EQ(SenseCodeOf(fixed, sizeof fixed), 0x2901);
  EXPECT_EQ(SenseCodeOf(fixed, 13), 0x2900);  // ASCQ beyond the length
  EXPECT_EQ(SenseCodeOf(fixed, 8), 0);

  // Descriptor format: ASC and ASCQ in the header, bytes 12 and 13 belong
  // to a descriptor.
  uint8_t descriptor[32] = {0x72, 0x05, 0x24, 0x00, 0, 0, 0, 14, 0x00, 0x0C, 0, 0, 0x29, 0x00};
  EXPECT_EQ(SenseCodeOf(descriptor, sizeof descriptor), 0x2400);
  descriptor[0] = 0x73;
  descriptor[2] = 0x04;
  descriptor[3] = 0x01;
  EXPECT_EQ(SenseCodeOf(descriptor, 8), 0x0401);
  EXPECT_EQ(SenseCodeOf(descriptor, 3), 0x0400);

  EXPECT_EQ(SenseCodeOf(nullptr, 18), 0);
  EXPECT_EQ(SenseCodeOf(fixed, 0), 0);
}

}  // namespace
