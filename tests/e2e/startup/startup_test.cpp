// The whole program at start-up: split mode, a damaged executable, the
// version display and the single-instance guard.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/harness/winharness.h"

namespace {

using harness::ImageSpec;
// The message field of the message dialog.
constexpr int kMessageTextId = 1015;
using harness::Program;

// Three images of different sizes and models; the first given lies right
// behind the start marker and so is split out as Bin@3.bin.
const std::vector<ImageSpec> kThreeImages = {
    {"K53R-T", "208W", 0x10000, 11},
    {"K53R-TX", "209A", 0x2000, 12},
    {"K53R-PX", "210C", 0x80000, 13},
};

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = harness::MakeWorkDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_FALSE(dir_.empty()) << "no work directory (FW_BUILD_DIR=" << harness::Env("FW_BUILD_DIR") << ")";
    // Wine's NT platform and its own libraries unless a test asks otherwise.
    harness::ClearAppDefaults("fwupdate.exe");
  }
  void TearDown() override {
    harness::ClearAppDefaults("fwupdate.exe");
    harness::RemoveCdromInterfaces();
  }

  // One simulated drive of this model and firmware version on the
  // transport of the test run. Returns the environment to run with.
  harness::Environment SimulatedDrive(const std::string& model, const std::string& version) {
    wire_log_ = harness::JoinPath(dir_, "wire.log");
    bool ok = false;
    harness::Environment environment = harness::SimulatedDrives(
        harness::TransportUnderTest(), dir_, "drive 0 0 0\nmodel \"" + model + "\"\nversion \"" + version + "\"\n",
        wire_log_, "", "fwupdate.exe", &ok);
    EXPECT_TRUE(ok) << "the simulated drive cannot be set up";
    return environment;
  }

  std::string WireLog() {
    std::vector<uint8_t> bytes;
    harness::ReadFileBytes(wire_log_, &bytes);
    return std::string(bytes.begin(), bytes.end());
  }

  std::string Pack(const std::vector<ImageSpec>& images, std::vector<std::vector<uint8_t>>* plain = nullptr) {
    std::string error;
    const std::string exe = harness::BuildPackedUpdater(dir_, images, plain, "fwupdate.exe", &error);
    EXPECT_FALSE(exe.empty()) << error;
    return exe;
  }

  std::vector<std::string> BinFiles() {
    std::vector<std::string> bins;
    for (const std::string& name : harness::ListFiles(dir_)) {
      if (name.rfind("Bin@", 0) == 0) bins.push_back(name);
    }
    return bins;
  }

  std::string dir_;
  std::string wire_log_;
};

// Buffer writes, read-backs and Update Firmware all start so on the wire.
bool SentBufferCommand(const std::string& wire_log) {
  const std::string vendor = "cdb=" + harness::VendorCdbStart();
  return wire_log.find(vendor + " F1") != std::string::npos || wire_log.find(vendor + " F2") != std::string::npos;
}

}  // namespace

TEST_F(Startup, SplitModeWritesEveryImageDescrambledBesideTheProgram) {
  std::vector<std::vector<uint8_t>> plain;
  const std::string exe = Pack(kThreeImages, &plain);
  ASSERT_FALSE(exe.empty());
  // An existing output file is replaced, not appended to.
  ASSERT_TRUE(harness::WriteFileBytes(harness::JoinPath(dir_, "Bin@1.bin"), std::vector<uint8_t>(0x90000, 0xAA)));

  Program run;
  ASSERT_TRUE(run.Start(exe, "/spt", dir_)) << run.error();
  HWND report = run.WaitForWindow("fwupdate");
  ASSERT_TRUE(report) << run.error();
  const std::string expected = "Create " + dir_ + "\\Bin@3.bin\n" + "Create " + dir_ + "\\Bin@2.bin\n" +
                               "Create " + dir_ + "\\Bin@1.bin\n";
  EXPECT_EQ(harness::ControlText(report, harness::kMessageBoxTextId), expected);
  EXPECT_TRUE(harness::IsControlVisible(report, IDOK));

  harness::PressButton(report, IDOK);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  EXPECT_EQ(code, 0u);

  EXPECT_EQ(BinFiles(), std::vector<std::string>({"Bin@1.bin", "Bin@2.bin", "Bin@3.bin"}));
  std::vector<uint8_t> bytes;
  for (int k = 1; k <= 3; ++k) {
    ASSERT_TRUE(harness::ReadFileBytes(harness::JoinPath(dir_, "Bin@" + std::to_string(k) + ".bin"), &bytes));
    EXPECT_TRUE(bytes == plain[3 - k]) << "Bin@" << k << ".bin differs from image " << (3 - k);
  }
}

TEST_F(Startup, DamagedProgramShowsTheDamagedMessageAndWritesNothing) {
  const std::string exe = Pack(kThreeImages);
  ASSERT_FALSE(exe.empty());
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(harness::ReadFileBytes(exe, &bytes));
  bytes[bytes.size() - 0x1234] ^= 0x01;  // one bit inside the last image
  ASSERT_TRUE(harness::WriteFileBytes(exe, bytes));

  Program run;
  ASSERT_TRUE(run.Start(exe, "/SPT", dir_)) << run.error();
  HWND message = run.WaitForWindow("ERROR");
  ASSERT_TRUE(message) << run.error();
  EXPECT_EQ(harness::ControlText(message, kMessageTextId), "\r\nThis file maybe damage please get new one!");
  harness::PressButton(message, IDOK);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(BinFiles().empty());
}

TEST_F(Startup, VersionDisplayShowsTheCaptionOfTheVersionRecord) {
  const std::string exe = Pack({kThreeImages[0]});
  ASSERT_FALSE(exe.empty());
  Program run;
  ASSERT_TRUE(run.Start(exe, "/Ver", dir_)) << run.error();
  HWND message = run.WaitForWindow("VER");
  ASSERT_TRUE(message) << run.error();
  EXPECT_EQ(harness::ControlText(message, kMessageTextId), "\r\nFirmware Update Ver 1.94");
  harness::CloseWindow(message);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  EXPECT_EQ(code, 0u);
}

TEST_F(Startup, SecondCopyEndsAtOnceWithoutAWindowAndLeavesTheFirstAlone) {
  const std::string exe = Pack({kThreeImages[1]});
  ASSERT_FALSE(exe.empty());
  Program first;
  ASSERT_TRUE(first.Start(exe, "/SPT", dir_)) << first.error();
  HWND report = first.WaitForWindow("fwupdate");
  ASSERT_TRUE(report) << first.error();

  // "/VER" would show a window at once, were the copy not stopped first.
  Program second;
  ASSERT_TRUE(second.Start(exe, "/VER", dir_)) << second.error();
  DWORD code = 1;
  ASSERT_TRUE(second.WaitForExit(10000, &code)) << second.error();
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(second.saw_window());

  EXPECT_TRUE(first.Running());
  EXPECT_EQ(harness::FindDialog(first.pid(), "fwupdate"), report);
  harness::PressButton(report, IDOK);
  ASSERT_TRUE(first.WaitForExit(10000, &code)) << first.error();
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(BinFiles(), std::vector<std::string>({"Bin@1.bin"}));
}

TEST(HarnessPaths, UnixAndWinePathsMapBothWays) {
  EXPECT_EQ(harness::UnixToWinePath("/work/main/build"), "Z:\\work\\main\\build");
  EXPECT_EQ(harness::WineToUnixPath("Z:\\work\\main\\build"), "/work/main/build");
  EXPECT_EQ(harness::WineToUnixPath("z:\\"), "/");
  EXPECT_EQ(harness::UnixToWinePath("C:\\windows"), "C:\\windows");
  EXPECT_EQ(harness::WineToUnixPath("C:\\windows"), "C:\\windows");
  EXPECT_EQ(harness::JoinPath("Z:\\a\\", "b"), "Z:\\a\\b");
  EXPECT_EQ(harness::JoinPath("Z:\\a", "b"), "Z:\\a\\b");
}

TEST_F(Startup, ScreenshotHoldsThePixelsOnScreen) {
  const std::string exe = Pack({kThreeImages[1]});
  ASSERT_FALSE(exe.empty());
  Program run;
  ASSERT_TRUE(run.Start(exe, "/VER", dir_)) << run.error();
  HWND message = run.WaitForWindow("VER");
  ASSERT_TRUE(message) << run.error();
  Sleep(300);  // let the box paint

  const std::string shot = harness::JoinPath(dir_, "screen.bmp");
  ASSERT_TRUE(harness::SaveScreenshot(shot));
  std::vector<uint8_t> bmp;
  ASSERT_TRUE(harness::ReadFileBytes(shot, &bmp));
  ASSERT_GT(bmp.size(), 54u);
  const int width = *reinterpret_cast<const int32_t*>(&bmp[18]);
  const int height = *reinterpret_cast<const int32_t*>(&bmp[22]);
  ASSERT_EQ(width, GetSystemMetrics(SM_CXSCREEN));
  ASSERT_EQ(height, GetSystemMetrics(SM_CYSCREEN));
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  ASSERT_EQ(bmp.size(), 54 + stride * height);

  // Rows are stored bottom-up, each pixel as blue, green, red.
  auto file_pixel = [&](int x, int y) {
    const uint8_t* p = &bmp[54 + stride * (height - 1 - y) + 3 * x];
    return RGB(p[2], p[1], p[0]);
  };
  RECT box = {};
  ASSERT_TRUE(GetWindowRect(message, &box));
  const RECT text = harness::ControlScreenRect(message, kMessageTextId);
  ASSERT_GT(text.right, text.left);
  const POINT points[] = {{box.left + 3, box.top + 3},
                          {(box.left + box.right) / 2, (box.top + box.bottom) / 2},
                          {text.left + 1, text.top + 1},
                          {5, height - 5}};
  for (const POINT& p : points) {
    const COLORREF screen = harness::ScreenPixel(p.x, p.y);
    ASSERT_NE(screen, CLR_INVALID);
    EXPECT_EQ(file_pixel(p.x, p.y), screen) << "at " << p.x << "," << p.y;
  }
  // The box stands out from the empty desktop around it.
  EXPECT_NE(harness::ClientPixel(message, 1, 1), harness::ScreenPixel(5, height - 5));

  harness::PressButton(message, IDOK);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
}

// Under Wine's NT platform the pass-through finds no CD-ROM interface.
TEST_F(Startup, NoDriveEndsWithTheNoDriveMessage) {
  const std::string exe = Pack({kThreeImages[1]});
  ASSERT_FALSE(exe.empty());
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_)) << run.error();
  HWND message = run.WaitForWindow("ERROR");
  ASSERT_TRUE(message) << run.error();
  EXPECT_EQ(harness::ControlText(message, kMessageTextId), "\r\nCD-ROM/RW drive is not found!");
  harness::PressButton(message, IDOK);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  EXPECT_EQ(code, 0u);
}

TEST_F(Startup, TraceToFileLogsDiscoveryAndIdentificationBesideTheProgram) {
  const std::string exe = Pack({kThreeImages[1]});
  ASSERT_FALSE(exe.empty());
  const auto environment = SimulatedDrive("K99X-Z    ", "100A");
  // A stale log is emptied.
  const std::string log = harness::JoinPath(dir_, "fwupdate.log");
  ASSERT_TRUE(harness::WriteFileBytes(log, std::vector<uint8_t>(500, 'x')));
  Program run;
  ASSERT_TRUE(run.Start(exe, "/log file", dir_, environment)) << run.error();
  HWND message = run.WaitForWindow("ERROR");  // model mismatch
  ASSERT_TRUE(message) << run.error();
  harness::PressButton(message, IDOK);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(harness::ReadFileBytes(log, &bytes));
  const std::string text(bytes.begin(), bytes.end());
  ASSERT_FALSE(text.empty());
  // Whole lines only: 94 characters with their line break, or a bare break.
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "unterminated line at " << at;
    EXPECT_TRUE(end == at || end - at == 92) << "line of " << (end - at) << " characters at " << at;
    at = end + 2;
  }
  EXPECT_EQ(text.find('x'), std::string::npos);
  // The INQUIRY of the identification, as its command line shows it.
  EXPECT_NE(text.find("Command       :       12 00 00 00 38 00 00 00 00 00 00 00"), std::string::npos) << text;
}

TEST_F(Startup, TraceToScreenShowsTheDebugWindowBeforeDiscoveryEnds) {
  const std::string exe = Pack({kThreeImages[1]});
  ASSERT_FALSE(exe.empty());
  Program run;
  ASSERT_TRUE(run.Start(exe, "/LOG scr", dir_)) << run.error();
  HWND message = run.WaitForWindow("ERROR");  // no drive
  ASSERT_TRUE(message) << run.error();
  // The debug window was up before the run went on, and stays while the
  // message is shown.
  HWND debug = harness::FindDialog(run.pid(), "Debug Window");
  EXPECT_TRUE(debug) << harness::DescribeWindows(run.pid());
  harness::PressButton(message, IDOK);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  EXPECT_EQ(code, 0u);
}

TEST_F(Startup, DriveOfNoCarriedModelEndsWithTheMismatchMessage) {
  const std::string exe = Pack(kThreeImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = SimulatedDrive("K99X-Z    ", "100A");
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  HWND message = run.WaitForWindow("ERROR");
  ASSERT_TRUE(message) << run.error();
  EXPECT_EQ(harness::ControlText(message, kMessageTextId), "\r\nModel name is mismatch!!");
  harness::PressButton(message, IDOK);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  EXPECT_EQ(code, 0u);
  const std::string wire = WireLog();
  EXPECT_NE(wire.find("cdb=12 00 00 00 38"), std::string::npos) << wire;  // identified
  EXPECT_NE(wire.find("cdb=" + harness::VendorCdbStart() + " F0"), std::string::npos) << wire;
  EXPECT_FALSE(SentBufferCommand(wire)) << wire;
}

TEST_F(Startup, SingleDosOnlyDriveEndsWithOnlyTheDosMessage) {
  // No image fits this drive either; its refusal is the only message.
  const std::string exe = Pack({kThreeImages[2]});
  ASSERT_FALSE(exe.empty());
  const auto environment = SimulatedDrive("K53R-TX   ", "207Z");
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  HWND message = run.WaitForWindow("fwupdate");
  ASSERT_TRUE(message) << run.error();
  EXPECT_EQ(harness::ControlText(message, harness::kMessageBoxTextId), "This drive must be updated in DOS !!");
  harness::PressButton(message, IDOK);
  // A further message would keep the program waiting past the time-out.
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(SentBufferCommand(WireLog())) << WireLog();
}
