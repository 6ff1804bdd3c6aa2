// SG_IO transport: one ioctl per attempt on the drive's SCSI generic node.
#include "scsi/sgio_linux.h"

#include <sys/ioctl.h>

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

int KernelSgIo(int fd, sg_io_hdr_t* header) {
  int result;
  do {
    result = ioctl(fd, SG_IO, header);
  } while (result < 0 && errno == EINTR);
  return result;
}

SgioSeams g_sgio{KernelSgIo};

}  // namespace

SgioSeams& Sgio() { return g_sgio; }
void ResetSgio() { g_sgio = SgioSeams{KernelSgIo}; }

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
  const auto* drive = static_cast<const SgDrive*>(g_current_drive.device_handle);
  sg_io_hdr_t header;
  FillSgioHeader(request, timeout_ms, header);
  int result = -1;
  if (drive && drive->fd >= 0 && g_sgio.sg_io && g_sgio.sg_io(drive->fd, &header) == 0) {
    result = SgioOutcome(header, request);
  } else {
    request.sptd.ScsiStatus = 0xFF;
  }
  const PassThroughDirect& d = request.sptd;
  TraceAttempt(d.Cdb, d.ScsiStatus, d.DataBuffer, d.DataTransferLength, false, request.sense);
  return result;
}
