// Discovery through a sysfs tree of our own: which nodes are drives, their
// order, their names, and what happens to a drive that cannot be opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <cstring>
#include <vector>
#include <string>

#include "scsi/dispatcher.h"
#include "scsi/sg_discovery_linux.h"

namespace {

// The INQUIRY answer of each node, by node name ("sg3"); others answer as a
// CD-ROM drive "KORVADYN K53R-TX". Every request is noted.
std::map<std::string, std::pair<uint8_t, std::string>> g_inquiry;
std::vector<std::pair<std::string, uint8_t>> g_requests;  // node, opcode

std::string NodeName(int fd) {
  char path[512];
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

int FakeSgIo(int fd, sg_io_hdr_t* h) {
  const std::string node = NodeName(fd);
  const uint8_t opcode = static_cast<const uint8_t*>(h->cmdp)[0];
  g_requests.emplace_back(node, opcode);
  h->status = h->host_status = h->driver_status = 0;
  h->resid = 0;
  if (opcode != 0x12 || h->dxfer_len < 36) return 0;
  auto* reply = static_cast<uint8_t*>(h->dxferp);
  std::memset(reply, ' ', h->dxfer_len);
  const auto it = g_inquiry.find(node);
  reply[0] = it == g_inquiry.end() ? 5 : it->second.first;
  const std::string product = it == g_inquiry.end() ? "K53R-TX" : it->second.second;
  std::memcpy(reply + 8, "KORVADYN", 8);
  std::memcpy(reply + 16, product.data(), product.size() < 16 ? product.size() : 16);
  return 0;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fwsysfsXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top_ = pattern;
    Mkdir("/sys");
    Mkdir("/sys/class");
    Mkdir("/sys/class/scsi_generic");
    Mkdir("/sys/devices");
    Mkdir("/dev");
    SysfsRoot() = top_ + "/sys";
    DevRoot() = top_ + "/dev";
    ResetScsiState();
    g_inquiry.clear();
    g_requests.clear();
    Sgio().sg_io = FakeSgIo;
  }
  void TearDown() override {
    ResetSgio();
    ForgetSgDrives();
    ResetScsiState();
    ResetTransports();
    SysfsRoot() = "/sys";
    DevRoot() = "/dev";
    std::system(("rm -rf '" + top_ + "'").c_str());
  }
  void Mkdir(const std::string& path) { ASSERT_EQ(mkdir((top_ + path).c_str(), 0755), 0) << path; }
  void Write(const std::string& path, const std::string& text) { std::ofstream(top_ + path) << text; }

  // One SCSI generic node: its device directory under /sys/devices, the
  // class link, the type, an optional block device and the /dev node.
  void AddNode(const std::string& sg, const std::string& hctl, const std::string& type,
               const std::string& block = "", bool node = true) {
    const std::string dev = "/sys/devices/" + hctl;
    Mkdir(dev);
    Write(dev + "/type", type);
    Mkdir("/sys/class/scsi_generic/" + sg);
    ASSERT_EQ(symlink(("../../../devices/" + hctl).c_str(), (top_ + "/sys/class/scsi_generic/" + sg + "/device").c_str()), 0);
    if (!block.empty()) {
      Mkdir(dev + "/block");
      Mkdir(dev + "/block/" + block);
    }
    if (node) Write("/dev/" + sg, "");
  }
  std::string top_;
};

TEST_F(DiscoveryTest, FindsTheCdromNodesInNumberOrder) {
  AddNode("sg10", "3:0:0:0", "5\n", "sr2");
  AddNode("sg0", "0:0:0:0", "0\n", "");          // a disk
  AddNode("sg2", "1:0:1:0", "5\n", "sr0");
  AddNode("sg9", "2:0:0:0", "5", "sr1");          // no newline
  AddNode("sg3", "1:0:2:0", "", "");              // type unreadable
  Mkdir("/sys/class/scsi_generic/foo");           // not an sg name
  const std::vector<SgDrive> drives = ScanSgDrives();
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].sg_name, "sg2");
  EXPECT_EQ(drives[0].sg_path, top_ + "/dev/sg2");
  EXPECT_EQ(drives[0].hctl, "1:0:1:0");
  EXPECT_EQ(drives[0].block_name, "sr0");
  EXPECT_EQ(drives[1].sg_name, "sg9");
  EXPECT_EQ(drives[2].sg_name, "sg10");
  EXPECT_EQ(drives[2].block_name, "sr2");

  EXPECT_EQ(FindNamedDrive(drives, "/dev/sr1"), 1);
  EXPECT_EQ(FindNamedDrive(drives, "sr1"), 1);
  EXPECT_EQ(FindNamedDrive(drives, "/dev/sg10"), 2);
  EXPECT_EQ(FindNamedDrive(drives, top_ + "/dev/sg2"), 0);
  EXPECT_EQ(FindNamedDrive(drives, "sg0"), -1);   // not a CD-ROM drive
  EXPECT_EQ(FindNamedDrive(drives, "/dev/sr9"), -1);
  EXPECT_EQ(FindNamedDrive(drives, ""), -1);
}

TEST_F(DiscoveryTest, NoSysfsClassMeansNoDrive) {
  SysfsRoot() = top_ + "/nothing";
  EXPECT_TRUE(ScanSgDrives().empty());
  const SgDiscovery report = DiscoverSgDrives("");
  EXPECT_EQ(report.reachable, 0);
  EXPECT_TRUE(report.unreachable.empty());
}

TEST_F(DiscoveryTest, OpenedDrivesFillTheTableAndTheOthersAreReported) {
  AddNode("sg1", "1:0:0:0", "5\n", "sr0");
  AddNode("sg2", "2:0:0:0", "5\n", "sr1", /*node=*/false);  // no device node
  AddNode("sg3", "3:0:0:0", "5\n", "sr2");
  const SgDiscovery report = DiscoverSgDrives("");
  EXPECT_EQ(report.reachable, 2);
  EXPECT_TRUE(g_pass_through_mode);
  EXPECT_EQ(Transports().pass_through_attempt, &SgioAttempt);
  ASSERT_EQ(g_drive_table_count, 2);
  EXPECT_EQ(SgDriveAt(0)->sg_name, "sg1");
  EXPECT_GE(SgDriveAt(0)->fd, 0);
  EXPECT_EQ(SgDriveAt(1)->sg_name, "sg3");
  EXPECT_EQ(SgDriveAt(2), nullptr);
  ASSERT_EQ(report.unreachable.size(), 1u);
  EXPECT_EQ(report.unreachable[0].sg_name, "sg2");
  EXPECT_EQ(report.unreachable[0].open_errno, ENOENT);

  // The table's entries address the drives through the current drive.
  ASSERT_EQ(SelectDrive(1), 1);
  EXPECT_EQ(g_current_drive.device_handle, SgDriveAt(1));
}

TEST_F(DiscoveryTest, ANamedDriveIsTheOnlyOne) {
  AddNode("sg1", "1:0:0:0", "5\n", "sr0");
  AddNode("sg4", "4:0:0:0", "5\n", "sr3");
  SgDiscovery report = DiscoverSgDrives("/dev/sr3");
  EXPECT_EQ(report.reachable, 1);
  EXPECT_EQ(SgDriveAt(0)->sg_name, "sg4");
  EXPECT_FALSE(report.named_drive_missing);

  report = DiscoverSgDrives("/dev/sr7");
  EXPECT_EQ(report.reachable, 0);
  EXPECT_TRUE(report.named_drive_missing);
  EXPECT_EQ(g_drive_table_count, 0);
}

// The sg number of a drive went to another device between the scan and the
// open: the node's own INQUIRY says so, and it gets nothing else.
TEST_F(DiscoveryTest, ANodeThatNoLongerAnswersAsACdromGetsNoVendorCommand) {
  AddNode("sg1", "1:0:0:0", "5\n", "sr0");
  AddNode("sg2", "2:0:0:0", "5\n", "sr1");
  g_inquiry["sg1"] = {0x00, "DISK"};
  const SgDiscovery report = DiscoverSgDrives("");
  EXPECT_EQ(report.reachable, 1);
  EXPECT_EQ(SgDriveAt(0)->sg_name, "sg2");
  ASSERT_EQ(report.unreachable.size(), 1u);
  EXPECT_TRUE(report.unreachable[0].not_cdrom);
  EXPECT_EQ(report.unreachable[0].fd, -1);
  for (const auto& request : g_requests) {
    if (request.first == "sg1") EXPECT_EQ(request.second, 0x12);
  }
}

// Holding the chosen drive: a new handle that must answer as the drive
// identified, or nothing is sent to it.
TEST_F(DiscoveryTest, TheHeldDriveMustStillBeTheDriveIdentified) {
  AddNode("sg1", "1:0:0:0", "5\n", "sr0");
  ASSERT_EQ(DiscoverSgDrives("").reachable, 1);
  int error = -1;
  EXPECT_EQ(HoldSgDrive(0, &error), SgHold::kHeld);
  EXPECT_EQ(error, 0);
  EXPECT_GE(SgDriveAt(0)->fd, 0);
  EXPECT_EQ(NodeName(SgDriveAt(0)->fd), "sg1");

  g_inquiry["sg1"] = {0x05, "OTHER-DRIVE"};  // the same type, another device
  EXPECT_EQ(HoldSgDrive(0, &error), SgHold::kChanged);
  EXPECT_EQ(SgDriveAt(0)->fd, -1);
  g_inquiry["sg1"] = {0x00, "K53R-TX"};  // the same name, not a CD-ROM
  EXPECT_EQ(HoldSgDrive(0, &error), SgHold::kChanged);

  g_inquiry.clear();
  ASSERT_EQ(unlink((top_ + "/dev/sg1").c_str()), 0);  // the node is gone
  EXPECT_EQ(HoldSgDrive(0, &error), SgHold::kFailed);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(HoldSgDrive(5, &error), SgHold::kChanged);  // no such entry
}

}  // namespace
