// Drive discovery on Linux: the SCSI generic devices of peripheral type 5
// (CD-ROM), as sysfs lists them, opened for SG_IO.
#pragma once
#include <string>
#include <vector>

#include "scsi/sgio_linux.h"

// Where sysfs and the device nodes are ("/sys", "/dev"); tests point them
// at trees of their own.
std::string& SysfsRoot();
std::string& DevRoot();

// The CD-ROM drives of /sys/class/scsi_generic (device/type 5), in the order
// of their sg numbers, not opened.
std::vector<SgDrive> ScanSgDrives();

// The drive a user named: /dev/sgN or sgN, or its block device /dev/srN or
// srN. -1 when no drive of the list has that name.
int FindNamedDrive(const std::vector<SgDrive>& drives, const std::string& name);

// Opens the drive's sg node for SG_IO (read and write: the kernel passes
// vendor commands only to writers; non-blocking, so a node another program
// holds exclusively answers EBUSY at once); fills fd or open_errno. Then asks
// the opened node itself for its INQUIRY: a node that does not answer as a
// CD-ROM device (type 5) is closed again with not_cdrom set, so no vendor
// command reaches a device that took over the sg number after the scan.
void OpenSgDrive(SgDrive& drive);

// The chosen drive, held from the question to the end of the run: its node
// is opened again with O_EXCL, so no other program can open it meanwhile,
// and the new handle must answer INQUIRY as the device that was identified.
enum class SgHold {
  kHeld,
  kBusy,     // another program has the node open
  kFailed,   // the node could not be opened again (errno in *error)
  kChanged,  // the node no longer answers as the drive that was identified
};
SgHold HoldSgDrive(int index, int* error);

struct SgDiscovery {
  int reachable = 0;                 // drives in the DriveTable
  // Found, but could not be opened (open_errno; EBUSY: held by another
  // program), or not_cdrom.
  std::vector<SgDrive> unreachable;
  bool named_drive_missing = false;  // a drive was named and none has that name
};

// Scans, opens and fills the DriveTable in pass-through mode with the SG_IO
// transport bound; with a name, only that drive. The drives stay open until
// the process ends (or ForgetSgDrives).
SgDiscovery DiscoverSgDrives(const std::string& only_name);
// The drive behind a DriveTable entry, or null.
const SgDrive* SgDriveAt(int index);
// Closes every drive and empties the table (tests).
void ForgetSgDrives();
