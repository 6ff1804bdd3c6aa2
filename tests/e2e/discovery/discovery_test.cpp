// The whole program finding drives: in Windows 98 mode through the simulated
// WNASPI32.DLL beside it, on Wine's NT platform through the pass-through
// (where Wine has no CD-ROM interface, so nothing is found and the library
// is never loaded).
#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/winharness.h"

namespace {

using harness::Program;
constexpr int kMessageTextId = 1015;

// Two drives the program must find, two it must not (target 7, LUN 1), and a
// device that is no CD-ROM. No carried image fits either model, so the run
// ends after identification with the mismatch message.
constexpr const char* kConfig =
    "adapters 2\n"
    "drive 0 1 0\n"
    "  vendor KORVADYN\n"
    "  product \"CD-RW K53R      \"\n"
    "  model \"K99X-Z    \"\n"
    "  version 100A\n"
    "drive 0 7 0\n"
    "drive 0 2 1\n"
    "drive 1 3 0\n"
    "  type 1\n"
    "drive 1 5 0\n"
    "  model \"K98Y-Q    \"\n"
    "  version 200B\n";

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = harness::MakeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_FALSE(dir_.empty()) << "no work directory (FW_BUILD_DIR=" << harness::Env("FW_BUILD_DIR") << ")";
    harness::ClearAppDefaults("fwupdate.exe");
    std::string error;
    exe_ = harness::BuildPackedUpdater(dir_, {{"K53R-TX", "209A", 0x2000, 7}}, nullptr, "fwupdate.exe", &error);
    ASSERT_FALSE(exe_.empty()) << error;
    // Beside the program, and preferred to Wine's built-in WNASPI32.
    ASSERT_TRUE(harness::InstallSimulatedAspi(dir_)) << "WNASPI32.DLL is not built";
    const std::string config = harness::WriteTextFile(dir_, "sim.cfg", kConfig);
    ASSERT_FALSE(config.empty());
    wire_log_ = harness::JoinPath(dir_, "wire.log");
    environment_ = harness::SimulatedDriveEnvironment(config, wire_log_);
  }
  void TearDown() override { harness::ClearAppDefaults("fwupdate.exe"); }

  // Runs the program until its one error message, checks the text, closes it
  // and waits for the end.
  void RunUntilMessage(const std::string& arguments, const std::string& expected_text) {
    Program run;
    ASSERT_TRUE(run.Start(exe_, arguments, dir_, environment_)) << run.error();
    HWND message = run.WaitForWindow("ERROR");
    ASSERT_TRUE(message) << run.error();
    EXPECT_EQ(harness::ControlText(message, kMessageTextId), expected_text);
    harness::PressButton(message, IDOK);
    DWORD code = 1;
    ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
    EXPECT_EQ(code, 0u);
  }

  std::vector<std::string> Wire() const {
    std::vector<uint8_t> bytes;
    harness::ReadFileBytes(wire_log_, &bytes);
    std::vector<std::string> lines;
    std::stringstream s(std::string(bytes.begin(), bytes.end()));
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
  }
  // The execute requests of the wire log (request code 2).
  std::vector<std::string> Executes() const {
    std::vector<std::string> found;
    for (const std::string& line : Wire())
      if (line.rfind("srb=02 ", 0) == 0) found.push_back(line);
    return found;
  }

  std::string dir_, exe_, wire_log_;
  harness::Environment environment_;
};

TEST_F(Discovery, Windows98FindsAndIdentifiesTheDrivesThroughTheLibrary) {
  ASSERT_TRUE(harness::SetWin98Mode("fwupdate.exe"));
  RunUntilMessage("", "\r\nModel name is mismatch!!");

  const std::vector<std::string> wire = Wire();
  ASSERT_FALSE(wire.empty()) << "the library was not loaded";
  EXPECT_EQ(wire[0], "support=0x0102");
  // Both adapters inquired, targets 0..6 of LUN 0 asked on each, no more.
  int inquiries = 0, device_queries = 0;
  for (const std::string& line : wire) {
    if (line.rfind("srb=00 ", 0) == 0) ++inquiries;
    if (line.rfind("srb=01 ", 0) == 0) {
      ++device_queries;
      EXPECT_NE(line.find(" lun=0 "), std::string::npos) << line;
      EXPECT_EQ(line.find(" target=7 "), std::string::npos) << line;
    }
  }
  EXPECT_EQ(inquiries, 2);
  EXPECT_EQ(device_queries, 14);

  // Each found drive, in adapter-then-target order: INQUIRY, then Identify Model.
  const std::vector<std::string> executes = Executes();
  ASSERT_EQ(executes.size(), 4u) << wire_log_;
  const std::string inquiry =
      " lun=0 flags=0x48 length=56 cdb=12 00 00 00 38 00 00 00 00 00 00 00 result=01 scsi=00 sense=0000";
  const std::string identify =
      " lun=0 flags=0x48 length=16 cdb=33 6C F0 00 00 00 00 00 10 00 00 00 result=01 scsi=00 sense=0000";
  EXPECT_EQ(executes[0], "srb=02 ha=0 target=1" + inquiry);
  EXPECT_EQ(executes[1], "srb=02 ha=0 target=1" + identify);
  EXPECT_EQ(executes[2], "srb=02 ha=1 target=5" + inquiry);
  EXPECT_EQ(executes[3], "srb=02 ha=1 target=5" + identify);
}

TEST_F(Discovery, Windows98TraceShowsEachAttemptWithTheCharacterColumn) {
  ASSERT_TRUE(harness::SetWin98Mode("fwupdate.exe"));
  RunUntilMessage("/LOG FILE", "\r\nModel name is mismatch!!");
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(harness::ReadFileBytes(harness::JoinPath(dir_, "fwupdate.log"), &bytes));
  const std::string log(bytes.begin(), bytes.end());
  // Four attempts of four lines each, and two empty lines after each.
  ASSERT_EQ(log.size(), 4u * (4 * 94 + 4)) << log;
  EXPECT_EQ(log.substr(0, 36), "Command       :       12 00 00 00 38");
  EXPECT_EQ(log.substr(94, 25), "ASPI Status   :       01 ");
  EXPECT_EQ(log.substr(188, 16), "DataBuf       : ");
  EXPECT_EQ(log.substr(188 + 76 + 8, 8), "KORVADYN");  // inquiry bytes 8..15, the vendor
  const size_t identify = 4 * 94 + 4;
  EXPECT_EQ(log.substr(identify, 31), "Command       :       33 6C F0 ");
  EXPECT_EQ(log.substr(identify + 188 + 76, 16), "..K99X-Z    100A");
}

TEST_F(Discovery, TheNtPlatformFindsNoDriveAndNeverLoadsTheLibrary) {
  RunUntilMessage("", "\r\nCD-ROM/RW drive is not found!");
  EXPECT_FALSE(harness::FileExists(wire_log_)) << "the ASPI library was loaded on the NT platform";
}

}  // namespace
