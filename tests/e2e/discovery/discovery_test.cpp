// The whole program finding drives, on each transport of the test run:
// in Windows 98 mode through the simulated WNASPI32.DLL beside it (adapters
// and targets), on Wine's NT platform through the CD-ROM interfaces that
// SetupAPI lists, each command a pass-through request that reaches the
// simulated drive as SG_IO. Each test belongs to one transport and says so.
#include <gtest/gtest.h>

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/winharness.h"

namespace {

using harness::Program;
using harness::Transport;
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

// The pass-through: one CD-ROM interface per drive line, instance 0, 1, 2;
// again no carried image fits.
constexpr const char* kInterfacesConfig =
    "drive 0 0 0\n"
    "  vendor KORVADYN\n"
    "  model \"K99X-Z    \"\n"
    "  version 100A\n"
    "drive 0 1 0\n"
    "  model \"K97W-P    \"\n"
    "drive 0 2 0\n"
    "  model \"K98Y-Q    \"\n"
    "  version 200B\n";

#define ONLY_ON(transport)                                                                  \
  if (harness::TransportUnderTest() != (transport))                                        \
  GTEST_SKIP() << "a test of the " << harness::TransportName(transport) << " transport"

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = harness::MakeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_FALSE(dir_.empty()) << "no work directory (FW_BUILD_DIR=" << harness::Env("FW_BUILD_DIR") << ")";
    harness::ClearAppDefaults("fwupdate.exe");
    std::string error;
    exe_ = harness::BuildPackedUpdater(dir_, {{"K53R-TX", "209A", 0x2000, 7}}, nullptr, "fwupdate.exe", &error);
    ASSERT_FALSE(exe_.empty()) << error;
    wire_log_ = harness::JoinPath(dir_, "wire.log");
  }
  void TearDown() override {
    harness::ClearAppDefaults("fwupdate.exe");
    harness::RemoveCdromInterfaces();
  }

  // The drives of a configuration on the transport of the test run.
  void Drives(const std::string& config) {
    bool ok = false;
    environment_ = harness::SimulatedDrives(harness::TransportUnderTest(), dir_, config, wire_log_, "",
                                            "fwupdate.exe", &ok);
    ASSERT_TRUE(ok) << "the simulated drives cannot be set up";
  }

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
  // The commands that reached a drive.
  std::vector<std::string> Executes() const {
    std::vector<std::string> found;
    for (const std::string& line : Wire())
      if (harness::IsWireCommand(line)) found.push_back(line);
    return found;
  }

  std::string TraceLog() const {
    std::vector<uint8_t> bytes;
    harness::ReadFileBytes(harness::JoinPath(dir_, "fwupdate.log"), &bytes);
    return std::string(bytes.begin(), bytes.end());
  }

  std::string dir_, exe_, wire_log_;
  harness::Environment environment_;
};

TEST_F(Discovery, Windows98FindsAndIdentifiesTheDrivesThroughTheLibrary) {
  ONLY_ON(Transport::Aspi);
  ASSERT_NO_FATAL_FAILURE(Drives(kConfig));
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

TEST_F(Discovery, AUnitAttentionOnInquiryIsReadFromTheSenseAndNotAskedAgain) {
  ASSERT_NO_FATAL_FAILURE(Drives("drive 0 1 0\n  model \"K99X-Z    \"\n  fault inquiry 1 1 check 2900\n"));
  RunUntilMessage("/LOG FILE", "\r\nModel name is mismatch!!");
  const std::vector<std::string> executes = Executes();
  ASSERT_EQ(executes.size(), 2u) << "INQUIRY once, then Identify Model: " << wire_log_;
  EXPECT_NE(executes[0].find("cdb=12 "), std::string::npos) << executes[0];
  // The attempt's sense line: fixed format, key 6 (unit attention), 29 00.
  const std::string log = TraceLog();
  ASSERT_GT(log.size(), 4u * 94);
  EXPECT_EQ(log.substr(3 * 94, 22 + 14 * 3), "Sense Code    :       70 00 06 00 00 00 00 0A 00 00 00 00 29 00 ");
}

// Both transports: an INQUIRY the drive never answers fails after its own
// time-out (1 second), each of the five attempts. Through the pass-through
// the time-out must come back as a failed request: Wine would pass the
// kernel's own time-out status on as success.
TEST_F(Discovery, AnInquiryThatNeverCompletesFailsEachAttemptAfterItsTimeOut) {
  ASSERT_NO_FATAL_FAILURE(Drives("drive 0 1 0\n  model \"K99X-Z    \"\n  fault inquiry 1 1000 never\n"));
  const DWORD start = GetTickCount();
  RunUntilMessage("", "\r\nModel name is mismatch!!");
  EXPECT_GE(GetTickCount() - start, 5 * 1000u - 100);
  int inquiries = 0;
  for (const std::string& line : Executes()) {
    if (line.find("cdb=12 ") == std::string::npos) continue;
    ++inquiries;
    const bool timed_out = harness::TransportUnderTest() == Transport::Aspi
                               ? line.find("result=never") != std::string::npos
                               : line.find("result=ETIMEDOUT") != std::string::npos &&
                                     line.find("host=03") != std::string::npos;
    EXPECT_TRUE(timed_out) << line;
  }
  EXPECT_EQ(inquiries, 5);
}

// The abandon path is ASPI's alone. A drive that never answers, behind a
// library that does not let go of the request even when asked to abort it:
// through ASPI the command is abandoned after its first time-out, with the
// time-out's text in a message box. The pass-through has no such path (the
// system ends the request at its time-out), so there the command is tried
// five times, without a message.
TEST_F(Discovery, ACommandTheLibraryKeepsIsAbandonedOnlyThroughAspi) {
  const bool aspi = harness::TransportUnderTest() == Transport::Aspi;
  ASSERT_NO_FATAL_FAILURE(
      Drives("abort ignore\ndrive 0 1 0\n  model \"K99X-Z    \"\n  fault inquiry 1 1000 never\n"));
  Program run;
  ASSERT_TRUE(run.Start(exe_, "", dir_, environment_)) << run.error();
  if (aspi) {
    HWND box = run.WaitForWindow("fwupdate", 30000);
    ASSERT_TRUE(box) << run.error();
    EXPECT_EQ(harness::ControlText(box, harness::kMessageBoxTextId), "Communication time-out");
    harness::PressButton(box, IDOK);
  }
  HWND message = run.WaitForWindow("ERROR", 30000);
  ASSERT_TRUE(message) << run.error();
  EXPECT_EQ(harness::ControlText(message, kMessageTextId), "\r\nModel name is mismatch!!");
  harness::PressButton(message, IDOK);
  ASSERT_TRUE(run.WaitForExit(10000)) << run.error();
  int inquiries = 0;
  for (const std::string& line : Executes()) inquiries += line.find("cdb=12 ") != std::string::npos ? 1 : 0;
  EXPECT_EQ(inquiries, aspi ? 1 : 5);
}

TEST_F(Discovery, TheNtPlatformWithoutACdromInterfaceFindsNoDriveAndNeverLoadsTheLibrary) {
  ONLY_ON(Transport::PassThrough);
  // The simulated ASPI library beside the program all the same: on the NT
  // platform there is no falling back to it.
  ASSERT_TRUE(harness::InstallSimulatedAspi(dir_)) << "WNASPI32.DLL is not built";
  ASSERT_NO_FATAL_FAILURE(Drives("adapters 1\n"));
  RunUntilMessage("", "\r\nCD-ROM/RW drive is not found!");
  EXPECT_FALSE(harness::FileExists(wire_log_)) << "a drive or the ASPI library was reached";
}

TEST_F(Discovery, TheNtPlatformIdentifiesEachInterfaceInItsOrder) {
  ONLY_ON(Transport::PassThrough);
  ASSERT_NO_FATAL_FAILURE(Drives(kInterfacesConfig));
  RunUntilMessage("", "\r\nModel name is mismatch!!");

  // INQUIRY and Identify Model on each interface, in the order SetupAPI
  // lists them; the vendor command's LUN bits cleared (33 0C), a data-less
  // length nowhere, and every answer whole (no residual).
  const std::vector<std::string> executes = Executes();
  ASSERT_EQ(executes.size(), 6u) << wire_log_;
  const std::string inquiry =
      " lun=0 dir=in length=56 timeout=1000 mx_sb_len=32 cdb=12 00 00 00 38 00 00 00 00 00 00 00 result=01 scsi=00 sense=0000 "
      "resid=0 sb=0 host=00 driver=00";
  const std::string identify =
      " lun=0 dir=in length=16 timeout=10000 mx_sb_len=32 cdb=33 0C F0 00 00 00 00 00 10 00 00 00 result=01 scsi=00 sense=0000 "
      "resid=0 sb=0 host=00 driver=00";
  for (int i = 0; i < 3; ++i) {
    const std::string drive = "sgio dev=" + std::to_string(i) + " ha=0 target=" + std::to_string(i);
    EXPECT_EQ(executes[2 * i], drive + inquiry);
    EXPECT_EQ(executes[2 * i + 1], drive + identify);
  }
}

TEST_F(Discovery, AnNtInterfaceThatCannotBeOpenedKeepsItsSlotAndEveryCommandToItIsRejected) {
  ONLY_ON(Transport::PassThrough);
  ASSERT_NO_FATAL_FAILURE(Drives(kInterfacesConfig));
  // Interface 1 is listed, but its device cannot be opened.
  ASSERT_TRUE(harness::InstallCdromInterfaces(3, environment_, {1}));
  RunUntilMessage("/LOG FILE", "\r\nModel name is mismatch!!");

  // Interfaces 0 and 2 are identified; nothing reaches drive 1.
  const std::vector<std::string> executes = Executes();
  ASSERT_EQ(executes.size(), 4u) << wire_log_;
  EXPECT_EQ(executes[0].rfind("sgio dev=0 ", 0), 0u) << executes[0];
  EXPECT_EQ(executes[1].rfind("sgio dev=0 ", 0), 0u) << executes[1];
  EXPECT_EQ(executes[2].rfind("sgio dev=2 ", 0), 0u) << executes[2];
  EXPECT_EQ(executes[3].rfind("sgio dev=2 ", 0), 0u) << executes[3];

  // Slot 1 was asked all the same: each of its commands five times, each
  // attempt rejected by the system and traced (the trace also shows the
  // four that reached drives 0 and 2).
  const std::string log = TraceLog();
  size_t attempts = 0;
  for (size_t at = log.find("Command       : "); at != std::string::npos; at = log.find("Command       : ", at + 1))
    ++attempts;
  EXPECT_EQ(attempts, 4u + 2 * 5) << log;
}

// Both transports trace every attempt in the same four lines; the test
// says where they differ: the "ASPI Status" line shows the ASPI request
// status (01) or the pass-through's SCSI status (00), and only the ASPI
// transport writes the data's character column.
TEST_F(Discovery, TraceShowsEachAttemptAsItsTransportSentIt) {
  const bool aspi = harness::TransportUnderTest() == Transport::Aspi;
  ASSERT_NO_FATAL_FAILURE(Drives(aspi ? kConfig : kInterfacesConfig));
  RunUntilMessage("/LOG FILE", "\r\nModel name is mismatch!!");
  const std::string log = TraceLog();
  // INQUIRY and Identify Model for each of two drives (ASPI) or three
  // interfaces: four lines each, then two empty lines.
  ASSERT_EQ(log.size(), (aspi ? 4u : 6u) * (4 * 94 + 4)) << log;
  EXPECT_EQ(log.substr(0, 36), "Command       :       12 00 00 00 38");
  EXPECT_EQ(log.substr(94, 25), aspi ? "ASPI Status   :       01 " : "ASPI Status   :       00 ");
  EXPECT_EQ(log.substr(188, 37), "DataBuf       :       05 80 00 21 33 ");
  const size_t identify = 4 * 94 + 4;
  EXPECT_EQ(log.substr(identify, 31), "Command       :       " + harness::VendorCdbStart() + " F0 ");
  if (aspi) {
    EXPECT_EQ(log.substr(188 + 76 + 8, 8), "KORVADYN");  // inquiry bytes 8..15, the vendor
    EXPECT_EQ(log.substr(identify + 188 + 76, 16), "..K99X-Z    100A");
  } else {
    EXPECT_EQ(log.find("KORVADYN"), std::string::npos) << "a character column on the pass-through";
  }
}

}  // namespace
