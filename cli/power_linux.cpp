#include "cli/power_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

// At most this many directory entries are read while looking for supplies
// (dot entries and over-long names among them).
constexpr int kMaxEntries = 1024;

// What one supply says, as far as it matters here.
struct Supply {
  std::string type;
  bool online = false;
  bool device_scope = false;
  bool absent = false;
  std::string status;
  std::optional<double> percent;  // 0..100
  std::optional<uint64_t> energy_now, energy_full;
};

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

// The value of attribute `name` of the supply folder `dir`: one read of at
// most kMaxValueBytes, trailing white space removed. Nothing when the entry
// is missing, not a regular file (a symbolic link is not followed), or the
// read fails.
std::optional<std::string> ReadValue(int dir, const char* name) {
  Fd fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.fd < 0) return std::nullopt;
  struct stat st;
  if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  char buffer[kMaxValueBytes];
  ssize_t n;
  do {
    n = read(fd.fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return std::nullopt;
  std::string value(buffer, static_cast<size_t>(n));
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
    value.pop_back();
  }
  return value;
}

// A decimal number of at most 18 digits, nothing else; nothing for "", a
// sign, letters or embedded bytes.
std::optional<uint64_t> ParseNumber(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 18) return std::nullopt;
  uint64_t value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

// now/full in percent (now above full, as a battery may report after a
// recalibration, counts as full); nothing when either is unreadable or full
// is zero.
std::optional<double> Ratio(std::optional<uint64_t> now, std::optional<uint64_t> full) {
  if (!now || !full || *full == 0) return std::nullopt;
  return 100.0 * static_cast<double>(std::min(*now, *full)) / static_cast<double>(*full);
}

// The charge of one battery in percent: capacity when it reads as 0..100,
// else energy_now/energy_full, else charge_now/charge_full.
std::optional<double> BatteryPercent(int dir, Supply* supply) {
  supply->energy_now = ParseNumber(ReadValue(dir, "energy_now"));
  supply->energy_full = ParseNumber(ReadValue(dir, "energy_full"));
  const std::optional<uint64_t> capacity = ParseNumber(ReadValue(dir, "capacity"));
  if (capacity && *capacity <= 100) return static_cast<double>(*capacity);
  if (auto energy = Ratio(supply->energy_now, supply->energy_full)) return energy;
  return Ratio(ParseNumber(ReadValue(dir, "charge_now")), ParseNumber(ReadValue(dir, "charge_full")));
}

bool IsUsbType(const std::string& type) { return type.compare(0, 3, "USB") == 0; }

// Reads the supply folder `name` of the open power_supply folder (a symbolic
// link into /sys/devices in a real sysfs: it is followed). Nothing when it
// does not open as a folder or has no readable type.
std::optional<Supply> ReadSupply(int class_dir, const std::string& name) {
  Fd dir(openat(class_dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return std::nullopt;
  Supply supply;
  const std::optional<std::string> type = ReadValue(dir.fd, "type");
  if (!type || type->empty()) return std::nullopt;
  supply.type = *type;
  if (supply.type == "Mains" || IsUsbType(supply.type)) {
    // 1 is online, 2 online with a programmable voltage (USB-C).
    supply.online = ParseNumber(ReadValue(dir.fd, "online")).value_or(0) > 0;
  } else if (supply.type == "Battery") {
    supply.device_scope = ReadValue(dir.fd, "scope").value_or("") == "Device";
    supply.absent = ReadValue(dir.fd, "present").value_or("1") == "0";
    supply.status = ReadValue(dir.fd, "status").value_or("");
    supply.percent = BatteryPercent(dir.fd, &supply);
  }
  return supply;
}

// The names in the power_supply folder that may be supplies, sorted, at most
// kMaxSupplies of them.
std::vector<std::string> SupplyNames(int class_dir) {
  std::vector<std::string> names;
  const int listing = dup(class_dir);
  if (listing < 0) return names;
  DIR* d = fdopendir(listing);
  if (!d) {
    close(listing);
    return names;
  }
  int entries = 0;
  while (struct dirent* e = readdir(d)) {
    if (++entries > kMaxEntries) break;
    const std::string name(e->d_name);
    if (name.empty() || name[0] == '.' || name.size() > kMaxSupplyName) continue;
    names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  if (names.size() > static_cast<size_t>(kMaxSupplies)) names.resize(kMaxSupplies);
  return names;
}

// The charge of the system batteries together, in percent: their energy
// total when each reports energy_now and energy_full, else the mean of their
// percentages; nothing when any one of them cannot be read.
std::optional<double> TotalPercent(const std::vector<Supply>& batteries) {
  uint64_t now = 0, full = 0;
  bool energy = true;
  double sum = 0;
  for (const Supply& b : batteries) {
    if (!b.percent) return std::nullopt;
    sum += *b.percent;
    if (b.energy_now && b.energy_full && *b.energy_full > 0) {
      now += std::min(*b.energy_now, *b.energy_full);
      full += *b.energy_full;
    } else {
      energy = false;
    }
  }
  if (energy && full > 0) return 100.0 * static_cast<double>(now) / static_cast<double>(full);
  return sum / static_cast<double>(batteries.size());
}

// The verdict once it is known that the machine runs on its batteries.
PowerCheck OnBattery(std::optional<double> total) {
  PowerCheck check;
  const char* const kRisk =
      " A power loss during the update ruins the drive: connect the power supply, or use --ignore-power.";
  if (!total) {
    check.verdict = PowerCheck::kRefuse;
    check.message = std::string("The computer runs on battery power and its charge could not be read.") + kRisk;
    return check;
  }
  check.percent = static_cast<int>(std::floor(*total));
  char text[160];
  if (check.percent < kMinBatteryPercent) {
    check.verdict = PowerCheck::kRefuse;
    std::snprintf(text, sizeof text, "The computer runs on battery power with %d %% left.", check.percent);
    check.message = std::string(text) + kRisk;
  } else {
    check.verdict = PowerCheck::kWarn;
    std::snprintf(text, sizeof text,
                  "The computer runs on battery power (%d %% left). Keep it connected to the power supply if you can.",
                  check.percent);
    check.message = text;
  }
  return check;
}

// Applies the rule to the supplies read.
PowerCheck Judge(const std::vector<Supply>& supplies) {
  std::vector<Supply> batteries;
  bool external = false;
  for (const Supply& s : supplies) {
    if (s.online) external = true;
    if (s.type != "Battery" || s.device_scope || s.absent) continue;
    if (s.status == "Charging" || s.status == "Full") external = true;
    batteries.push_back(s);
  }
  PowerCheck check;
  if (batteries.empty()) return check;
  if (external) {
    check.verdict = PowerCheck::kExternalPower;
    return check;
  }
  return OnBattery(TotalPercent(batteries));
}

}  // namespace

PowerCheck CheckPower(const std::string& sysfs_root) {
  const std::string path = sysfs_root + "/class/power_supply";
  Fd class_dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (class_dir.fd < 0) return PowerCheck{};
  std::vector<Supply> supplies;
  for (const std::string& name : SupplyNames(class_dir.fd)) {
    if (std::optional<Supply> supply = ReadSupply(class_dir.fd, name)) supplies.push_back(*supply);
  }
  return Judge(supplies);
}
