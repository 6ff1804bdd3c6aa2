// SG_IO transport: one request per attempt on the drive's SCSI generic
// node, submitted with write() and collected with read().
#include "scsi/sgio_linux.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "scsi/dispatcher.h"
#include "scsi/trace.h"

namespace {

constexpr uint8_t kGood = 0x00;
constexpr uint8_t kCheckCondition = 0x02;
constexpr int kCdbLength = 12;
// The driver byte without its suggestion bits; DRIVER_SENSE only says that
// sense data came with the status.
constexpr unsigned kDriverByteMask = 0x0F;
constexpr unsigned kDriverSense = 0x08;

uint64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// The sg driver's own default when a request names no time-out.
constexpr uint32_t kSgDefaultTimeoutMs = 60000;
// After poll() says an answer is there and read() finds none yet (another
// request of the node completed), the next look comes this much later.
constexpr int kRecheckMs = 10;

SgioSeams g_sgio{SgSubmitAndCollect};
SgWaitSeams g_wait{write, poll, read, MonotonicMs};

}  // namespace

SgioSeams& Sgio() { return g_sgio; }
void ResetSgio() { g_sgio = SgioSeams{SgSubmitAndCollect}; }
SgWaitSeams& SgWait() { return g_wait; }
void ResetSgWait() { g_wait = SgWaitSeams{write, poll, read, MonotonicMs}; }

int SgSubmitAndCollect(int fd, sg_io_hdr_t* header) {
  // Once, whatever happens: a repeated write() would queue the command again.
  if (g_wait.write(fd, header, sizeof *header) != static_cast<ssize_t>(sizeof *header)) {
    if (errno == 0) errno = EIO;
    return -1;
  }
  const uint64_t timeout = header->timeout ? header->timeout : kSgDefaultTimeoutMs;
  const uint64_t deadline = g_wait.now_ms() + timeout + kSgWaitMarginMs;
  for (;;) {
    const uint64_t now = g_wait.now_ms();
    if (now >= deadline) break;
    const uint64_t left = deadline - now;
    struct pollfd ready = {fd, POLLIN, 0};
    const int polled = g_wait.poll(&ready, 1, left > 1000000 ? 1000000 : static_cast<int>(left));
    if (polled < 0 && errno != EINTR && errno != EAGAIN) break;
    if (polled <= 0) continue;  // interrupted, stopped or nothing yet: wait again
    if (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) break;  // the device went away
    // The answer: the driver fills the header and the sense and data buffers
    // named at submission. The node is non-blocking: nothing there is EAGAIN.
    const ssize_t got = g_wait.read(fd, header, sizeof *header);
    if (got == static_cast<ssize_t>(sizeof *header)) return 0;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      if (errno == EAGAIN) g_wait.poll(nullptr, 0, kRecheckMs);
      continue;
    }
    break;
  }
  // Submitted and not collected: the request may still be in the kernel.
  errno = ETIME;
  return -1;
}

void FillSgioHeader(PassThroughRequest& request, uint32_t timeout_ms, sg_io_hdr_t& header) {
  PassThroughDirect& d = request.sptd;
  std::memset(&header, 0, sizeof header);
  std::memset(request.sense, 0, sizeof request.sense);
  header.interface_id = 'S';
  if (d.DataTransferLength == 0 || d.DataBuffer == nullptr) {
    header.dxfer_direction = SG_DXFER_NONE;
  } else {
    header.dxfer_direction = d.DataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    header.dxfer_len = d.DataTransferLength;
    header.dxferp = d.DataBuffer;
  }
  header.cmd_len = kCdbLength;
  header.cmdp = d.Cdb;
  header.mx_sb_len = sizeof request.sense;
  header.sbp = request.sense;
  header.timeout = timeout_ms;
}

int SgioOutcome(const sg_io_hdr_t& header, PassThroughRequest& request) {
  PassThroughDirect& d = request.sptd;
  d.ScsiStatus = header.status;
  // The kernel or the host adapter lost the command (time-out, reset, a
  // device that went away): the drive's status, if any, means nothing.
  const unsigned driver = header.driver_status & kDriverByteMask;
  if (header.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
    d.ScsiStatus = 0xFF;
    return -1;
  }
  if (header.status == kCheckCondition) {
    // Only what the kernel wrote counts as sense; the rest stays zero.
    const size_t written = header.sb_len_wr < sizeof request.sense ? header.sb_len_wr : sizeof request.sense;
    std::memset(request.sense + written, 0, sizeof request.sense - written);
    return 0;
  }
  if (header.status != kGood) return 0;
  if (header.dxfer_direction != SG_DXFER_NONE) {
    // What moved goes back in the request, as the pass-through reports it;
    // the dispatcher decides whether a short transfer is enough. A residue
    // outside the transfer is no count of anything.
    if (header.resid < 0 || static_cast<unsigned>(header.resid) > header.dxfer_len) return 0;
    d.DataTransferLength = header.dxfer_len - static_cast<unsigned>(header.resid);
  }
  return 1;
}

int SgioAttempt(PassThroughRequest& request, uint32_t timeout_ms) {
  PreparePassThroughAttempt(request, timeout_ms);
  auto* drive = static_cast<SgDrive*>(g_current_drive.device_handle);
  sg_io_hdr_t header;
  FillSgioHeader(request, timeout_ms, header);
  int result = -1;
  if (drive && drive->fd >= 0 && !drive->abandoned && g_sgio.sg_io) {
    if (g_sgio.sg_io(drive->fd, &header) == 0) {
      result = SgioOutcome(header, request);
    } else if (errno == ETIME) {
      drive->abandoned = true;
    }
  }
  if (result < 0) request.sptd.ScsiStatus = 0xFF;
  const PassThroughDirect& d = request.sptd;
  TraceAttempt(d.Cdb, d.ScsiStatus, d.DataBuffer, d.DataTransferLength, false, request.sense);
  return result;
}
