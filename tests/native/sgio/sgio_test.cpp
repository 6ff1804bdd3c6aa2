// The SG_IO attempt against a scripted ioctl: how the header is filled from
// the neutral request, how every header field maps onto the outcome, and
// what the dispatcher makes of it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/app_state.h"
#include "base/host.h"
#include "drive/commands.h"
#include "scsi/dispatcher.h"
#include "scsi/sg_discovery_linux.h"
#include "scsi/sgio_linux.h"

namespace {

// What the fake kernel answers to one SG_IO request.
struct KernelAnswer {
  int ioctl_result = 0;
  uint8_t status = 0;
  uint16_t host_status = 0;
  uint16_t driver_status = 0;
  int resid = 0;
  uint8_t sb_len_wr = 0;
  uint16_t sense = 0;     // ASC/ASCQ written when sb_len_wr covers them
  uint8_t fill = 0;       // data-in bytes delivered
  uint8_t format = 0x70;  // sense response code: 70h fixed, 72h descriptor
};

// What a buffer holds past the bytes the kernel wrote: left over from
// earlier, and in both formats a unit attention (which a question would take
// for an answer).
void Stale(uint8_t* sense, unsigned from, unsigned size) {
  for (unsigned i = from; i < size; ++i) sense[i] = 0x29;
  if (from <= 3 && size > 3) sense[3] = 0x00;
  if (from <= 13 && size > 13) sense[13] = 0x00;
}

struct SeenRequest {
  int fd;
  int direction;
  unsigned dxfer_len;
  unsigned timeout;
  unsigned char cmd_len;
  unsigned char mx_sb_len;
  uint8_t cdb[12];
  std::vector<uint8_t> data_out;
};

std::vector<KernelAnswer> g_answers;
std::vector<SeenRequest> g_seen;

int FakeSgIo(int fd, sg_io_hdr_t* h) {
  SeenRequest seen{fd, h->dxfer_direction, h->dxfer_len, h->timeout, h->cmd_len, h->mx_sb_len, {}, {}};
  std::memcpy(seen.cdb, h->cmdp, 12);
  if (h->dxfer_direction == SG_DXFER_TO_DEV) {
    const auto* p = static_cast<const uint8_t*>(h->dxferp);
    seen.data_out.assign(p, p + h->dxfer_len);
  }
  g_seen.push_back(seen);
  const KernelAnswer a = g_answers.empty() ? KernelAnswer{} : g_answers[std::min(g_seen.size(), g_answers.size()) - 1];
  if (a.ioctl_result != 0) return a.ioctl_result;
  h->status = a.status;
  h->masked_status = static_cast<unsigned char>(a.status >> 1);
  h->host_status = a.host_status;
  h->driver_status = a.driver_status;
  h->resid = a.resid;
  h->sb_len_wr = a.sb_len_wr;
  auto* sense = static_cast<uint8_t*>(h->sbp);
  const unsigned written = a.sb_len_wr < h->mx_sb_len ? a.sb_len_wr : h->mx_sb_len;
  for (unsigned i = 0; i < written; ++i) sense[i] = 0;
  Stale(sense, written, h->mx_sb_len);
  if (written > 0) sense[0] = a.format;
  const unsigned asc = a.format == 0x72 ? 2 : 12;
  if (written > asc + 1) {
    sense[asc] = static_cast<uint8_t>(a.sense >> 8);
    sense[asc + 1] = static_cast<uint8_t>(a.sense);
  }
  if (h->dxfer_direction == SG_DXFER_FROM_DEV && a.resid >= 0 && static_cast<unsigned>(a.resid) < h->dxfer_len)
    std::memset(h->dxferp, a.fill, h->dxfer_len - static_cast<unsigned>(a.resid));
  return 0;
}

class SgioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetScsiState();
    ResetTransports();
    ResetHost();
    g_answers.clear();
    g_seen.clear();
    Sgio().sg_io = FakeSgIo;
    drive_.fd = 42;
    Transports().pass_through_attempt = SgioAttempt;
    g_pass_through_mode = true;
    DriveTable[0].device_handle = &drive_;
    g_drive_table_count = 1;
    ASSERT_EQ(SelectDrive(0), 1);
  }
  void TearDown() override {
    ResetSgio();
    ResetScsiState();
    ResetTransports();
  }
  SgDrive drive_;
};

TEST_F(SgioTest, EachCommandFillsTheHeaderFromItsRecord) {
  uint8_t reply[56];
  uint8_t chunk[1024];
  for (size_t i = 0; i < sizeof chunk; ++i) chunk[i] = static_cast<uint8_t>(i * 7);
  const std::vector<uint8_t> sent(chunk, chunk + sizeof chunk);
  ASSERT_EQ(Inquiry(reply, sizeof reply), 1);
  ASSERT_EQ(WriteBuffer(chunk, 0x12400, sizeof chunk, 0), 1);
  ASSERT_EQ(ReadBuffer(chunk, 0x400, sizeof chunk, 0), 1);
  ASSERT_EQ(WriteBuffer(nullptr, 0, 0, kUpdateModeDefault), 1);
  ASSERT_EQ(g_seen.size(), 4u);

  for (const SeenRequest& r : g_seen) {
    EXPECT_EQ(r.fd, 42);
    EXPECT_EQ(r.cmd_len, 12);
    EXPECT_EQ(r.mx_sb_len, 32);
  }
  EXPECT_EQ(g_seen[0].direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(g_seen[0].dxfer_len, 56u);
  EXPECT_EQ(g_seen[0].timeout, 1000u);
  EXPECT_EQ(g_seen[0].cdb[0], 0x12);

  EXPECT_EQ(g_seen[1].direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(g_seen[1].dxfer_len, 1024u);
  EXPECT_EQ(g_seen[1].timeout, 30000u);
  EXPECT_EQ(g_seen[1].data_out, sent);
  // Vendor commands go out with the pass-through form of byte 1.
  EXPECT_EQ(g_seen[1].cdb[0], 0x33);
  EXPECT_EQ(g_seen[1].cdb[1], 0x0C);
  EXPECT_EQ(g_seen[1].cdb[3], 0x01);
  EXPECT_EQ(g_seen[1].cdb[4], 0x24);

  EXPECT_EQ(g_seen[2].direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(g_seen[3].direction, SG_DXFER_NONE);
  EXPECT_EQ(g_seen[3].dxfer_len, 0u);
  EXPECT_EQ(g_seen[3].cdb[6], 0x80);
}

TEST_F(SgioTest, CheckConditionHandsTheSenseToTheDispatcher) {
  // Invalid field: five attempts, then the text of the sense code.
  g_answers = {KernelAnswer{0, 0x02, 0, 0x08, 0, 18, 0x2400, 0}};
  uint8_t reply[16];
  EXPECT_EQ(IdentifyModel(reply, sizeof reply), 0);
  EXPECT_EQ(g_seen.size(), 5u);
  EXPECT_EQ(LastFailureText(), "Invalid field in command packet");

  // A unit attention after a reset counts as done, at the first attempt.
  g_seen.clear();
  g_answers = {KernelAnswer{0, 0x02, 0, 0x08, 0, 18, 0x2900, 0}};
  EXPECT_EQ(IdentifyModel(reply, sizeof reply), 1);
  EXPECT_EQ(g_seen.size(), 1u);
}

TEST_F(SgioTest, SenseBeyondWhatTheKernelWroteIsNeverRead) {
  // CHECK CONDITION with only 8 sense bytes of fixed format: ASC/ASCQ are
  // not there, so the code is 0 ("Successful" is the text of a failure with
  // no sense), and the stale unit attention behind them is not taken for
  // the drive's answer.
  g_answers = {KernelAnswer{0, 0x02, 0, 0x08, 0, 8, 0x2900, 0}};
  uint8_t reply[16];
  EXPECT_EQ(IdentifyModel(reply, sizeof reply), 0);
  EXPECT_EQ(g_seen.size(), 5u);
  EXPECT_EQ(LastFailureText(), "Successful");

  // Nothing written at all.
  g_seen.clear();
  g_answers = {KernelAnswer{0, 0x02, 0, 0x08, 0, 0, 0x2900, 0}};
  EXPECT_EQ(IdentifyModel(reply, sizeof reply), 0);
  EXPECT_EQ(g_seen.size(), 5u);
}

TEST_F(SgioTest, DescriptorFormatSenseIsReadWhereItStands) {
  // Eight bytes of descriptor format carry the whole code.
  g_answers = {KernelAnswer{0, 0x02, 0, 0x08, 0, 8, 0x2400, 0, 0x72}};
  uint8_t reply[16];
  EXPECT_EQ(IdentifyModel(reply, sizeof reply), 0);
  EXPECT_EQ(g_seen.size(), 5u);
  EXPECT_EQ(LastFailureText(), "Invalid field in command packet");

  g_seen.clear();
  g_answers = {KernelAnswer{0, 0x02, 0, 0x08, 0, 8, 0x2900, 0, 0x72}};
  EXPECT_EQ(IdentifyModel(reply, sizeof reply), 1);  // a unit attention answers a question
  EXPECT_EQ(g_seen.size(), 1u);

  // A buffer command the drive did not carry out is sent again.
  g_seen.clear();
  g_answers = {KernelAnswer{0, 0x02, 0, 0x08, 0, 18, 0x2900, 0, 0x72}, KernelAnswer{}};
  uint8_t chunk[1024] = {};
  EXPECT_EQ(WriteBuffer(chunk, 0, sizeof chunk, 0), 1);
  EXPECT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(LastFailureText(), "Power on, reset, or bus reset occurre");
}

TEST_F(SgioTest, TransportErrorsAreFailedAttemptsWithoutSense) {
  struct Case {
    const char* what;
    KernelAnswer answer;
  } cases[] = {
      {"ioctl fails", KernelAnswer{-1}},
      {"kernel time-out", KernelAnswer{0, 0, 0x03 /* DID_TIME_OUT */, 0, 0, 0, 0, 0}},
      {"host adapter error", KernelAnswer{0, 0, 0x07 /* DID_ERROR */, 0, 0, 0, 0, 0}},
      {"driver error", KernelAnswer{0, 0, 0, 0x06 /* DRIVER_TIMEOUT */, 0, 0, 0, 0}},
      // A unit attention that came with a bus reset: the host error wins.
      {"host error with sense", KernelAnswer{0, 0x02, 0x08 /* DID_RESET */, 0x08, 0, 18, 0x2900, 0}},
      {"busy", KernelAnswer{0, 0x08, 0, 0, 0, 0, 0, 0}},
      {"reservation conflict", KernelAnswer{0, 0x18, 0, 0, 0, 0, 0, 0}},
  };
  uint8_t chunk[1024] = {};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_seen.clear();
    g_answers = {c.answer};
    EXPECT_EQ(WriteBuffer(chunk, 0, sizeof chunk, 0), 0);
    EXPECT_EQ(g_seen.size(), 5u);
    EXPECT_EQ(LastFailureText(), "");
  }
}

TEST_F(SgioTest, ShortTransfersFailForBufferCommandsOnly) {
  uint8_t chunk[1024] = {};
  g_answers = {KernelAnswer{0, 0, 0, 0, 512, 0, 0, 0xAB}};
  EXPECT_EQ(ReadBuffer(chunk, 0, sizeof chunk, 0), 0);
  EXPECT_EQ(g_seen.size(), 5u);
  EXPECT_EQ(WriteBuffer(chunk, 0, sizeof chunk, 0), 0);
  EXPECT_EQ(g_seen.size(), 10u);

  // Drives commonly answer INQUIRY with 36 of 56 bytes.
  g_seen.clear();
  g_answers = {KernelAnswer{0, 0, 0, 0, 20, 0, 0, 0x41}};
  uint8_t inquiry[56] = {};
  EXPECT_EQ(Inquiry(inquiry, sizeof inquiry), 1);
  EXPECT_EQ(inquiry[35], 0x41);
  EXPECT_EQ(g_seen.size(), 1u);
  // A residue that is no residue at all is not data.
  g_answers = {KernelAnswer{0, 0, 0, 0, -4, 0, 0, 0}};
  EXPECT_EQ(Inquiry(inquiry, sizeof inquiry), 0);
  g_answers = {KernelAnswer{0, 0, 0, 0, 57, 0, 0, 0}};
  EXPECT_EQ(Inquiry(inquiry, sizeof inquiry), 0);

}

// The header of a completed request, as SgioOutcome reads it.
sg_io_hdr_t Completed(uint8_t status, int direction = SG_DXFER_FROM_DEV, unsigned length = 1024, int resid = 0) {
  sg_io_hdr_t h = {};
  h.interface_id = 'S';
  h.dxfer_direction = direction;
  h.dxfer_len = direction == SG_DXFER_NONE ? 0 : length;
  h.status = status;
  h.resid = resid;
  h.mx_sb_len = 32;
  return h;
}

TEST(SgioOutcomeTest, HostAndDriverErrorsAreLostWhateverStatusCameWithThem) {
  uint8_t sense[32] = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00};
  struct Case {
    const char* what;
    uint16_t host, driver;
    uint8_t status;
    ScsiCategory category;
  } cases[] = {
      {"kernel time-out", 0x03, 0, kScsiStatusGood, ScsiCategory::kLost},
      {"host adapter error", 0x07, 0, kScsiStatusGood, ScsiCategory::kLost},
      {"bus reset with a unit attention", 0x08, 0x08, kScsiStatusCheckCondition, ScsiCategory::kLost},
      {"driver time-out", 0, 0x06, kScsiStatusGood, ScsiCategory::kLost},
      {"driver error with suggestion bits", 0, 0x14, kScsiStatusGood, ScsiCategory::kLost},
      {"sense alone is no driver error", 0, 0x08, kScsiStatusCheckCondition, ScsiCategory::kDriveStatus},
      {"suggestion bits alone are none", 0, 0x10, kScsiStatusGood, ScsiCategory::kGood},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sg_io_hdr_t h = Completed(c.status);
    h.host_status = c.host;
    h.driver_status = c.driver;
    h.sbp = sense;
    h.sb_len_wr = 18;
    const ScsiOutcome o = SgioOutcome(h);
    EXPECT_EQ(o.category, c.category);
    if (c.category == ScsiCategory::kLost) {
      EXPECT_EQ(o.sense_length, 0);  // nothing of what came with it is read
      EXPECT_EQ(o.transport_code, 0u);
    }
  }
}

TEST(SgioOutcomeTest, StatusesSenseAndResiduesMapOntoTheOutcome) {
  uint8_t sense[32];
  std::memset(sense, 0x29, sizeof sense);  // stale past what was written
  sense[0] = 0x70;
  sense[12] = 0x24;
  sense[13] = 0x00;

  sg_io_hdr_t check = Completed(kScsiStatusCheckCondition);
  check.sbp = sense;
  check.sb_len_wr = 14;
  ScsiOutcome o = SgioOutcome(check);
  EXPECT_EQ(o.category, ScsiCategory::kDriveStatus);
  EXPECT_EQ(o.status, kScsiStatusCheckCondition);
  EXPECT_EQ(o.sense_length, 14);
  EXPECT_EQ(o.sense[12], 0x24);
  for (size_t i = 14; i < sizeof o.sense; ++i) EXPECT_EQ(o.sense[i], 0) << i;
  check.sb_len_wr = 200;  // more than the buffer: the buffer's length
  EXPECT_EQ(SgioOutcome(check).sense_length, 32);

  for (uint8_t status : {kScsiStatusBusy, kScsiStatusReservationConflict, kScsiStatusTaskSetFull,
                         kScsiStatusTaskAborted, kScsiStatusConditionMet}) {
    sg_io_hdr_t h = Completed(status);
    h.sbp = sense;
    h.sb_len_wr = 18;
    o = SgioOutcome(h);
    EXPECT_EQ(o.category, ScsiCategory::kDriveStatus) << int{status};
    EXPECT_EQ(o.status, status);
    EXPECT_EQ(o.sense_length, 0) << "sense only comes with CHECK CONDITION";
  }

  struct Residue {
    int resid;
    ScsiCategory category;
    uint32_t moved;
  } residues[] = {{0, ScsiCategory::kGood, 1024}, {24, ScsiCategory::kGood, 1000},
                  {1024, ScsiCategory::kGood, 0}, {1025, ScsiCategory::kLost, 0}, {-1, ScsiCategory::kLost, 0}};
  for (const Residue& r : residues) {
    SCOPED_TRACE(r.resid);
    for (int direction : {SG_DXFER_FROM_DEV, SG_DXFER_TO_DEV}) {
      o = SgioOutcome(Completed(kScsiStatusGood, direction, 1024, r.resid));
      EXPECT_EQ(o.category, r.category);
      EXPECT_EQ(o.transferred, r.moved);
    }
  }
  // Without a data phase a residue means nothing.
  o = SgioOutcome(Completed(kScsiStatusGood, SG_DXFER_NONE, 0, 77));
  EXPECT_EQ(o.category, ScsiCategory::kGood);
}

TEST_F(SgioTest, AFailedSubmissionIsRejectedAndAGivenUpRequestLost) {
  uint8_t reply[16];
  ScsiCommand c;
  c.cdb[0] = 0x12;
  c.direction = ScsiDirection::kIn;
  c.data_buffer = reply;
  c.data_length = sizeof reply;
  ScsiRequest request;
  static_cast<ScsiCommand&>(request) = c;
  request.timeout_ms = 1000;

  Sgio().sg_io = [](int, sg_io_hdr_t*) {
    errno = EIO;
    return -1;
  };
  EXPECT_EQ(SgioAttempt(request).category, ScsiCategory::kRejected);
  EXPECT_FALSE(drive_.abandoned);

  Sgio().sg_io = [](int, sg_io_hdr_t*) {
    errno = ETIME;
    return -1;
  };
  EXPECT_EQ(SgioAttempt(request).category, ScsiCategory::kLost);
  EXPECT_TRUE(drive_.abandoned);
  // Given up: nothing more goes to that drive.
  Sgio().sg_io = FakeSgIo;
  EXPECT_EQ(SgioAttempt(request).category, ScsiCategory::kRejected);
  EXPECT_TRUE(g_seen.empty());
}

TEST_F(SgioTest, RetryAfterAFailedAttemptStartsWithCleanSense) {
  g_answers = {KernelAnswer{0, 0x02, 0, 0x08, 0, 18, 0x4400, 0}, KernelAnswer{0, 0x08, 0, 0, 0, 0, 0, 0},
               KernelAnswer{0, 0, 0, 0, 0, 0, 0, 0}};
  uint8_t chunk[1024] = {};
  EXPECT_EQ(WriteBuffer(chunk, 0, sizeof chunk, 0), 1);
  EXPECT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(LastFailureText(), "Internal target failure");
}

TEST_F(SgioTest, ADriveThatCouldNotBeOpenedGetsNoRequest) {
  drive_.fd = -1;
  uint8_t reply[56];
  EXPECT_EQ(Inquiry(reply, sizeof reply), 0);
  EXPECT_TRUE(g_seen.empty());
  DriveTable[0].device_handle = nullptr;
  ASSERT_EQ(SelectDrive(0), 1);
  EXPECT_EQ(Inquiry(reply, sizeof reply), 0);
  EXPECT_TRUE(g_seen.empty());
}

}  // namespace
