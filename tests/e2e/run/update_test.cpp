// Whole updates: the main dialog, the progress dialog with its warning, the
// finish form and the restart offer; the transfer on the main thread; both
// forms of the command trace.
#include <windows.h>

#include <algorithm>
#include <sstream>

#include "tests/e2e/run/run_fixture.h"

namespace run {
namespace {

using harness::Program;

constexpr DWORD kUpdateTimeoutMs = 120000;
const char kNo[] = "NO, I will restart my computer later.";
const char kYes[] = "YES, Reboot now.";

BOOL CALLBACK CollectVisible(HWND window, LPARAM param) {
  if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  return TRUE;
}

// Visible top-level windows of every process of the session.
std::vector<HWND> VisibleTopLevelWindows() {
  std::vector<HWND> all;
  EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&all));
  return all;
}

class Update : public RunTest {
 protected:
  // Main dialog, "Yes", "Yes" to the question.
  // Packs the images, starts the updater against one K53R-TX drive with 209A
  // and confirms the update.
  void StartConfirmed(const std::vector<harness::ImageSpec>& images, Program& run) {
    const std::string exe = Pack(images);
    ASSERT_FALSE(exe.empty());
    ASSERT_TRUE(run.Start(exe, "", dir_, Drives(DriveConfig("K53R-TX   ", "209A")))) << run.error();
    Confirm(run);
  }

  // Waits for the finish form and checks it.
  HWND WaitForFinishForm(Program& run) {
    HWND finish = run.WaitForWindow("FINISH  UPDATE", kUpdateTimeoutMs);
    if (!finish) {
      ADD_FAILURE() << run.error();
      return nullptr;
    }
    EXPECT_EQ(harness::ControlText(finish, kMessageText), kSuccessText);
    EXPECT_EQ(harness::ControlText(finish, IDOK), kYes);
    EXPECT_EQ(harness::ControlText(finish, IDCANCEL), kNo);
    EXPECT_TRUE(harness::IsControlVisible(finish, IDCANCEL));
    EXPECT_EQ(FindProgressDialog(run.pid()), nullptr) << "the progress window is still there";
    return finish;
  }

  // The commands of the update itself, after identification.
  void ExpectWholeImageSent(size_t image, bool read_back, uint8_t mode = 0x80) {
    const std::vector<uint8_t>& plain = plain_[image];
    std::vector<WireCommand> writes, reads, updates;
    for (const WireCommand& c : Executes()) {
      if (c.IsUpdate()) updates.push_back(c);
      else if (c.IsWrite()) writes.push_back(c);
      else if (c.IsRead()) reads.push_back(c);
      // Nothing goes out after the update command.
      EXPECT_TRUE(updates.empty() || c.IsUpdate()) << "after the update: " << c.line;
    }
    const size_t chunks = (plain.size() + 1023) / 1024;
    ASSERT_EQ(writes.size(), chunks);
    EXPECT_EQ(reads.size(), read_back ? chunks : 0u);
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].Offset(), i * 1024) << writes[i].line;
      EXPECT_TRUE(writes[i].ok) << writes[i].line;
    }
    ASSERT_EQ(updates.size(), 1u);
    char expected[40];
    std::snprintf(expected, sizeof expected, "%s F1 00 00 00 %02X 00 00", harness::VendorCdbStart().c_str(), mode);
    EXPECT_EQ(updates[0].cdb.substr(0, 26), expected);
    const std::vector<uint8_t> flashed = Flashed();
    EXPECT_EQ(flashed.size(), plain.size());
    EXPECT_TRUE(flashed == plain) << "the drive's flash differs from the plain image";
  }
};

const harness::ImageSpec kPx = {"K53R-PX", "210C", 0x2000, 31};
const harness::ImageSpec kTxSmall = {"K53R-TX", "209B", 0x10000, 32};
const harness::ImageSpec kTxFull = {"K53R-TX", "209B", 0x80000, 33};

TEST_F(Update, FullImageIsFlashedByteForByteAndNoEndsWithoutRestart) {
  RestartWatch watch;
  ASSERT_TRUE(watch.ready());
  Program run;
  ASSERT_NO_FATAL_FAILURE(StartConfirmed({kPx, kTxFull}, run));

  // The progress dialog with the warning, then the status of the transfer.
  HWND progress = nullptr;
  const DWORD start = GetTickCount();
  while (!(progress = FindProgressDialog(run.pid())) && GetTickCount() - start < 10000) Sleep(20);
  ASSERT_TRUE(progress) << harness::DescribeWindows(run.pid());
  // The main thread sets the warning once the dialog is up.
  while (harness::ControlText(progress, kWarningLine) != kWarningText && GetTickCount() - start < 10000) Sleep(20);
  EXPECT_EQ(harness::ControlText(progress, kWarningLine), kWarningText);

  HWND finish = WaitForFinishForm(run);
  ASSERT_TRUE(finish);
  harness::PressButton(finish, IDCANCEL);
  ExpectSilentEnd(run);
  Sleep(500);
  EXPECT_EQ(watch.requests(), 0) << "a restart was requested";
  ExpectWholeImageSent(1, true);
}

TEST_F(Update, TheCloseBoxOfTheFinishFormEndsWithoutRestart) {
  RestartWatch watch;
  ASSERT_TRUE(watch.ready());
  Program run;
  ASSERT_NO_FATAL_FAILURE(StartConfirmed({kTxSmall}, run));
  HWND finish = WaitForFinishForm(run);
  ASSERT_TRUE(finish);
  harness::CloseWindow(finish);
  ExpectSilentEnd(run);
  Sleep(500);
  EXPECT_EQ(watch.requests(), 0) << "a restart was requested";
}

// Under Wine a restart request ends the session's windowed programs (it
// never restarts the machine). The watch refuses it, so the session goes
// on; the test goes ahead only when no other program of the session has a
// window that an accepted request would close.
TEST_F(Update, RebootNowRequestsTheRestart) {
  RestartWatch watch;
  ASSERT_TRUE(watch.ready());
  Program run;
  ASSERT_NO_FATAL_FAILURE(StartConfirmed({kTxSmall}, run));
  HWND finish = WaitForFinishForm(run);
  ASSERT_TRUE(finish);

  auto others = [&] {
    std::string found;
    DWORD desktop = 0;
    GetWindowThreadProcessId(GetDesktopWindow(), &desktop);
    for (HWND window : VisibleTopLevelWindows()) {
      DWORD pid = 0;
      GetWindowThreadProcessId(window, &pid);
      if (pid == run.pid() || pid == GetCurrentProcessId() || pid == desktop) continue;
      found += "\"" + harness::WindowText(window) + "\" ";
    }
    return found;
  };
  std::string busy = others();
  for (int i = 0; i < 300 && !busy.empty(); ++i) {
    Sleep(100);
    busy = others();
  }
  if (!busy.empty()) {
    harness::PressButton(finish, IDCANCEL);
    ExpectSilentEnd(run);
    GTEST_SKIP() << "other programs of this session have windows: " << busy;
  }

  harness::PressButton(finish, IDOK);
  EXPECT_TRUE(watch.WaitForRequest(20000)) << "no restart was requested";
  ExpectSilentEnd(run, 20000);
  ExpectWholeImageSent(0, true);
}

TEST_F(Update, SecondArgumentScrTransfersWithoutTheProgressDialog) {
  const std::string exe = Pack({kPx, kTxSmall});
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  Program run;
  ASSERT_TRUE(run.Start(exe, "/4k scr", dir_, environment)) << run.error();
  Confirm(run);
  // Until the finish form: never a progress window, nor any other window.
  HWND finish = nullptr;
  const DWORD start = GetTickCount();
  while (!(finish = harness::FindDialog(run.pid(), "FINISH  UPDATE"))) {
    ASSERT_EQ(FindProgressDialog(run.pid()), nullptr) << "a progress window under SCR";
    ASSERT_TRUE(run.Running());
    ASSERT_LT(GetTickCount() - start, kUpdateTimeoutMs);
    Sleep(50);
  }
  ASSERT_TRUE(WaitForFinishForm(run));
  harness::PressButton(finish, IDCANCEL);
  ExpectSilentEnd(run);
  // "/4k" as typed: the update command in mode 40h.
  ExpectWholeImageSent(1, true, 0x40);
}

TEST_F(Update, TraceToFileWritesEveryAttemptInWholeLinesBesideTheProgram) {
  const std::string exe = Pack({kTxSmall});
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  Program run;
  ASSERT_TRUE(run.Start(exe, "/log file", dir_, environment)) << run.error();
  Confirm(run);
  HWND finish = WaitForFinishForm(run);
  ASSERT_TRUE(finish);
  harness::PressButton(finish, IDCANCEL);
  ExpectSilentEnd(run);
  ExpectWholeImageSent(0, true);

  std::vector<uint8_t> bytes;
  ASSERT_TRUE(harness::ReadFileBytes(harness::JoinPath(dir_, "fwupdate.log"), &bytes));
  const std::string log(bytes.begin(), bytes.end());
  // Lines of 94 characters with their line break, each attempt closed by
  // two empty lines, in the order of the wire.
  std::vector<std::string> lines;
  for (size_t at = 0; at < log.size();) {
    const size_t end = log.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "unterminated line at byte " << at;
    lines.push_back(log.substr(at, end - at));
    at = end + 2;
  }
  std::vector<std::string> traced;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    ASSERT_EQ(lines[i].size(), 92u) << "line " << i << ": " << lines[i];
    if (lines[i].rfind("Command       :       ", 0) == 0) {
      traced.push_back(lines[i].substr(22));
      // The attempt before it ended with two empty lines.
      if (i > 0) EXPECT_TRUE(i >= 2 && lines[i - 1].empty() && lines[i - 2].empty()) << "line " << i;
    }
  }
  const std::vector<WireCommand> wire = Executes();
  ASSERT_EQ(traced.size(), wire.size());
  for (size_t i = 0; i < wire.size(); ++i) EXPECT_EQ(traced[i].substr(0, wire[i].cdb.size()), wire[i].cdb) << i;
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(lines[lines.size() - 1].empty() && lines[lines.size() - 2].empty());
}

TEST_F(Update, TraceToScreenIsBoundBeforeTheFirstCommandAndShowsTheWholeRun) {
  const std::string exe = Pack({kTxSmall});
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  Program run;
  ASSERT_TRUE(run.Start(exe, "/log scr", dir_, environment)) << run.error();
  HWND debug = run.WaitForWindow("Debug Window");
  ASSERT_TRUE(debug) << run.error();
  HWND main = WaitForMainDialog(run);
  ASSERT_TRUE(main);

  // Identification is traced from its first command on.
  auto traced_commands = [&] {
    const std::string text = harness::ControlText(debug, kTraceField);
    std::vector<std::string> commands;
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("Command       :       ", 0) == 0) commands.push_back(line.substr(22));
    }
    return commands;
  };
  std::vector<std::string> traced = traced_commands();
  std::vector<WireCommand> wire = Executes();
  ASSERT_EQ(wire.size(), 2u);
  ASSERT_EQ(traced.size(), 2u);
  EXPECT_EQ(traced[0].substr(0, wire[0].cdb.size()), wire[0].cdb);
  EXPECT_EQ(traced[1].substr(0, wire[1].cdb.size()), wire[1].cdb);

  EXPECT_EQ(AnswerConfirmation(run, main, IDYES), "Are you sure to update firmware from\nVer 209A to Ver 209B");
  HWND finish = nullptr;
  const DWORD start = GetTickCount();
  while (!(finish = harness::FindDialog(run.pid(), "FINISH  UPDATE"))) {
    // "SCR" is argument 2: the transfer runs without the progress dialog.
    ASSERT_EQ(FindProgressDialog(run.pid()), nullptr);
    ASSERT_TRUE(run.Running());
    ASSERT_LT(GetTickCount() - start, kUpdateTimeoutMs);
    Sleep(50);
  }
  ASSERT_TRUE(WaitForFinishForm(run));
  EXPECT_TRUE(IsWindowVisible(debug));
  traced = traced_commands();
  wire = Executes();
  ASSERT_EQ(traced.size(), wire.size());
  for (size_t i = 0; i < wire.size(); ++i) {
    EXPECT_EQ(traced[i].substr(0, wire[i].cdb.size()), wire[i].cdb) << "attempt " << i;
  }
  harness::PressButton(finish, IDCANCEL);
  ExpectSilentEnd(run);
  ExpectWholeImageSent(0, true);
}

// The warning line while the drive is busy: shown in RGB 255,120,120 for a
// second, hidden (black on black) for half a second, starting shown.
TEST_F(Update, WarningLineBlinksWhileTheTransferRuns) {
  const std::string exe = Pack({kTxSmall});
  ASSERT_FALSE(exe.empty());
  // 5 ms per command: the chunks take a second or so, then the drive
  // programs its flash for ten seconds.
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A", 0, "delay 5"));
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  Confirm(run);
  HWND progress = nullptr;
  DWORD start = GetTickCount();
  while (!(progress = FindProgressDialog(run.pid())) && GetTickCount() - start < 10000) Sleep(5);
  ASSERT_TRUE(progress) << harness::DescribeWindows(run.pid());
  const RECT line = harness::ControlScreenRect(progress, kWarningLine);
  ASSERT_GT(line.right - line.left, 0);

  // The first text the main thread sets starts the blinking.
  start = GetTickCount();
  while (harness::ControlText(progress, kWarningLine) != kWarningText && GetTickCount() - start < 10000) Sleep(5);
  ASSERT_EQ(harness::ControlText(progress, kWarningLine), kWarningText);

  // Shown / hidden runs, as (shown, first tick, last tick).
  struct Phase {
    bool shown;
    DWORD first, last;
  };
  std::vector<Phase> phases;
  start = GetTickCount();
  while (IsWindow(progress) && IsWindowVisible(progress) && GetTickCount() - start < 30000) {
    const DWORD now = GetTickCount();
    const bool shown = RectShowsColour(line, RGB(255, 120, 120));
    if (!IsWindow(progress)) break;
    if (phases.empty() || phases.back().shown != shown) phases.push_back({shown, now, now});
    else phases.back().last = now;
    Sleep(30);
  }
  std::string seen;
  for (const Phase& p : phases) seen += (p.shown ? "+" : "-") + std::to_string(p.last - p.first) + " ";
  // The text is set before the line is painted in its colour.
  if (!phases.empty() && !phases.front().shown && phases.front().last - phases.front().first < 150) {
    phases.erase(phases.begin());
  }
  ASSERT_GE(phases.size(), 6u) << "too few changes of the warning line: " << seen;
  EXPECT_TRUE(phases.front().shown) << "the warning did not start shown: " << seen;
  // Whole phases only (not the first and the last); the sampling adds up
  // to a sample's time on either side.
  for (size_t i = 1; i + 1 < phases.size(); ++i) {
    const DWORD length = phases[i].last - phases[i].first;
    if (phases[i].shown) {
      EXPECT_GT(length, 700u) << seen;
      EXPECT_LT(length, 1300u) << seen;
    } else {
      EXPECT_GT(length, 250u) << seen;
      EXPECT_LT(length, 800u) << seen;
    }
  }
  HWND finish = WaitForFinishForm(run);
  ASSERT_TRUE(finish);
  harness::PressButton(finish, IDCANCEL);
  ExpectSilentEnd(run);
}

}  // namespace
}  // namespace run
