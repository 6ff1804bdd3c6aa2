// The built simulated WNASPI32.DLL behind the real ASPI transport and the
// dispatcher: discovery, identification, a transfer with read-back and flash,
// faults, asynchronous completion and aborts. Every scenario loads its own
// copy of the library (a copy keeps its configuration for the process).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/app_state.h"
#include "base/exe_file.h"
#include "base/host.h"
#include "base/payload.h"
#include "drive/commands.h"
#include "drive/identify.h"
#include "drive/transfer.h"
#include "scsi/discovery.h"
#include "scsi/dispatcher.h"
#include "scsi/platform_win32.h"

namespace {

std::string g_library_path;  // what LoadLibraryA("WNASPI32.DLL") loads

HMODULE WINAPI LoadCopy(LPCSTR name) {
  return std::string(name) == "WNASPI32.DLL" ? ::LoadLibraryA(g_library_path.c_str()) : nullptr;
}
BOOL WINAPI Windows98(LPOSVERSIONINFOA info) {
  info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
  info->dwMajorVersion = 4;
  info->dwMinorVersion = 10;
  return TRUE;
}

std::string WindowsPath(const std::string& unix_path) {
  std::string p = "Z:" + unix_path;
  for (char& c : p) c = c == '/' ? '\\' : c;
  return p;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

class SimLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = std::getenv("FW_BUILD_DIR");
    ASSERT_NE(build, nullptr) << "FW_BUILD_DIR must name the Windows build directory";
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    dir_ = std::string(temp) + "fwsim_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    CreateDirectoryA(dir_.c_str(), nullptr);
    g_library_path = dir_ + "\\simaspi.dll";
    ASSERT_TRUE(CopyFileA(WindowsPath(std::string(build) + "/WNASPI32.DLL").c_str(),
                          g_library_path.c_str(), FALSE))
        << "the simulated library is built as WNASPI32.DLL in " << build;
    log_ = dir_ + "\\wire.log";
    SetEnvironmentVariableA("FWSIM_CONFIG", (dir_ + "\\sim.cfg").c_str());
    SetEnvironmentVariableA("FWSIM_LOG", log_.c_str());
    SetEnvironmentVariableA("FWSIM_OUT", dir_.c_str());

    ResetScsiState();
    ResetTransports();
    ResetAspiTransport();
    ResetHost();
    Host().message_box = [](const char* text) { Messages().push_back(text); };
    Messages().clear();
    Platform().LoadLibraryA = LoadCopy;
    Platform().GetVersionExA = Windows98;
    SetAppState(&state_);
  }
  void TearDown() override {
    SetAppState(nullptr);
    ResetPlatform();
    ResetScsiState();
    ResetTransports();
    ResetAspiTransport();
    ResetHost();
  }

  void Config(const std::string& text) {
    std::ofstream f(dir_ + "\\sim.cfg", std::ios::binary);
    f << text;
  }
  std::vector<std::string> Wire() const { return LinesOf(ReadFile(log_)); }
  std::vector<std::string> WireWith(const std::string& part) const {
    std::vector<std::string> found;
    for (const std::string& line : Wire())
      if (line.find(part) != std::string::npos) found.push_back(line);
    return found;
  }
  static std::vector<std::string>& Messages() {
    static std::vector<std::string> messages;
    return messages;
  }

  std::string dir_, log_;
  UpdateState state_;
};

constexpr const char* kTwoDrives =
    "# two drives found, two that are not\n"
    "adapters 2\n"
    "drive 0 1 0\n"
    "  vendor KORVADYN\n"
    "  product \"CD-RW K53R      \"\n"
    "  revision 1.00\n"
    "  model \"K53R-TX   \"\n"
    "  version 209A\n"
    "drive 0 7 0\n"
    "drive 0 2 1\n"
    "drive 1 0 0\n"
    "  vendor OTHERCO\n"
    "  model K40\n"
    "  version 100B\n";

TEST_F(SimLibrary, DiscoversAndIdentifiesTheConfiguredDrives) {
  Config(kTwoDrives);
  ASSERT_EQ(DiscoverDrives(), 2);
  EXPECT_FALSE(g_pass_through_mode);
  EXPECT_EQ(DriveTable[0].host_adapter_id, 0);
  EXPECT_EQ(DriveTable[0].target_id, 1);
  EXPECT_EQ(DriveTable[1].host_adapter_id, 1);
  EXPECT_EQ(DriveTable[1].target_id, 0);

  state_.drive_count = 2;
  state_.drive_identity_table.reset(new DriveIdentity[2]);
  IdentifyDrives();
  const DriveIdentity& a = state_.drive_identity_table[0];
  EXPECT_STREQ(a.vendor_identification, "KORVADYN");
  EXPECT_STREQ(a.product_identification, "CD-RW K53R      ");
  EXPECT_STREQ(a.product_revision, "1.00");
  EXPECT_STREQ(a.model_name, "K53R-TX   ");
  EXPECT_STREQ(a.firmware_version, "209A");
  const DriveIdentity& b = state_.drive_identity_table[1];
  EXPECT_STREQ(b.vendor_identification, "OTHERCO ");
  EXPECT_STREQ(b.model_name, "K40       ");
  EXPECT_STREQ(b.firmware_version, "100B");

  const std::vector<std::string> inquiries = WireWith("cdb=12 00 00 00 38");
  ASSERT_EQ(inquiries.size(), 2u);
  EXPECT_EQ(inquiries[0],
            "srb=02 ha=0 target=1 lun=0 flags=0x48 length=56 "
            "cdb=12 00 00 00 38 00 00 00 00 00 00 00 result=01 scsi=00 sense=0000");
  const std::vector<std::string> identifies = WireWith("cdb=33 6C F0 00 00 00 00 00 10");
  ASSERT_EQ(identifies.size(), 2u);
  EXPECT_NE(identifies[1].find("ha=1 target=0 lun=0 flags=0x48 length=16"), std::string::npos);
  // Target 7 is never asked; LUN 1 never either.
  EXPECT_TRUE(WireWith("target=7").empty());
  EXPECT_TRUE(WireWith("lun=1").empty());
}

TEST_F(SimLibrary, TransfersReadsBackAndFlashesAnImage) {
  // The second drive answers every command 2 ms late, on the library's thread.
  Config(std::string(kTwoDrives) + "  delay 2\n");
  ASSERT_EQ(DiscoverDrives(), 2);
  ASSERT_EQ(SelectDrive(1), 1);

  std::vector<uint8_t> image(2560);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  // The checked copy of the program file: here the image alone.
  state_.executable_contents.reset(new uint8_t[image.size()]);
  std::copy(image.begin(), image.end(), state_.executable_contents.get());
  state_.executable_size = static_cast<uint32_t>(image.size());
  state_.image_count = 1;
  state_.image_directory[0] = ImageDirectoryEntry{0, static_cast<uint32_t>(image.size()), "K40"};
  state_.target_image_entry = 0;
  state_.target_image_name = "K40";
  state_.read_back_verification = true;
  EXPECT_EQ(RunTransfer(), TransferOk);

  std::vector<uint8_t> keyed = image;
  ApplyImageKey(keyed.data(), static_cast<uint32_t>(keyed.size()));
  const std::string flashed = ReadFile(dir_ + "\\flash-1-0-1.bin");
  EXPECT_EQ(flashed, std::string(keyed.begin(), keyed.end()));

  // Each command once, logged when sent and when done: three chunks and the update ...
  EXPECT_EQ(WireWith("cdb=33 6C F1").size(), 2 * 4u);
  EXPECT_EQ(WireWith("result=pending async=2").size(), 4u + 3u);
  // ... and three read-backs.
  EXPECT_EQ(WireWith("cdb=33 6C F2").size(), 2 * 3u);
  EXPECT_EQ(WireWith("flags=0x50 length=512 cdb=33 6C F1 00 08 00 00 02 00 4B 56 44 result=01").size(), 1u);
  EXPECT_EQ(WireWith("flags=0x40 length=0 cdb=33 6C F1 00 00 00 80 00 00 4B 56 44 result=01").size(), 1u);
}

TEST_F(SimLibrary, ACheckConditionIsRetriedAndAnAsynchronousCompletionIsWaitedFor) {
  Config("drive 0 0 0\n"
         "  fault identify 1 1 check 2400\n"
         "  fault inquiry 1 1 async 150\n");
  ASSERT_EQ(DiscoverDrives(), 1);
  ASSERT_EQ(SelectDrive(0), 1);
  uint8_t reply[56] = {};
  EXPECT_EQ(Inquiry(reply, sizeof reply), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply) + 8, 8), "KORVADYN");
  const std::vector<std::string> inquiries = WireWith("cdb=12");
  ASSERT_EQ(inquiries.size(), 2u);
  EXPECT_NE(inquiries[0].find("result=pending async=150"), std::string::npos);
  EXPECT_NE(inquiries[1].find("result=01 scsi=00 sense=0000 done"), std::string::npos);

  uint8_t id[16] = {};
  EXPECT_EQ(IdentifyModel(id, sizeof id), 1);
  const std::vector<std::string> identifies = WireWith("cdb=33 6C F0");
  ASSERT_EQ(identifies.size(), 2u);
  EXPECT_NE(identifies[0].find("result=04 scsi=02 sense=2400"), std::string::npos);
  EXPECT_NE(identifies[1].find("result=01"), std::string::npos);
  EXPECT_EQ(LastFailureText(), "Invalid field in command packet");
}

TEST_F(SimLibrary, ACommandThatNeverCompletesIsAbortedAfterItsTimeOutAndRetried) {
  Config("drive 0 0 0\n  fault inquiry 1 1 never\n");
  ASSERT_EQ(DiscoverDrives(), 1);
  ASSERT_EQ(SelectDrive(0), 1);
  uint8_t reply[56] = {};
  const DWORD start = GetTickCount();
  EXPECT_EQ(Inquiry(reply, sizeof reply), 1);
  EXPECT_GE(GetTickCount() - start, 900u);  // the 1000 ms time-out, give or take the tick
  const std::vector<std::string> wire = Wire();
  ASSERT_GE(wire.size(), 3u);
  EXPECT_NE(WireWith("cdb=12")[0].find("result=never"), std::string::npos);
  EXPECT_EQ(WireWith("srb=03 ha=0").size(), 1u);
  EXPECT_NE(WireWith("srb=03")[0].find("abort=found"), std::string::npos);
  EXPECT_NE(WireWith("cdb=12")[1].find("result=01"), std::string::npos);
  EXPECT_EQ(AspiAbandonedRequests(), 0);
}

TEST_F(SimLibrary, ALibraryThatIgnoresTheAbortLeavesTheCommandAbandoned) {
  Config("abort ignore\ndrive 0 0 0\n  fault inquiry 1 1 never\n");
  ASSERT_EQ(DiscoverDrives(), 1);
  ASSERT_EQ(SelectDrive(0), 1);
  uint8_t reply[56] = {};
  EXPECT_EQ(Inquiry(reply, sizeof reply), 0);
  EXPECT_EQ(WireWith("cdb=12").size(), 1u);  // no second attempt
  EXPECT_NE(WireWith("srb=03")[0].find("abort=unknown"), std::string::npos);
  EXPECT_EQ(AspiAbandonedRequests(), 1);
  EXPECT_EQ(Messages().size(), 1u);  // the dispatcher's last failure text
}

TEST_F(SimLibrary, BadConfigurationLinesAreReportedAndSkipped) {
  Config("adapters many\n"
         "model before any drive\n"
         "drive 0 3 0\n"
         "  fault write 0 1 check 2400\n"
         "  fault read 1 1 explode\n"
         "  colour blue\n"
         "  version 777X\n");
  ASSERT_EQ(DiscoverDrives(), 1);
  EXPECT_EQ(DriveTable[0].target_id, 3);
  const std::vector<std::string> errors = WireWith("config error: ");
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_NE(errors[0].find("line 1: adapters needs a number"), std::string::npos);
  EXPECT_NE(errors[1].find("line 2:"), std::string::npos);
  EXPECT_NE(errors[2].find("line 4: NTH must be"), std::string::npos);
  EXPECT_NE(errors[3].find("line 5: unknown fault action 'explode'"), std::string::npos);
  EXPECT_NE(errors[4].find("line 6: unknown setting 'colour'"), std::string::npos);
  ASSERT_EQ(SelectDrive(0), 1);
  uint8_t id[16] = {};
  EXPECT_EQ(IdentifyModel(id, sizeof id), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(id) + 12, 4), "777X");
}

TEST_F(SimLibrary, AnUnreadableConfigurationGivesNoAdapter) {
  SetEnvironmentVariableA("FWSIM_CONFIG", (dir_ + "\\missing.cfg").c_str());
  EXPECT_EQ(DiscoverDrives(), 0);
  EXPECT_EQ(WireWith("support=0xE800").size(), 1u);
  EXPECT_EQ(WireWith("config error: cannot read").size(), 1u);
}

}  // namespace
