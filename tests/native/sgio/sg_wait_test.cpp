// The wait for a drive's answer: a request goes to the sg node once, and
// whatever interrupts the wait for its answer (a signal, a stop and
// continue) only makes the program wait again. Through scripted write, poll
// and read calls and a fake clock: nothing here waits.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "base/host.h"
#include "drive/commands.h"
#include "scsi/dispatcher.h"
#include "scsi/sgio_linux.h"

namespace {

// One scripted answer of poll() or read(): a result and its errno.
struct Step {
  int result;
  int error;
};

int g_writes = 0;
int g_write_error = 0;  // write() fails with this when set
std::deque<Step> g_polls;  // then: nothing ready, until the clock runs out
std::deque<Step> g_reads;  // then: EAGAIN
uint64_t g_clock = 0;
int g_reads_done = 0;

ssize_t FakeWrite(int, const void*, size_t size) {
  ++g_writes;
  if (g_write_error) {
    errno = g_write_error;
    return -1;
  }
  return static_cast<ssize_t>(size);
}

int FakePoll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  if (count == 0) {  // a pause
    g_clock += static_cast<uint64_t>(timeout_ms);
    return 0;
  }
  if (g_polls.empty()) {
    g_clock += static_cast<uint64_t>(timeout_ms);  // waited the whole time, nothing came
    return 0;
  }
  const Step step = g_polls.front();
  g_polls.pop_front();
  g_clock += 5;
  if (step.result < 0) {
    errno = step.error;
    return -1;
  }
  fds[0].revents = step.result > 0 ? POLLIN : 0;
  return step.result;
}

ssize_t FakeRead(int, void* buffer, size_t size) {
  if (g_reads.empty()) {
    errno = EAGAIN;
    return -1;
  }
  const Step step = g_reads.front();
  g_reads.pop_front();
  if (step.result < 0) {
    errno = step.error;
    return -1;
  }
  ++g_reads_done;
  auto* header = static_cast<sg_io_hdr_t*>(buffer);
  header->status = 0;
  header->host_status = 0;
  header->driver_status = 0;
  header->resid = 0;
  header->duration = 1234;  // the kernel's own header came back
  return static_cast<ssize_t>(size);
}

uint64_t FakeNow() { return g_clock; }

class SgWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_writes = 0;
    g_write_error = 0;
    g_polls.clear();
    g_reads.clear();
    g_clock = 1000;
    g_reads_done = 0;
    SgWait() = SgWaitSeams{FakeWrite, FakePoll, FakeRead, FakeNow};
    ResetScsiState();
    ResetTransports();
    ResetHost();
    ResetSgio();
    drive_.fd = 7;
    Transports().pass_through_attempt = SgioAttempt;
    g_pass_through_mode = true;
    DriveTable[0].device_handle = &drive_;
    g_drive_table_count = 1;
    ASSERT_EQ(SelectDrive(0), 1);
  }
  void TearDown() override {
    ResetSgWait();
    ResetScsiState();
    ResetTransports();
  }
  static sg_io_hdr_t Request(unsigned timeout_ms) {
    sg_io_hdr_t header = {};
    header.interface_id = 'S';
    header.timeout = timeout_ms;
    return header;
  }
  SgDrive drive_;
};

TEST_F(SgWaitTest, InterruptedWaitsWaitAgainAndTheRequestGoesOutOnce) {
  // Two signals and a stop during the poll, nothing yet, then the answer;
  // the read is interrupted once and finds the answer taken by nobody.
  g_polls = {{-1, EINTR}, {-1, EINTR}, {0, 0}, {-1, EAGAIN}, {1, 0}, {1, 0}, {1, 0}};
  g_reads = {{-1, EINTR}, {-1, EAGAIN}, {1, 0}};
  sg_io_hdr_t header = Request(30000);
  ASSERT_EQ(SgSubmitAndCollect(7, &header), 0);
  EXPECT_EQ(g_writes, 1);
  EXPECT_EQ(g_reads_done, 1);
  EXPECT_EQ(header.duration, 1234u);
}

TEST_F(SgWaitTest, AnAnswerThatNeverComesIsGivenUpAfterItsTimeOutAndTheMargin) {
  g_polls = {{-1, EINTR}};
  sg_io_hdr_t header = Request(30000);
  const uint64_t start = g_clock;
  errno = 0;
  EXPECT_EQ(SgSubmitAndCollect(7, &header), -1);
  EXPECT_EQ(errno, ETIME);
  EXPECT_EQ(g_writes, 1);
  EXPECT_GE(g_clock - start, 30000u + kSgWaitMarginMs);
  EXPECT_LT(g_clock - start, 30000u + kSgWaitMarginMs + 1000u);

  // No time-out named: the driver's 60 s, and the margin.
  header = Request(0);
  const uint64_t again = g_clock;
  EXPECT_EQ(SgSubmitAndCollect(7, &header), -1);
  EXPECT_GE(g_clock - again, 60000u + kSgWaitMarginMs);
}

TEST_F(SgWaitTest, AFailedSubmissionOrAFailedWaitIsNeverRepeated) {
  g_write_error = EINTR;
  sg_io_hdr_t header = Request(1000);
  errno = 0;
  EXPECT_EQ(SgSubmitAndCollect(7, &header), -1);
  EXPECT_EQ(errno, EINTR);  // not submitted: no request in flight
  EXPECT_EQ(g_writes, 1);

  // Submitted, then the node fails: the request may still be queued.
  g_write_error = 0;
  g_polls = {{-1, EBADF}};
  EXPECT_EQ(SgSubmitAndCollect(7, &header), -1);
  EXPECT_EQ(errno, ETIME);
  g_reads = {{-1, EIO}};
  g_polls = {{1, 0}};
  EXPECT_EQ(SgSubmitAndCollect(7, &header), -1);
  EXPECT_EQ(errno, ETIME);
  EXPECT_EQ(g_writes, 3);
}

// Through the dispatcher: Update Firmware whose answer never came is not
// sent again, and nothing else goes to that drive afterwards.
TEST_F(SgWaitTest, AfterAGivenUpRequestTheDriveGetsNothingMore) {
  EXPECT_EQ(WriteBuffer(nullptr, 0, 0, kUpdateModeDefault), 0);
  EXPECT_EQ(g_writes, 1);
  EXPECT_TRUE(drive_.abandoned);
  uint8_t chunk[1024] = {};
  EXPECT_EQ(WriteBuffer(chunk, 0, sizeof chunk, 0x00), 0);
  uint8_t reply[56];
  EXPECT_EQ(Inquiry(reply, sizeof reply), 0);
  EXPECT_EQ(g_writes, 1);
}

TEST_F(SgWaitTest, TheDefaultSeamIsTheWaitThatSurvivesInterruptions) {
  EXPECT_EQ(Sgio().sg_io, &SgSubmitAndCollect);
  g_polls = {{-1, EINTR}, {1, 0}};
  g_reads = {{1, 0}};
  uint8_t reply[56];
  EXPECT_EQ(Inquiry(reply, sizeof reply), 1);
  EXPECT_EQ(g_writes, 1);
}

}  // namespace
