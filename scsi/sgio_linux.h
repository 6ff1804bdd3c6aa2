// The Linux transport: every command attempt is one SG_IO request on the
// drive's SCSI generic node (/dev/sgN), carried in pass-through mode so the
// dispatcher's pass-through rules apply unchanged.
#pragma once
#include <scsi/sg.h>

#include <cstdint>
#include <string>

#include "scsi/scsi_command.h"

// One drive the kernel offers through the SCSI generic driver. The dispatcher
// reaches it through DriveEntry::device_handle, which points here; entries
// live until the process ends.
struct SgDrive {
  std::string sg_name;     // "sg1"
  std::string sg_path;     // "/dev/sg1"
  std::string block_name;  // "sr0", or empty when the kernel shows no block device
  std::string hctl;        // "1:0:0:0" (host:channel:target:lun)
  int fd = -1;             // open on sg_path, -1 when the open failed
  int open_errno = 0;      // why the open failed
};

// The ioctl itself, so tests can answer requests without a kernel.
struct SgioSeams {
  // ioctl(fd, SG_IO, header): 0 when the request went through (the outcome
  // is then in the header), -1 with errno otherwise.
  int (*sg_io)(int fd, sg_io_hdr_t* header);
};
SgioSeams& Sgio();
void ResetSgio();

// Fills the SG_IO header for one attempt from the pass-through request built
// by the dispatcher: direction from its data phase (none without data), a
// 12-byte CDB, the request's 32-byte sense buffer, the time-out in ms.
void FillSgioHeader(PassThroughRequest& request, uint32_t timeout_ms, sg_io_hdr_t& header);

// Maps the outcome of a completed ioctl onto the request and the attempt's
// result: 1 GOOD, with the bytes that moved in DataTransferLength (the
// dispatcher refuses a short transfer of a buffer command); 0 the drive
// answered otherwise (ScsiStatus holds its status, CHECK CONDITION with the
// sense in the request) or the residue is impossible; -1 no status of the
// drive: a host or driver error, or the kernel's time-out.
int SgioOutcome(const sg_io_hdr_t& header, PassThroughRequest& request);

// One attempt on the current drive (bound as the pass-through attempt).
// An ioctl that fails is -1.
int SgioAttempt(PassThroughRequest& request, uint32_t timeout_ms);
