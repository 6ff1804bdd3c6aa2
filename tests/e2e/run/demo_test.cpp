// The click-through of scripts/demo: a full update as a user makes it, then
// the same with the live trace, with a picture of every window on the way.
//
// scripts/demo runs this with FWDEMO_EXE (its packed updater, the simulated
// library and its configuration beside it, FWSIM_* in the environment) and
// FWDEMO_SHOTS (where the pictures and the wire log of each run go).
// Without them it packs its own updater, and all stays in the test's work
// directory.
#include <windows.h>

#include <cstdio>

#include "tests/e2e/run/run_fixture.h"

namespace run {
namespace {

using harness::Program;

constexpr DWORD kUpdateTimeoutMs = 180000;

class Demo : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    exe_ = harness::Env("FWDEMO_EXE");
    shots_ = harness::Env("FWDEMO_SHOTS");
    if (exe_.empty()) {
      exe_ = Pack({{"K53R-TX", "209B", 0x80000, 61}});
      environment_ = Drives(DriveConfig("K53R-TX   ", "209A", 1, "vendor KORVADYN\nproduct \"CD-RW K53R      \"\ndelay 2"));
      shots_ = dir_;
    } else {
      // The configuration comes in the environment this process was given;
      // through ASPI the updater's folder holds the library (the
      // pass-through's interface is set up for each run).
      if (harness::TransportUnderTest() == harness::Transport::Aspi) {
        ASSERT_TRUE(harness::SetWin98Mode("fwupdate.exe"));
        ASSERT_TRUE(harness::PreferNativeDll("fwupdate.exe", "wnaspi32"));
      }
      demo_mode_ = true;
    }
    ASSERT_FALSE(exe_.empty());
    ASSERT_FALSE(shots_.empty());
  }

  void Shot(HWND window, const std::string& name) {
    Sleep(400);  // painted
    const std::string path = harness::JoinPath(shots_, name + ".bmp");
    EXPECT_TRUE(SaveWindowShot(window, path)) << path;
  }

  std::string Status(HWND progress) { return harness::ControlText(progress, kStatusLine); }

  // The run's environment, with a wire log of its own beside the pictures.
  harness::Environment RunEnvironment(const std::string& wire_log_name) {
    harness::Environment environment = environment_;
    environment.emplace_back("FWSIM_LOG", harness::JoinPath(shots_, wire_log_name));
    if (harness::TransportUnderTest() == harness::Transport::PassThrough) {
      // The drive's device file carries the settings to the SG_IO service:
      // this process's own, unless the run's environment names them.
      harness::Environment settings;
      for (const char* name : {"FWSIM_CONFIG", "FWSIM_LOG", "FWSIM_OUT"}) {
        std::string value = harness::Env(name);
        for (const auto& [key, given] : environment) {
          if (key == name) value = given;
        }
        if (!value.empty()) settings.emplace_back(name, value);
      }
      EXPECT_TRUE(harness::InstallCdromInterfaces(1, settings));
    }
    return environment;
  }

  std::string exe_, shots_;
  harness::Environment environment_;
  bool demo_mode_ = false;
};

TEST_F(Demo, ClickThroughAFullUpdateThenTheSameWithTheLiveTrace) {
  const std::string folder = exe_.substr(0, exe_.find_last_of('\\'));
  {
    Program run;
    ASSERT_TRUE(run.Start(exe_, "", folder, RunEnvironment("wire-1-update.log"))) << run.error();
    HWND main = WaitForMainDialog(run);
    ASSERT_TRUE(main);
    ASSERT_TRUE(WaitForYesEnabled(run, main));
    Shot(main, "01-main-dialog");
    harness::PressButton(main, IDOK);
    HWND question = run.WaitForWindow("fwupdate");
    ASSERT_TRUE(question) << run.error();
    {
      // The question over the dialog: both in one picture.
      Sleep(400);
      RECT a, b, both;
      GetWindowRect(main, &a);
      GetWindowRect(question, &b);
      UnionRect(&both, &a, &b);
      InflateRect(&both, 12, 12);
      EXPECT_TRUE(SaveScreenRect(both, harness::JoinPath(shots_, "02-confirmation.bmp")));
    }
    harness::PressButton(question, IDYES);

    // The progress dialog, once the drive takes chunks and the warning shows.
    HWND progress = nullptr;
    DWORD start = GetTickCount();
    while (!(progress = FindProgressDialog(run.pid())) && GetTickCount() - start < 10000) Sleep(10);
    ASSERT_TRUE(progress) << harness::DescribeWindows(run.pid());
    const RECT warning = harness::ControlScreenRect(progress, kWarningLine);
    start = GetTickCount();
    while (GetTickCount() - start < 30000 &&
           (Status(progress).rfind("Compare data", 0) != 0 || !RectShowsColour(warning, RGB(255, 120, 120)))) {
      Sleep(10);
    }
    Shot(progress, "03-progress-warning");
    // Half a second later the warning is hidden (black on black).
    start = GetTickCount();
    while (GetTickCount() - start < 3000 && RectShowsColour(warning, RGB(255, 120, 120))) Sleep(10);
    if (IsWindow(progress)) EXPECT_TRUE(SaveWindowShot(progress, harness::JoinPath(shots_, "04-progress-blink.bmp")));

    HWND finish = run.WaitForWindow("FINISH  UPDATE", kUpdateTimeoutMs);
    ASSERT_TRUE(finish) << run.error();
    EXPECT_EQ(harness::ControlText(finish, kMessageText), kSuccessText);
    Shot(finish, "05-finish-form");
    harness::PressButton(finish, IDCANCEL);  // "NO, I will restart my computer later."
    ExpectSilentEnd(run);
  }
  if (!demo_mode_) {
    EXPECT_TRUE(Flashed(1) == plain_[0]) << "the drive's flash differs from the plain image";
  }

  // "/LOG SCR": the debug window from the start, the transfer on the main
  // thread (no progress dialog), every command in the window.
  Program run;
  ASSERT_TRUE(run.Start(exe_, "/LOG SCR", folder, RunEnvironment("wire-2-log-scr.log"))) << run.error();
  HWND debug = run.WaitForWindow("Debug Window");
  ASSERT_TRUE(debug) << run.error();
  HWND main = WaitForMainDialog(run);
  ASSERT_TRUE(main);
  // Beside each other: the debug window to the left, the dialog to the right.
  RECT d, m;
  GetWindowRect(debug, &d);
  GetWindowRect(main, &m);
  const int width = GetSystemMetrics(SM_CXSCREEN);
  SetWindowPos(debug, nullptr, 4, d.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowPos(main, nullptr, width - (m.right - m.left) - 4, m.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  Sleep(400);
  GetWindowRect(debug, &d);
  GetWindowRect(main, &m);
  RECT both;
  UnionRect(&both, &d, &m);
  InflateRect(&both, 12, 12);
  EXPECT_TRUE(SaveScreenRect(both, harness::JoinPath(shots_, "06-debug-window-and-main-dialog.bmp")));
  harness::PressButton(main, IDOK);
  HWND question = run.WaitForWindow("fwupdate");
  ASSERT_TRUE(question) << run.error();
  harness::PressButton(question, IDYES);
  const DWORD start = GetTickCount();
  while (harness::ControlText(debug, kTraceField).find("Command       :       " + harness::VendorCdbStart() + " F1 00 00 00 80") ==
             std::string::npos &&
         GetTickCount() - start < kUpdateTimeoutMs && run.Running()) {
    Sleep(100);
  }
  Shot(debug, "07-debug-window-after-the-update-command");
  HWND finish = run.WaitForWindow("FINISH  UPDATE", kUpdateTimeoutMs);
  ASSERT_TRUE(finish) << run.error();
  harness::PressButton(finish, IDCANCEL);
  ExpectSilentEnd(run);
}

}  // namespace
}  // namespace run
