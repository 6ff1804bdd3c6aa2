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

// What the trace shows as the status of an attempt without one.
constexpr uint8_t kNoStatus = 0xFF;
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

// The kernel or the host adapter lost the command (DRIVER_SENSE alone only
// says that sense data came with the status).
bool HostOrDriverError(const sg_io_hdr_t& header) {
  const unsigned driver = header.driver_status & kDriverByteMask;
  return header.host_status != 0 || (driver != 0 && driver != kDriverSense);
}

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

void FillSgioHeader(const ScsiRequest& request, SgioExchange& exchange) {
  sg_io_hdr_t& header = exchange.header;
  std::memset(&header, 0, sizeof header);
  std::memset(exchange.sense, 0, sizeof exchange.sense);
  PassThroughCdb(request, exchange.cdb);
  header.interface_id = 'S';
  if (request.data_length == 0 || request.data_buffer == nullptr) {
    header.dxfer_direction = SG_DXFER_NONE;
  } else {
    header.dxfer_direction = request.direction == ScsiDirection::kOut ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
    header.dxfer_len = request.data_length;
    header.dxferp = request.data_buffer;
  }
  header.cmd_len = request.cdb_length;
  header.cmdp = exchange.cdb;
  header.mx_sb_len = sizeof exchange.sense;
  header.sbp = exchange.sense;
  header.timeout = request.timeout_ms;
}

ScsiOutcome SgioOutcome(const sg_io_hdr_t& header) {
  // The drive's status, if any, means nothing then.
  if (HostOrDriverError(header)) return LostOutcome();
  if (header.status == kScsiStatusCheckCondition) {
    // Only what the kernel wrote counts as sense.
    const size_t written = header.sb_len_wr < header.mx_sb_len ? header.sb_len_wr : header.mx_sb_len;
    return DriveStatusOutcome(header.status, header.sbp, written);
  }
  if (header.status != kScsiStatusGood) return DriveStatusOutcome(header.status, nullptr, 0);
  if (header.dxfer_direction == SG_DXFER_NONE) return GoodOutcome(0);
  if (header.resid < 0 || static_cast<unsigned>(header.resid) > header.dxfer_len) return LostOutcome();
  return GoodOutcome(header.dxfer_len - static_cast<unsigned>(header.resid));
}

ScsiOutcome SgioAttempt(const ScsiRequest& request) {
  auto* drive = static_cast<SgDrive*>(g_current_drive.device_handle);
  SgioExchange exchange;
  FillSgioHeader(request, exchange);
  const sg_io_hdr_t& header = exchange.header;
  ScsiOutcome outcome = RejectedOutcome();
  uint8_t traced_status = kNoStatus;
  if (drive && drive->fd >= 0 && !drive->abandoned && g_sgio.sg_io) {
    if (g_sgio.sg_io(drive->fd, &exchange.header) == 0) {
      outcome = SgioOutcome(header);
      if (!HostOrDriverError(header)) traced_status = header.status;
      // Without a data phase nothing could fall short.
      if (header.dxfer_direction == SG_DXFER_NONE && outcome.category == ScsiCategory::kGood)
        outcome.transferred = request.data_length;
    } else if (errno == ETIME) {
      drive->abandoned = true;
      outcome = LostOutcome();
    }
  }
  // The trace: the status (none when no status came back), the data as far
  // as it moved, and the sense the outcome carries (for CHECK CONDITION only
  // what the kernel wrote).
  const bool good = outcome.category == ScsiCategory::kGood;
  const bool check = outcome.category == ScsiCategory::kDriveStatus && outcome.status == kScsiStatusCheckCondition;
  TraceAttempt(exchange.cdb, traced_status, request.data_buffer,
               good ? outcome.transferred : request.data_length, false, check ? outcome.sense : exchange.sense);
  return outcome;
}
