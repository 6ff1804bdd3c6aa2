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
// vendor commands only to writers); fills fd or open_errno.
void OpenSgDrive(SgDrive& drive);

struct SgDiscovery {
  int reachable = 0;                 // drives in the DriveTable
  std::vector<SgDrive> unreachable;  // found, but could not be opened
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
