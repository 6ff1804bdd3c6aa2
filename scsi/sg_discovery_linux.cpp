// Drive discovery through sysfs: every /sys/class/scsi_generic/sgN whose
// device reports peripheral type 5 is a CD-ROM/RW drive.
#include "scsi/sg_discovery_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "scsi/discovery.h"
#include "scsi/dispatcher.h"

namespace {

constexpr int kCdromType = 5;

std::string g_sysfs_root = "/sys";
std::string g_dev_root = "/dev";
// Stable addresses: DriveTable entries point at these.
std::deque<SgDrive> g_drives;

// The first line of a small sysfs attribute, or "" when it cannot be read.
std::string ReadAttribute(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  char text[64];
  ssize_t n;
  do {
    n = read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return "";
  text[n] = '\0';
  text[std::strcspn(text, "\r\n")] = '\0';
  return text;
}

std::vector<std::string> DirectoryNames(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

// "sg12" -> 12; other names sort after every sg name.
long SgNumber(const std::string& name) {
  if (name.compare(0, 2, "sg") != 0 || name.size() == 2) return -1;
  char* end = nullptr;
  const long n = std::strtol(name.c_str() + 2, &end, 10);
  return (*end == '\0' && n >= 0) ? n : -1;
}

std::string Basename(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LinkTarget(const std::string& path) {
  char target[512];
  const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  return target;
}

// "/dev/sr0" -> "sr0"; "sr0" stays.
std::string DeviceName(const std::string& name) {
  const std::string prefix = g_dev_root + "/";
  if (name.compare(0, prefix.size(), prefix) == 0) return name.substr(prefix.size());
  if (name.compare(0, 5, "/dev/") == 0) return name.substr(5);
  return name;
}

}  // namespace

std::string& SysfsRoot() { return g_sysfs_root; }
std::string& DevRoot() { return g_dev_root; }

std::vector<SgDrive> ScanSgDrives() {
  const std::string class_dir = g_sysfs_root + "/class/scsi_generic";
  std::vector<std::string> names = DirectoryNames(class_dir);
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return SgNumber(n) < 0; }),
              names.end());
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return SgNumber(a) < SgNumber(b); });

  std::vector<SgDrive> drives;
  for (const std::string& name : names) {
    const std::string device = class_dir + "/" + name + "/device";
    const std::string type = ReadAttribute(device + "/type");
    if (type.empty() || std::strtol(type.c_str(), nullptr, 10) != kCdromType) continue;
    SgDrive drive;
    drive.sg_name = name;
    drive.sg_path = g_dev_root + "/" + name;
    drive.hctl = Basename(LinkTarget(device));
    const std::vector<std::string> blocks = DirectoryNames(device + "/block");
    if (!blocks.empty()) drive.block_name = *std::min_element(blocks.begin(), blocks.end());
    drives.push_back(drive);
  }
  return drives;
}

int FindNamedDrive(const std::vector<SgDrive>& drives, const std::string& name) {
  const std::string wanted = DeviceName(name);
  if (wanted.empty()) return -1;
  for (size_t i = 0; i < drives.size(); ++i) {
    if (drives[i].sg_name == wanted || drives[i].block_name == wanted) return static_cast<int>(i);
  }
  return -1;
}

namespace {

constexpr uint32_t kInquiryTimeoutMs = 1000;
constexpr int kInquiryRounds = 3;

// INQUIRY on the handle itself (not traced: the run's own identification
// follows), up to three times for a drive that is busy or reports a unit
// attention. True with reply filled when the device answered GOOD.
bool InquireNode(int fd, uint8_t (&reply)[36]) {
  for (int round = 0; round < kInquiryRounds; ++round) {
    uint8_t cdb[6] = {0x12, 0, 0, 0, sizeof reply, 0};
    uint8_t sense[32] = {};
    std::memset(reply, 0, sizeof reply);
    sg_io_hdr_t header = {};
    header.interface_id = 'S';
    header.dxfer_direction = SG_DXFER_FROM_DEV;
    header.dxfer_len = sizeof reply;
    header.dxferp = reply;
    header.cmd_len = sizeof cdb;
    header.cmdp = cdb;
    header.mx_sb_len = sizeof sense;
    header.sbp = sense;
    header.timeout = kInquiryTimeoutMs;
    if (!Sgio().sg_io || Sgio().sg_io(fd, &header) != 0) return false;  // never on a request left in flight
    const bool transport_ok = header.host_status == 0 && (header.driver_status & 0x0F & ~0x08) == 0;
    if (transport_ok && header.status == 0 && header.resid >= 0 && sizeof reply - header.resid >= 8) return true;
  }
  return false;
}

bool AnswersAsCdrom(const uint8_t (&reply)[36]) { return (reply[0] & 0x1F) == kCdromType && (reply[0] >> 5) == 0; }

}  // namespace

void OpenSgDrive(SgDrive& drive) {
  drive.fd = open(drive.sg_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  drive.open_errno = drive.fd < 0 ? errno : 0;
  if (drive.fd < 0) return;
  if (!InquireNode(drive.fd, drive.inquiry) || !AnswersAsCdrom(drive.inquiry)) {
    close(drive.fd);
    drive.fd = -1;
    drive.not_cdrom = true;
  }
}

SgHold HoldSgDrive(int index, int* error) {
  if (error) *error = 0;
  if (index < 0 || index >= g_drive_table_count || !DriveTable[index].device_handle) return SgHold::kChanged;
  SgDrive& drive = *static_cast<SgDrive*>(DriveTable[index].device_handle);
  // The sg driver grants O_EXCL only to the node's sole opener: our own
  // handle goes first.
  if (drive.fd >= 0) close(drive.fd);
  drive.fd = open(drive.sg_path.c_str(), O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
  if (drive.fd < 0) {
    const int why = errno;
    if (error) *error = why;
    return why == EBUSY ? SgHold::kBusy : SgHold::kFailed;
  }
  uint8_t now[36];
  // The same device: type, qualifier, vendor, product and revision as at
  // identification.
  if (!InquireNode(drive.fd, now) || !AnswersAsCdrom(now) || std::memcmp(now + 8, drive.inquiry + 8, 28) != 0) {
    close(drive.fd);
    drive.fd = -1;
    return SgHold::kChanged;
  }
  return SgHold::kHeld;
}

SgDiscovery DiscoverSgDrives(const std::string& only_name) {
  ForgetSgDrives();
  SgDiscovery report;
  std::vector<SgDrive> found = ScanSgDrives();
  if (!only_name.empty()) {
    const int index = FindNamedDrive(found, only_name);
    if (index < 0) {
      report.named_drive_missing = true;
      found.clear();
    } else {
      found = {found[static_cast<size_t>(index)]};
    }
  }

  TransportSeams& transports = Transports();
  transports.pass_through_attempt = SgioAttempt;
  g_pass_through_mode = true;
  for (SgDrive& drive : found) {
    OpenSgDrive(drive);
    if (drive.fd < 0) {  // not opened, or not a CD-ROM device any more
      report.unreachable.push_back(drive);
      continue;
    }
    if (g_drive_table_count >= kDriveTableSize) {
      close(drive.fd);
      continue;
    }
    g_drives.push_back(drive);
    DriveEntry& entry = DriveTable[g_drive_table_count++];
    std::memset(&entry, 0, sizeof entry);
    entry.device_handle = &g_drives.back();
  }
  report.reachable = g_drive_table_count;
  return report;
}

const SgDrive* SgDriveAt(int index) {
  if (index < 0 || index >= g_drive_table_count) return nullptr;
  return static_cast<const SgDrive*>(DriveTable[index].device_handle);
}

void ForgetSgDrives() {
  for (SgDrive& drive : g_drives) {
    if (drive.fd >= 0) close(drive.fd);
  }
  g_drives.clear();
  std::memset(DriveTable, 0, sizeof DriveTable);
  g_drive_table_count = 0;
  g_current_drive = CurrentDrive{};
}

int DiscoverDrives() { return DiscoverSgDrives("").reachable; }
