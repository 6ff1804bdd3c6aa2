// The pass-through transport against stand-in SetupAPI and driver calls.
#include <gtest/gtest.h>

#include <cstring>

#include "drive/commands.h"
#include "scsi/dispatcher.h"
#include "tests/win/transports/stand_ins.h"

namespace {

// The sizes the system checks, on this processor.
#if defined(_WIN64)
constexpr DWORD kInterfaceDataSize = 32, kDetailSize = 8, kRequestSize = 96;
constexpr uint16_t kDirectLength = 56;
constexpr uint32_t kSenseOffset = 60;
#else
constexpr DWORD kInterfaceDataSize = 28, kDetailSize = 5, kRequestSize = 80;
constexpr uint16_t kDirectLength = 44;
constexpr uint32_t kSenseOffset = 48;
#endif

// A request as the dispatcher hands it to the transport.
ScsiRequest Request(uint32_t timeout_ms, void* data = nullptr, uint32_t length = 0) {
  ScsiRequest r;
  r.timeout_ms = timeout_ms;
  r.direction = data ? ScsiDirection::kIn : ScsiDirection::kNone;
  r.data_buffer = data;
  r.data_length = length;
  return r;
}

class PassThrough : public ::testing::Test {
 protected:
  void SetUp() override { InstallWorld(); }
  void TearDown() override { UninstallWorld(); }

  void Interfaces(int n) {
    for (int i = 0; i < n; ++i)
      g_world.interfaces.push_back({"\\\\?\\ide#cdrom" + std::to_string(i) + "#{53f56308}", false, false});
  }
  // One drive, selected, in pass-through mode with the real attempt bound.
  void OneDriveSelected() {
    Interfaces(1);
    ASSERT_EQ(PassThroughEnumerateDrives(), 1);
    g_pass_through_mode = true;
    Transports().pass_through_attempt = PassThroughAttempt;
    ASSERT_EQ(SelectDrive(0), 1);
  }
};

TEST_F(PassThrough, EnumerationMakesExactlyTheListedCalls) {
  Interfaces(2);
  EXPECT_EQ(PassThroughEnumerateDrives(), 2);

  const GUID cdrom = {0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
  EXPECT_TRUE(IsEqualGUID(g_world.class_guid, cdrom));
  EXPECT_EQ(g_world.class_flags, 0x12u);
  EXPECT_TRUE(g_world.class_enumerator_null);
  EXPECT_TRUE(g_world.class_window_null);
  // Member indices 0, 1, 2 (the failing one ends the walk), size 28 (32 on
  // 64-bit) each time.
  EXPECT_EQ(g_world.enum_indices, (std::vector<DWORD>{0, 1, 2}));
  for (DWORD size : g_world.enum_cb_sizes) EXPECT_EQ(size, kInterfaceDataSize);
  // Detail twice per interface: the size query, then a record whose size
  // field is 5 (8 on 64-bit).
  EXPECT_EQ(g_world.detail_size_queries, 2);
  EXPECT_EQ(g_world.detail_cb_sizes, (std::vector<DWORD>{kDetailSize, kDetailSize}));
  ASSERT_EQ(g_world.opens.size(), 2u);
  for (const CreateFileCall& open : g_world.opens) {
    EXPECT_EQ(open.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(open.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(open.disposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open.flags, 0u);
    EXPECT_TRUE(open.security_null);
    EXPECT_TRUE(open.template_null);
  }
  EXPECT_EQ(g_world.opens[1].name, g_world.interfaces[1].path);
  EXPECT_EQ(g_world.destroyed_sets, 1);
}

TEST_F(PassThrough, AnInterfaceThatCannotBeOpenedKeepsItsSlot) {
  Interfaces(3);
  g_world.interfaces[1].open_fails = true;
  EXPECT_EQ(PassThroughEnumerateDrives(), 3);
  EXPECT_EQ(g_drive_table_count, 3);
  EXPECT_EQ(DriveTable[0].device_handle, FakeHandleFor(0));
  EXPECT_EQ(DriveTable[1].device_handle, nullptr);
  EXPECT_EQ(DriveTable[2].device_handle, FakeHandleFor(2));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(DriveTable[i].path_id, 0);
    EXPECT_EQ(DriveTable[i].lun, 0);
    EXPECT_EQ(DriveTable[i].target_id, 0);
  }
}

TEST_F(PassThrough, AnUnreadableDetailRecordAlsoKeepsItsSlotWithoutAnOpen) {
  Interfaces(2);
  g_world.interfaces[0].detail_fails = true;
  EXPECT_EQ(PassThroughEnumerateDrives(), 2);
  EXPECT_EQ(DriveTable[0].device_handle, nullptr);
  EXPECT_EQ(DriveTable[1].device_handle, FakeHandleFor(1));
  EXPECT_EQ(g_world.opens.size(), 1u);
}

TEST_F(PassThrough, NoInformationSetOrNoInterfaceGivesNoDrive) {
  g_world.class_devs_fail = true;
  Interfaces(2);
  EXPECT_EQ(PassThroughEnumerateDrives(), 0);
  EXPECT_TRUE(g_world.opens.empty());

  g_world = World{};
  EXPECT_EQ(PassThroughEnumerateDrives(), 0);
  EXPECT_EQ(g_world.destroyed_sets, 1);
}

TEST_F(PassThrough, InterfacesBeyondTheTwoHundredthAreNeitherOpenedNorCounted) {
  Interfaces(205);
  EXPECT_EQ(PassThroughEnumerateDrives(), 200);
  EXPECT_EQ(g_drive_table_count, 200);
  EXPECT_EQ(g_world.opens.size(), 200u);
  EXPECT_EQ(g_world.enum_indices.back(), 199u);
  EXPECT_EQ(DriveTable[199].device_handle, FakeHandleFor(199));
}

TEST_F(PassThrough, TimeOutsGoOutInWholeSeconds) {
  OneDriveSelected();
  uint8_t reply[56];
  Inquiry(reply, sizeof reply);               // 1000 ms
  IdentifyModel(reply, 16);                   // 10000 ms
  WriteBuffer(nullptr, 0, 0, kUpdateModeDefault);  // 30000 ms
  ASSERT_EQ(g_world.ioctls.size(), 3u);
  EXPECT_EQ(g_world.ioctls[0].request.sptd.TimeOutValue, 1u);
  EXPECT_EQ(g_world.ioctls[1].request.sptd.TimeOutValue, 10u);
  EXPECT_EQ(g_world.ioctls[2].request.sptd.TimeOutValue, 30u);
  PassThroughAttempt(Request(1999));
  EXPECT_EQ(g_world.ioctls.back().request.sptd.TimeOutValue, 1u);
}

TEST_F(PassThrough, VendorCdbLosesItsLunBitsAndInquiryGoesUnchanged) {
  OneDriveSelected();
  uint8_t reply[56];
  Inquiry(reply, sizeof reply);
  IdentifyModel(reply, 16);
  ASSERT_EQ(g_world.ioctls.size(), 2u);
  const uint8_t inquiry[12] = {0x12, 0, 0, 0, 0x38, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t identify[12] = {0x33, 0x0C, 0xF0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0};
  EXPECT_EQ(std::memcmp(g_world.ioctls[0].request.sptd.Cdb, inquiry, 12), 0);
  EXPECT_EQ(std::memcmp(g_world.ioctls[1].request.sptd.Cdb, identify, 12), 0);
}

TEST_F(PassThrough, DataDirectionAndLengthFollowTheRequest) {
  OneDriveSelected();
  uint8_t chunk[1024] = {1, 2, 3};
  WriteBuffer(chunk, 0x400, sizeof chunk, 0);   // data out
  WriteBuffer(nullptr, 0, 0, kUpdateModeDefault);  // no data phase, no buffer
  ASSERT_EQ(g_world.ioctls.size(), 2u);
  const PassThroughDirect& out = g_world.ioctls[0].request.sptd;
  EXPECT_EQ(out.DataIn, 0);
  EXPECT_EQ(out.DataTransferLength, 1024u);
  EXPECT_EQ(out.DataBuffer, chunk);  // the caller's buffer itself
  const PassThroughDirect& none = g_world.ioctls[1].request.sptd;
  EXPECT_EQ(none.DataIn, 1);
  EXPECT_EQ(none.DataTransferLength, 0u);
  EXPECT_EQ(none.DataBuffer, nullptr);
}

// 80 bytes, Length 44, sense at 48 (64-bit: 96, 56, 60).
TEST_F(PassThrough, TheRequestGoesToTheCurrentDriveAsOneIoctlOfTheWholeRequest) {
  Interfaces(3);
  PassThroughEnumerateDrives();
  g_pass_through_mode = true;
  Transports().pass_through_attempt = PassThroughAttempt;
  ASSERT_EQ(SelectDrive(2), 1);
  uint8_t reply[56];
  Inquiry(reply, sizeof reply);
  ASSERT_EQ(g_world.ioctls.size(), 1u);
  const IoctlCall& call = g_world.ioctls[0];
  EXPECT_EQ(call.device, FakeHandleFor(2));
  EXPECT_EQ(call.code, 0x4D014u);
  EXPECT_EQ(call.in_size, kRequestSize);
  EXPECT_EQ(call.out_size, kRequestSize);
  EXPECT_TRUE(call.same_buffer);
  EXPECT_TRUE(call.overlapped_null);
  EXPECT_EQ(call.request.sptd.Length, kDirectLength);
  EXPECT_EQ(call.request.sptd.CdbLength, 12);
  EXPECT_EQ(call.request.sptd.SenseInfoLength, 32);
  EXPECT_EQ(call.request.sptd.SenseInfoOffset, kSenseOffset);
}

TEST_F(PassThrough, WhatTheSystemWritesBackBecomesTheOutcome) {
  OneDriveSelected();
  uint8_t data[1024];
  ScsiOutcome o = PassThroughAttempt(Request(1000, data, sizeof data));
  EXPECT_EQ(o.category, ScsiCategory::kGood);
  EXPECT_EQ(o.transferred, 1024u);
  g_world.ioctl_resid = 24;
  EXPECT_EQ(PassThroughAttempt(Request(1000, data, sizeof data)).transferred, 1000u);

  g_world.ioctl_scsi_status = kScsiStatusCheckCondition;
  g_world.ioctl_sense = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  o = PassThroughAttempt(Request(1000));
  EXPECT_EQ(o.category, ScsiCategory::kDriveStatus);
  EXPECT_EQ(o.status, kScsiStatusCheckCondition);
  EXPECT_EQ(o.sense_length, 32);  // the whole buffer: it went out zeroed
  EXPECT_EQ(o.sense[12], 0x24);
  EXPECT_EQ(o.transport_code, 0u);

  g_world.ioctl_scsi_status = kScsiStatusBusy;
  o = PassThroughAttempt(Request(1000));
  EXPECT_EQ(o.category, ScsiCategory::kDriveStatus);
  EXPECT_EQ(o.status, kScsiStatusBusy);
  EXPECT_EQ(o.sense_length, 0);

  g_world.ioctl_result = FALSE;
  EXPECT_EQ(PassThroughAttempt(Request(1000)).category, ScsiCategory::kLost);
  g_current_drive.device_handle = nullptr;
  EXPECT_EQ(PassThroughAttempt(Request(1000)).category, ScsiCategory::kRejected);
}

TEST_F(PassThrough, TheRequestIsBuiltFromTheNeutralRequestAndTheCurrentDrive) {
  g_drive_table_count = 2;
  g_pass_through_mode = true;
  DriveTable[1] = DriveEntry{FakeHandleFor(0), 1, 2, 9, 3};
  ASSERT_EQ(SelectDrive(1), 1);
  uint8_t data[1024];
  ScsiRequest r = Request(30999, data, sizeof data);
  r.direction = ScsiDirection::kOut;
  for (int i = 0; i < 16; ++i) r.cdb[i] = static_cast<uint8_t>(0xA0 + i);
  r.cdb[0] = 0x33;
  r.cdb[1] = 0x6C;
  PassThroughRequest built;
  std::memset(&built, 0xEE, sizeof built);
  BuildPassThroughRequest(r, built);
  const PassThroughDirect& d = built.sptd;
  EXPECT_EQ(d.Length, kDirectLength);
  EXPECT_EQ(d.ScsiStatus, 0);
  EXPECT_EQ(d.PathId, 1);
  EXPECT_EQ(d.Lun, 2);
  EXPECT_EQ(d.TargetId, 3);
  EXPECT_EQ(d.CdbLength, 12);
  EXPECT_EQ(d.SenseInfoLength, 32);
  EXPECT_EQ(d.DataIn, 0);
  EXPECT_EQ(d.DataTransferLength, 1024u);
  EXPECT_EQ(d.TimeOutValue, 30u);
  EXPECT_EQ(d.DataBuffer, data);
  EXPECT_EQ(d.SenseInfoOffset, kSenseOffset);
  EXPECT_EQ(d.Cdb[1], 0x0C);
  for (int i = 2; i < 16; ++i) EXPECT_EQ(d.Cdb[i], 0xA0 + i) << i;
  EXPECT_EQ(built.filler, 0u);
  for (uint8_t b : built.sense) EXPECT_EQ(b, 0);
  for (ScsiDirection dir : {ScsiDirection::kIn, ScsiDirection::kNone}) {
    r.direction = dir;
    BuildPassThroughRequest(r, built);
    EXPECT_EQ(built.sptd.DataIn, 1);
  }
}

TEST_F(PassThrough, AnUnopenedDriveFailsAfterFiveRejectedAttempts) {
  Interfaces(1);
  g_world.interfaces[0].open_fails = true;
  PassThroughEnumerateDrives();
  g_pass_through_mode = true;
  Transports().pass_through_attempt = PassThroughAttempt;
  SelectDrive(0);
  g_world.ioctl_result = FALSE;  // what the system does with a null handle
  uint8_t reply[56];
  EXPECT_EQ(Inquiry(reply, sizeof reply), 0);
  EXPECT_EQ(g_world.ioctls.size(), 5u);
  EXPECT_EQ(g_world.ioctls[0].device, nullptr);
}

TEST_F(PassThrough, EveryAttemptIsTracedWithoutTheCharacterColumn) {
  OneDriveSelected();
  FileTraceOn trace;
  g_world.ioctl_scsi_status = kScsiStatusCheckCondition;
  g_world.ioctl_sense = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  g_world.ioctl_result = FALSE;  // traced whether or not the request succeeded
  uint8_t data[4] = {'A', 'B', 0x7E, 0};
  ScsiRequest request = Request(1000, data, sizeof data);
  request.cdb[0] = 0x33;
  request.cdb[1] = 0x6C;
  EXPECT_EQ(PassThroughAttempt(request).category, ScsiCategory::kLost);

  const std::string& w = FileTraceOn::Written();
  ASSERT_EQ(w.size(), 4u * 94 + 2 * 2);
  EXPECT_EQ(w.substr(0, 28), "Command       :       33 0C ");
  EXPECT_EQ(w.substr(94, 25), "ASPI Status   :       02 ");
  EXPECT_EQ(w.substr(188, 34), "DataBuf       :       41 42 7E 00 ");
  EXPECT_EQ(w.substr(188 + 76, 16), std::string(16, ' '));  // no character column
  EXPECT_EQ(w.substr(282, 61), "Sense Code    :       70 00 05 00 00 00 00 0A 00 00 00 00 24 ");
  EXPECT_EQ(w.substr(376), "\r\n\r\n");
}

TEST_F(PassThrough, WithoutADataBufferThereIsNoDataLine) {
  OneDriveSelected();
  TraceOn trace;
  PassThroughAttempt(Request(1000));
  const std::vector<std::string> lines = trace.captured.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].substr(0, 16), "Command       : ");
  EXPECT_EQ(lines[1], "ASPI Status   :       00 ");
  EXPECT_EQ(lines[2].substr(0, 16), "Sense Code    : ");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "");
}

}  // namespace
