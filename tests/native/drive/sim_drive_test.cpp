// The simulated drive must be as strict as a real one, or the transfer tests
// would pass against commands a drive rejects.
#include "drive_fixture.h"

namespace {

struct Raw {
  std::vector<uint8_t> cdb;
  SimDirection direction;
  uint32_t length;
};

SimReply Send(SimDrive& drive, const Raw& raw, bool pass_through = false) {
  std::vector<uint8_t> cdb = raw.cdb;
  cdb.resize(12, 0);
  std::vector<uint8_t> data(raw.length + 1, 0x11);
  SimRequest rq;
  rq.cdb = cdb.data();
  rq.direction = raw.direction;
  rq.buffer = raw.length ? data.data() : nullptr;
  rq.length = raw.length;
  rq.pass_through = pass_through;
  return drive.Execute(rq);
}

constexpr SimDirection kIn = SimDirection::In, kOut = SimDirection::Out, kNone = SimDirection::None;

TEST(SimDrive, RejectsWhatARealDriveWould) {
  SimDrive drive;
  const std::vector<uint8_t> write = {0x33, 0x6C, 0xF1, 0, 0, 0, 0, 0x04, 0x00, 'K', 'V', 'D'};
  const struct { const char* what; Raw raw; bool pass_through; uint16_t sense; } cases[] = {
      {"TEST UNIT READY", {{0x00}, kNone, 0}, false, 0x2000},
      {"standard WRITE BUFFER", {{0x3B, 0x02}, kOut, 1024}, false, 0x2000},
      {"vendor function F3", {{0x33, 0x6C, 0xF3, 0, 0, 0, 0, 0, 4, 'K', 'V', 'D'}, kIn, 4}, false, 0x2000},
      {"6C through the pass-through", {write, kOut, 1024}, true, 0x2400},
      {"no signature", {{0x33, 0x6C, 0xF1, 0, 0, 0, 0, 0x04, 0x00, 'K', 'V', 'X'}, kOut, 1024}, false, 0x2400},
      {"length differs from the data phase", {write, kOut, 1000}, false, 0x2400},
      {"write without data out", {write, kIn, 1024}, false, 0x2400},
      {"chunk over 1024", {{0x33, 0x6C, 0xF1, 0, 0, 0, 0, 0x04, 0x04, 'K', 'V', 'D'}, kOut, 1028}, false, 0x2400},
      {"unknown mode", {{0x33, 0x6C, 0xF1, 0, 0, 0, 0x20, 0, 4, 'K', 'V', 'D'}, kOut, 4}, false, 0x2400},
      {"update with a length", {{0x33, 0x6C, 0xF1, 0, 0, 0, 0x80, 0, 4, 'K', 'V', 'D'}, kNone, 0}, false, 0x2400},
      {"update of an empty buffer", {{0x33, 0x6C, 0xF1, 0, 0, 0, 0x80, 0, 0, 'K', 'V', 'D'}, kNone, 0}, false, 0x2C00},
  };
  for (const auto& c : cases) {
    const SimReply r = Send(drive, c.raw, c.pass_through);
    EXPECT_EQ(r.scsi_status, 2) << c.what;
    EXPECT_EQ(r.SenseCode(), c.sense) << c.what;
  }
  EXPECT_EQ(drive.flash_count(), 0);
  EXPECT_TRUE(drive.BufferContents().empty());
}

}  // namespace
