// Texts for the sense codes a drive reports (ASC in the high byte, ASCQ in
// the low byte), kept as one sorted table. ASC 40h and 4Dh are families whose
// qualifier is part of the text.
#include "scsi/sense_text.h"

#include <cstdio>

namespace {

const SenseTextRow kSenseTexts[] = {
    {0x0000, "Successful"},
    {0x0006, "I/O process terminated"},
    {0x0011, "Play operation in progress"},
    {0x0012, "Play operation paused"},
    {0x0013, "Play operation successfully completed"},
    {0x0014, "Play operation stopped due to error"},
    {0x0015, "No current audio status to return"},
    {0x0017, "Cleaning requested"},
    {0x0100, "Mechanical position or changer error"},
    {0x0200, "No seek complete"},
    {0x0300, "Write fault"},
    {0x0400, "Not ready - cause not reportable"},
    {0x0401, "Not ready in progress of become ready"},
    {0x0402, "Not ready, initializing cmd. required"},
    {0x0403, "Not ready, manual intervention requir"},
    {0x0404, "Not ready, format in progress"},
    {0x0407, "Not ready, operation in progress"},
    {0x0408, "Not ready, long write in progress"},
    {0x0500, "Drive does not respond to selection"},
    {0x0501, "Media load - eject failed"},
    {0x0520, "Invalid command operation code"},
    {0x0524, "Invalid field in command packet"},
    {0x0600, "No reference position found"},
    {0x0628, "Not ready to ready transition"},
    {0x0629, "Power on or reset occurred"},
    {0x0700, "Multiple peripheral devices selected"},
    {0x0800, "Communication failure"},
    {0x0801, "Communication time-out"},
    {0x0802, "Communication parity error"},
    {0x0900, "Track following error"},
    {0x0901, "Tracking servo failure"},
    {0x0902, "Focus servo failure"},
    {0x0903, "Spindle servo failure"},
    {0x0904, "Head select fault"},
    {0x0A00, "Error log overflow"},
    {0x0B00, "Warning"},
    {0x0B01, "Warning - temperature exceeded"},
    {0x0B02, "Warning - enclosure degraded"},
    {0x0C00, "Write error"},
    {0x0C07, "Write error - recovery needed"},
    {0x0C08, "Write error - recovery failed"},
    {0x0C09, "Write error - loss of streaming"},
    {0x0C0A, "Write error - padding blocks added"},
    {0x1100, "Unrecovered read error"},
    {0x1101, "Read retries exhausted"},
    {0x1102, "Error too long to correct"},
    {0x1105, "L-EC uncorrectable error"},
    {0x1106, "CIRC unrecovered error"},
    {0x110F, "Error reading UPC/EAN number"},
    {0x1110, "Error reading ISRC number"},
    {0x1111, "Read error - loss of streaming"},
    {0x1500, "Random positioning error"},
    {0x1501, "Mechanical position or changer error"},
    {0x1502, "Positioning error detected by read"},
    {0x1700, "Recovered data, no error correc apply"},
    {0x1701, "Recovered data with retries"},
    {0x1702, "Recovered data, positive head offset"},
    {0x1703, "Recovered data, negative head offset"},
    {0x1704, "Recovered data, retries circ applied"},
    {0x1705, "Recovered data, previous sector id"},
    {0x1707, "Recovered data, no ecc - reassignment"},
    {0x1708, "Recovered data, no ecc - rewrite"},
    {0x1709, "Recovered data, no ecc - data rewrite"},
    {0x1800, "Recovered data, error correc applied"},
    {0x1801, "Recovered data, error correct & retry"},
    {0x1802, "Recovered data, data auto-reallocated"},
    {0x1803, "Recovered data with CIRC"},
    {0x1804, "Recovered data with L-EC"},
    {0x1805, "Recovered data, reassignment"},
    {0x1806, "Recovered data, rewrite"},
    {0x1A00, "Parameter list length error"},
    {0x1B00, "Synchronous data transfer error"},
    {0x1D00, "Miscompare during verify operation"},
    {0x2000, "Invalid command operation code"},
    {0x2100, "Logical block address out of range"},
    {0x2101, "Invalid element address"},
    {0x2400, "Invalid field in command packet"},
    {0x2500, "Logical unit not supported"},
    {0x2600, "Invalid field in parameter list"},
    {0x2601, "Parameter not supported"},
    {0x2602, "Parameter value invalid"},
    {0x2603, "Threshold parameters not supported"},
    {0x2604, "Invalid release of active reservation"},
    {0x2700, "Write protected"},
    {0x2701, "Hardware write protected"},
    {0x2702, "Logical unit software write protected"},
    {0x2703, "Associated write protect"},
    {0x2704, "Persistent write protect"},
    {0x2705, "Permanent write protect"},
    {0x2800, "Not ready, medium may have changed"},
    {0x2801, "Import or export element accessed"},
    {0x2900, "Power on, reset, or bus reset occurre"},
    {0x2901, "Power on occurred"},
    {0x2902, "Scsi bus reset occurred"},
    {0x2903, "Bus device reset function occurred"},
    {0x2904, "Device internal reset"},
    {0x2A00, "Parameters changed"},
    {0x2A01, "Mode parameters changed"},
    {0x2A02, "Log parameters changed"},
    {0x2A03, "Reservations preempted"},
    {0x2B00, "Copy can't exec host can't disconnect"},
    {0x2C00, "Command sequence error"},
    {0x2C03, "Current program area is not empty"},
    {0x2C04, "Current program area is empty"},
    {0x2E00, "Insufficient time for operation"},
    {0x2F00, "Commands cleared by another initiator"},
    {0x3000, "Incompatible medium installed"},
    {0x3001, "Cannot read medium - unknown format"},
    {0x3002, "Can't read medium incompatible format"},
    {0x3003, "Cleaning cartridge installed"},
    {0x3004, "Can't write medium, unknown format"},
    {0x3005, "Can't write medium, incompatbl format"},
    {0x3006, "Can't format medium, incompat medium"},
    {0x3007, "Cleaning failure"},
    {0x3008, "Can't write application code mismatch"},
    {0x3009, "Current session not fixate for append"},
    {0x3100, "Medium format corrupted"},
    {0x3101, "Format command failed"},
    {0x3400, "Enclosure failure"},
    {0x3500, "Enclosure services failure"},
    {0x3501, "Unsupported enclosure function"},
    {0x3502, "Enclosure services unavailable"},
    {0x3503, "Enclosure services transfer failure"},
    {0x3504, "Enclosure services transfer refused"},
    {0x3700, "Rounded parameter"},
    {0x3900, "Saving parameters not supported"},
    {0x3A00, "Medium not present"},
    {0x3A01, "Medium not present - tray closed"},
    {0x3A02, "Medium not present - tray open"},
    {0x3B0D, "Medium destination element full"},
    {0x3B0E, "Medium source element empty"},
    {0x3B0F, "End of medium reached"},
    {0x3B11, "Medium magazine not accessible"},
    {0x3B12, "Medium magazine removed"},
    {0x3B13, "Medium magazine inserted"},
    {0x3B14, "Medium magazine locked"},
    {0x3B15, "Medium magazine unlocked"},
    {0x3C00, "Mechanical positioning/changer error"},
    {0x3D00, "Invalid bits in identify message"},
    {0x3E00, "Drive has not self-configured yet"},
    {0x3E01, "Logical unit failure"},
    {0x3E02, "Timeout on logical unit"},
    {0x3F00, "Target operate condition have changed"},
    {0x3F01, "Microcode has been changed"},
    {0x3F02, "Changed operating definition"},
    {0x3F03, "Inquiry data has changed"},
    {0x4300, "Message error"},
    {0x4400, "Internal target failure"},
    {0x4500, "Select or reselect failure"},
    {0x4600, "Unsuccessful soft reset"},
    {0x4700, "Scsi parity error"},
    {0x4800, "Initiator detected error message"},
    {0x4900, "Invalid message error"},
    {0x4A00, "Command phase error"},
    {0x4B00, "Data phase error"},
    {0x4C00, "Logical unit fail self-configuration"},
    {0x4E00, "Overlapped commands attempted"},
    {0x5100, "Erase failure"},
    {0x5300, "Media load or eject failed"},
    {0x5302, "Medium removal prevented"},
    {0x5500, "System resource failure"},
    {0x5700, "Unable to recover table of contents"},
    {0x5A00, "Operator request, state change input"},
    {0x5A01, "Operator medium removal request"},
    {0x5A02, "Operator selected write protect"},
    {0x5A03, "Operator selected write permit"},
    {0x5B00, "Log exception"},
    {0x5B01, "Threshold condition met"},
    {0x5B02, "Log counter at maximum"},
    {0x5B03, "Log list codes exhausted"},
    {0x5D00, "Failure prediction threshold exceeded"},
    {0x5D01, "Failure prediction threshold exceeded"},
    {0x5DFF, "Failure prediction threshold exceeded"},
    {0x5E00, "Low power condition on"},
    {0x5E01, "Idle condition activated by timer"},
    {0x5E02, "Standby condition activated by timer"},
    {0x5E03, "Idle condition activated by command"},
    {0x5E04, "Standby condition activate by command"},
    {0x6300, "End of user area on this track"},
    {0x6301, "Packet doesn't fit in available space"},
    {0x6400, "Illegal mode for this track"},
    {0x6401, "Invalid packet size"},
    {0x6500, "Voltage fault"},
    {0x6F00, "Key authentication failure"},
    {0x6F01, "Key not present"},
    {0x6F02, "Key not established"},
    {0x7200, "Session fixation error"},
    {0x7201, "Error writing lead-in"},
    {0x7202, "Error writing lead-out"},
    {0x7203, "Error - incomplete track in session"},
    {0x7204, "Empty or partial write reserved track"},
    {0x7300, "CD control error"},
    {0x7301, "Power calibration area almost full"},
    {0x7302, "Power calibration area is full"},
    {0x7303, "Power calibration area error"},
    {0x7304, "Program memory area update failure"},
    {0x7305, "Program memory area is full"},
    {0xB600, "Media load mechanism failed"},
    {0xB900, "Play operation oborted"},
    {0xBF00, "Loss of streaming"},
};

constexpr size_t kSenseTextRows = sizeof kSenseTexts / sizeof kSenseTexts[0];

// The formatted families share this buffer; the next formatted lookup
// overwrites it.
char g_formatted[64];

}  // namespace

const char* SenseText(uint16_t code) {
  const unsigned asc = code >> 8;
  const unsigned ascq = code & 0xFFu;
  if (asc == 0x40) {
    std::snprintf(g_formatted, sizeof g_formatted, "Diagnostic failure on component %02X", ascq);
    return g_formatted;
  }
  if (asc == 0x4D) {
    std::snprintf(g_formatted, sizeof g_formatted, "Tagged overlapped commands %02X", ascq);
    return g_formatted;
  }
  for (size_t i = 0; i < kSenseTextRows; ++i) {
    if (kSenseTexts[i].code == code) return kSenseTexts[i].text;
  }
  return nullptr;
}

uint16_t SenseCodeOf(const uint8_t* sense, size_t length) {
  if (!sense || length == 0) return 0;
  const unsigned response_code = sense[0] & 0x7Fu;  // without the VALID bit
  const size_t asc = (response_code == 0x72 || response_code == 0x73) ? 2 : 12;
  const auto at = [&](size_t i) -> unsigned { return i < length ? sense[i] : 0u; };
  return static_cast<uint16_t>((at(asc) << 8) | at(asc + 1));
}

const SenseTextRow* SenseTextTable(size_t* rows) {
  if (rows) *rows = kSenseTextRows;
  return kSenseTexts;
}
