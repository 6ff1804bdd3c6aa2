// The power rule on fake sysfs trees: which machines go on, which are warned
// and which are refused before the first buffer command.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "cli/power_linux.h"

namespace {

using Values = std::map<std::string, std::string>;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// A sysfs root in a temporary folder, removed again at the end.
class FakeSysfs {
 public:
  FakeSysfs() {
    char name[] = "/tmp/fw_power_XXXXXX";
    root_ = mkdtemp(name) ? name : "";
  }
  ~FakeSysfs() {
    if (!root_.empty()) nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  const std::string& root() const { return root_; }
  std::string Class() const { return root_ + "/class/power_supply"; }

  // A supply folder with one file per value (each ending in a newline, as
  // the kernel writes them).
  void Supply(const std::string& name, const Values& values) { Write(Class() + "/" + name, values); }

  // A supply as a real sysfs has it: a symbolic link into devices/.
  void LinkedSupply(const std::string& name, const Values& values) {
    const std::string real = root_ + "/devices/" + name;
    Write(real, values);
    MakeDirs(Class());
    symlink(real.c_str(), (Class() + "/" + name).c_str());
  }

  void Write(const std::string& dir, const Values& values) {
    MakeDirs(dir);
    for (const auto& [file, value] : values) {
      FILE* f = std::fopen((dir + "/" + file).c_str(), "w");
      ASSERT_NE(f, nullptr);
      std::fputs((value + "\n").c_str(), f);
      std::fclose(f);
    }
  }

  static void MakeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      mkdir(path.substr(0, slash).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
  }

 private:
  std::string root_;
};

Values Battery(const std::string& status, const std::string& capacity) {
  return {{"type", "Battery"}, {"status", status}, {"capacity", capacity}, {"present", "1"}, {"scope", "System"}};
}
Values Mains(bool online) { return {{"type", "Mains"}, {"online", online ? "1" : "0"}}; }

TEST(PowerRule, MachinesWithoutASystemBatteryGoOnAsBefore) {
  {
    FakeSysfs sys;  // no power_supply folder at all (a desktop, a container)
    EXPECT_EQ(CheckPower(sys.root()).verdict, PowerCheck::kNoBattery);
    EXPECT_EQ(CheckPower(sys.root() + "/missing").verdict, PowerCheck::kNoBattery);
  }
  {
    FakeSysfs sys;  // a desktop on mains, with a wireless mouse nearly empty
    sys.Supply("AC", Mains(true));
    Values mouse = Battery("Discharging", "5");
    mouse["scope"] = "Device";
    sys.Supply("hidpp_battery_0", mouse);
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, PowerCheck::kNoBattery);
    EXPECT_EQ(check.percent, -1);
    EXPECT_EQ(check.message, "");
  }
  {
    FakeSysfs sys;  // an empty battery bay
    Values bay = Battery("Unknown", "0");
    bay["present"] = "0";
    sys.Supply("BAT1", bay);
    EXPECT_EQ(CheckPower(sys.root()).verdict, PowerCheck::kNoBattery);
  }
}

TEST(PowerRule, OnlineMainsOrUsbOrAChargingBatteryIsExternalPower) {
  {
    FakeSysfs sys;
    sys.Supply("AC", Mains(true));
    sys.Supply("BAT0", Battery("Discharging", "20"));
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, PowerCheck::kExternalPower);
    EXPECT_EQ(check.message, "");
  }
  {
    FakeSysfs sys;  // a USB-C charger
    sys.Supply("ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "2"}});
    sys.Supply("BAT0", Battery("Not charging", "20"));
    EXPECT_EQ(CheckPower(sys.root()).verdict, PowerCheck::kExternalPower);
  }
  for (const char* status : {"Charging", "Full"}) {
    FakeSysfs sys;  // no mains supply listed, but the battery is being fed
    sys.Supply("BAT0", Battery(status, "10"));
    EXPECT_EQ(CheckPower(sys.root()).verdict, PowerCheck::kExternalPower) << status;
  }
}

TEST(PowerRule, OnBatteryLessThanThirtyPercentRefusesElseWarns) {
  struct Case {
    const char* capacity;
    PowerCheck::Verdict verdict;
  } cases[] = {{"0", PowerCheck::kRefuse},  {"20", PowerCheck::kRefuse}, {"29", PowerCheck::kRefuse},
               {"30", PowerCheck::kWarn},   {"80", PowerCheck::kWarn},   {"100", PowerCheck::kWarn}};
  for (const Case& c : cases) {
    FakeSysfs sys;
    sys.Supply("AC", Mains(false));
    sys.Supply("BAT0", Battery("Discharging", c.capacity));
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, c.verdict) << c.capacity;
    EXPECT_EQ(check.percent, std::atoi(c.capacity)) << c.capacity;
  }
  FakeSysfs sys;
  sys.Supply("BAT0", Battery("Discharging", "20"));
  EXPECT_EQ(CheckPower(sys.root()).message,
            "The computer runs on battery power with 20 % left. A power loss during the update ruins the drive: "
            "connect the power supply, or use --ignore-power.");
  sys.Supply("BAT0", Battery("Discharging", "80"));
  EXPECT_EQ(CheckPower(sys.root()).message,
            "The computer runs on battery power (80 % left). Keep it connected to the power supply if you can.");
}

TEST(PowerRule, SeveralBatteriesCountByTheirEnergy) {
  {
    // A large battery at 10 % and a small full one: 28 of 100 Wh is less
    // than 30 %, though the mean of the two percentages is 55.
    FakeSysfs sys;
    Values large = Battery("Discharging", "10");
    large["energy_now"] = "8000000";
    large["energy_full"] = "80000000";
    Values small = Battery("Discharging", "100");
    small["energy_now"] = "20000000";
    small["energy_full"] = "20000000";
    sys.Supply("BAT0", large);
    sys.Supply("BAT1", small);
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, PowerCheck::kRefuse);
    EXPECT_EQ(check.percent, 28);
  }
  {
    // Without energy values: the mean of the capacities.
    FakeSysfs sys;
    sys.Supply("BAT0", Battery("Discharging", "20"));
    sys.Supply("BAT1", Battery("Discharging", "50"));
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, PowerCheck::kWarn);
    EXPECT_EQ(check.percent, 35);
  }
}

TEST(PowerRule, AChargeThatCannotBeReadOnBatteryRefuses) {
  for (const char* garbled : {"abc", "", "250", "-5", "50abc", " 5 0", "99999999999999999999999"}) {
    FakeSysfs sys;
    sys.Supply("BAT0", Battery("Discharging", garbled));
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, PowerCheck::kRefuse) << garbled;
    EXPECT_EQ(check.percent, -1) << garbled;
    EXPECT_NE(check.message.find("could not be read"), std::string::npos) << garbled;
    EXPECT_NE(check.message.find("--ignore-power"), std::string::npos) << garbled;
  }
  {
    // One readable battery does not vouch for another that is not.
    FakeSysfs sys;
    sys.Supply("BAT0", Battery("Discharging", "90"));
    sys.Supply("BAT1", Battery("Discharging", "abc"));
    EXPECT_EQ(CheckPower(sys.root()).verdict, PowerCheck::kRefuse);
  }
}

TEST(PowerRule, AMissingCapacityIsTakenFromEnergyOrCharge) {
  {
    FakeSysfs sys;  // capacity garbled, energy readable
    Values b = Battery("Discharging", "250");
    b["energy_now"] = "40000000";
    b["energy_full"] = "100000000";
    sys.Supply("BAT0", b);
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, PowerCheck::kWarn);
    EXPECT_EQ(check.percent, 40);
  }
  {
    FakeSysfs sys;  // no capacity, charge in µAh
    sys.Supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"charge_now", "500000"},
                        {"charge_full", "2500000"}});
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, PowerCheck::kRefuse);
    EXPECT_EQ(check.percent, 20);
  }
  {
    FakeSysfs sys;  // energy_full of zero is no value
    sys.Supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"energy_now", "0"}, {"energy_full", "0"}});
    EXPECT_EQ(CheckPower(sys.root()).percent, -1);
  }
}

TEST(PowerRule, SupplyFoldersAreFollowedButValuesAreReadOnlyFromPlainFiles) {
  {
    FakeSysfs sys;  // the layout of a real sysfs
    sys.LinkedSupply("AC", Mains(false));
    sys.LinkedSupply("BAT0", Battery("Discharging", "80"));
    EXPECT_EQ(CheckPower(sys.root()).verdict, PowerCheck::kWarn);
  }
  {
    // capacity is a symbolic link to a file saying 90: not read.
    FakeSysfs sys;
    sys.Supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}});
    sys.Write(sys.root() + "/elsewhere", {{"capacity", "90"}});
    ASSERT_EQ(symlink((sys.root() + "/elsewhere/capacity").c_str(), (sys.Class() + "/BAT0/capacity").c_str()), 0);
    const PowerCheck check = CheckPower(sys.root());
    EXPECT_EQ(check.verdict, PowerCheck::kRefuse);
    EXPECT_EQ(check.percent, -1);
  }
  {
    // A FIFO nobody writes to: not read, and it does not hold the program.
    FakeSysfs sys;
    sys.Supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"energy_full", "100"}});
    ASSERT_EQ(mkfifo((sys.Class() + "/BAT0/energy_now").c_str(), 0644), 0);
    EXPECT_EQ(CheckPower(sys.root()).percent, -1);
  }
}

}  // namespace
