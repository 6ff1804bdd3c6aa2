// The power rule of the Linux program: before the first buffer command it
// looks at the machine's power supplies in sysfs, because a power loss while
// the drive programs its flash leaves the drive without firmware.
//
// What counts: supplies of type Mains or USB (and the USB_* kinds older
// kernels report) that say online (1, or 2 for a USB-C source), and
// batteries that belong to the system (scope missing, "System" or
// "Unknown"; a battery of scope "Device" is a mouse or a keyboard and is
// ignored, as is one with present 0). UPS, Wireless and other kinds are
// ignored.
//
// The verdict:
//   kNoBattery     no system battery: the program goes on as before;
//   kExternalPower a Mains/USB supply is online, or a battery is Charging or
//                  Full: the program goes on;
//   kWarn          on battery with at least 30 % left: goes on, message says
//                  to keep the power supply connected;
//   kRefuse        on battery with less than 30 % left, or with a charge that
//                  cannot be read (a missing or garbled value is never taken
//                  as "enough"): the program stops unless --ignore-power.
// A battery that says "Not charging", "Unknown" or "Discharging" with no
// Mains/USB supply online counts as running on battery.
//
// The charge of several batteries is their energy total (energy_now over
// energy_full summed) when every one of them reports both values, otherwise
// the mean of their percentages (capacity, else energy_now/energy_full, else
// charge_now/charge_full). One system battery whose charge cannot be read
// makes the charge unknown.
//
// Bounds: at most kMaxSupplies supplies are looked at (the first by name),
// names longer than kMaxSupplyName are passed over, and each value is read
// with one bounded read of at most kMaxValueBytes bytes.
#pragma once
#include <string>

struct PowerCheck {
  enum Verdict { kNoBattery, kExternalPower, kWarn, kRefuse };
  Verdict verdict = kNoBattery;
  // The charge left in percent (rounded down) for kWarn and kRefuse; -1
  // when there is no system battery, on external power, or when the charge
  // could not be read.
  int percent = -1;
  // A sentence for the user for kWarn and kRefuse; empty otherwise.
  std::string message;
};

constexpr int kMaxSupplies = 32;
constexpr size_t kMaxSupplyName = 64;
constexpr size_t kMaxValueBytes = 64;
// Below this charge in percent the update is refused on battery.
constexpr int kMinBatteryPercent = 30;

// Reads <sysfs_root>/class/power_supply/*/ (the program passes "/sys") and
// applies the rule above. A missing or unreadable power_supply folder is
// kNoBattery. Never throws; never blocks on what it finds there.
PowerCheck CheckPower(const std::string& sysfs_root);
