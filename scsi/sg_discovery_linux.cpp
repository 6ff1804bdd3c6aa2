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

void OpenSgDrive(SgDrive& drive) {
  drive.fd = open(drive.sg_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  drive.open_errno = drive.fd < 0 ? errno : 0;
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
    if (drive.fd < 0) {
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
