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
      {"TEST UNIT READY with no medium", {{0x00}, kNone, 0}, false, 0x3A00},
      {"READ CAPACITY with no medium", {{0x25}, kIn, 8}, false, 0x3A00},
      {"MODE SENSE", {{0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x80}, kIn, 128}, false, 0x2000},
      {"INQUIRY for a vital product data page", {{0x12, 0x01, 0x80, 0, 0x38}, kIn, 56}, false, 0x2400},
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

TEST(SimDrive, NoMediumIsNotReady) {
  SimDrive drive;
  const SimReply r = Send(drive, {{0x00}, kNone, 0});
  EXPECT_EQ(r.sense[2], 0x02);  // NOT READY
  EXPECT_EQ(r.SenseCode(), 0x3A00);
}

// A carrier that delivers only the first 10 bytes of a 12-byte vendor
// command: the drive cannot check the rest of the signature, and must not
// take whatever lies behind the delivered bytes as part of the command.
TEST(SimDrive, VendorCommandCutShortIsCheckedAsFarAsItArrived) {
  SimDrive drive;
  std::vector<uint8_t> data(1024, 0x5A);
  auto send = [&](std::vector<uint8_t> cdb, uint8_t cdb_bytes, SimDirection direction, uint32_t length) {
    SimRequest rq;
    rq.cdb = cdb.data();
    rq.cdb_bytes = cdb_bytes;
    rq.direction = direction;
    rq.buffer = length ? data.data() : nullptr;
    rq.length = length;
    rq.pass_through = true;
    return drive.Execute(rq);
  };
  const std::vector<uint8_t> write = {0x33, 0x0C, 0xF1, 0, 0, 0, 0, 0x04, 0x00, 'K', 0, 0};
  EXPECT_EQ(send(write, 10, kOut, 1024).scsi_status, 0);
  EXPECT_EQ(drive.Log().back().cdb_bytes, 10);
  ASSERT_EQ(drive.BufferContents().size(), 1024u);

  const std::vector<uint8_t> wrong_k = {0x33, 0x0C, 0xF1, 0, 0, 0, 0, 0x04, 0x00, 'X', 'V', 'D'};
  EXPECT_EQ(send(wrong_k, 10, kOut, 1024).SenseCode(), 0x2400) << "byte 9 arrived and is wrong";
  EXPECT_EQ(send(write, 12, kOut, 1024).SenseCode(), 0x2400) << "all 12 arrived: bytes 10-11 are checked";

  const std::vector<uint8_t> update = {0x33, 0x0C, 0xF1, 0, 0, 0, 0x80, 0, 0, 'K', 0, 0};
  EXPECT_EQ(send(update, 10, kNone, 0).scsi_status, 0);
  EXPECT_EQ(drive.flash_count(), 1);
}

TEST(SimDrive, KnowsTheDirectionOfItsCommands) {
  const uint8_t inquiry[12] = {0x12};
  const uint8_t identify[12] = {0x33, 0x0C, 0xF0};
  const uint8_t write[12] = {0x33, 0x0C, 0xF1, 0, 0, 0, 0x00};
  const uint8_t read[12] = {0x33, 0x0C, 0xF2};
  const uint8_t update[12] = {0x33, 0x0C, 0xF1, 0, 0, 0, 0x80};
  EXPECT_EQ(SimDrive::DirectionOf(inquiry), kIn);
  EXPECT_EQ(SimDrive::DirectionOf(identify), kIn);
  EXPECT_EQ(SimDrive::DirectionOf(write), kOut);
  EXPECT_EQ(SimDrive::DirectionOf(read), kIn);
  EXPECT_EQ(SimDrive::DirectionOf(update), kNone);
}

}  // namespace
