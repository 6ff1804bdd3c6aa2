// The Linux transport: every command attempt is one SG_IO request on the
// drive's SCSI generic node (/dev/sgN), filled straight from the neutral
// request and read back into a neutral outcome. It sits in the dispatcher's
// pass-through slot (the CDB goes out in its pass-through form).
#pragma once
#include <poll.h>
#include <scsi/sg.h>
#include <sys/types.h>

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
  int open_errno = 0;      // why the open failed (0: opened, or see not_cdrom)
  // The opened node's INQUIRY did not answer as a CD-ROM device (its sg
  // number went to another device after the scan): closed, never identified.
  bool not_cdrom = false;
  uint8_t inquiry[36] = {};  // the opened node's INQUIRY answer
  // A command of this drive was given up unanswered: it may still be queued
  // in the kernel, so nothing more is sent to the drive.
  bool abandoned = false;
};

// One request's way to the drive and back, so tests can answer requests
// without a kernel: 0 when the request went through (the outcome is then in
// the header), -1 with errno otherwise (ETIME: the request was submitted and
// given up unanswered).
struct SgioSeams {
  int (*sg_io)(int fd, sg_io_hdr_t* header);
};
SgioSeams& Sgio();
void ResetSgio();

// The default sg_io: the request is submitted once with write() on the sg
// node and its answer collected with poll() and read(). A wait that a signal
// or a stop (SIGSTOP, a debugger) interrupts only waits again: the request
// is never submitted twice. (SG_IO would be: the driver abandons a request
// whose wait a signal interrupts, and a repeated call queues it again.) The
// wait is bounded: the request's time-out and kSgWaitMarginMs more; then the
// request is given up. -1 with ETIME: submitted and not collected (given up,
// or the wait failed), so the request may still be queued; -1 with another
// errno: the submission failed (never repeated).
int SgSubmitAndCollect(int fd, sg_io_hdr_t* header);
constexpr uint32_t kSgWaitMarginMs = 30000;
// What SgSubmitAndCollect calls, so tests can interrupt every step.
struct SgWaitSeams {
  ssize_t (*write)(int fd, const void* buffer, size_t size);
  int (*poll)(struct pollfd* fds, nfds_t count, int timeout_ms);
  ssize_t (*read)(int fd, void* buffer, size_t size);
  uint64_t (*now_ms)();  // a monotonic clock
};
SgWaitSeams& SgWait();
void ResetSgWait();

// One SG_IO exchange: the header and the CDB and sense buffers it points
// into (the header is not copyable apart from them).
struct SgioExchange {
  sg_io_hdr_t header;
  uint8_t cdb[kScsiCdbCapacity];
  uint8_t sense[kScsiSenseCapacity];
};

// Fills the exchange for one attempt of the request: direction from its data
// phase (none without a length or a buffer; data out, else data in), the
// request's CDB as PassThroughCdb puts it on the wire and its length, the
// zeroed 32-byte sense buffer, the time-out in ms.
void FillSgioHeader(const ScsiRequest& request, SgioExchange& exchange);

// Maps the header of a completed request onto an outcome: a host or driver
// error (the kernel's time-out, a reset, a device that went away; the
// driver's DRIVER_SENSE alone is none) is kLost, whatever status came with
// it; GOOD is kGood with dxfer_len - resid bytes moved (a residue outside
// the transfer is kLost: no count of anything); another status is
// kDriveStatus, with the sb_len_wr sense bytes the kernel wrote for CHECK
// CONDITION and no others.
ScsiOutcome SgioOutcome(const sg_io_hdr_t& header);

// One attempt on the current drive (bound as the pass-through attempt).
// kRejected when nothing was sent (no drive, no open node, a failed
// submission); kLost when the request was submitted and given up
// unanswered, after which every attempt on that drive is kRejected at once.
ScsiOutcome SgioAttempt(const ScsiRequest& request);
