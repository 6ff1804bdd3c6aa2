// vm_clickthrough.exe: clicks through one update of the real program the way
// a user does, for the guest checks (tests/vm/windows_program_checks.sh) and
// `scripts/demo --guest`, where the program runs under the guest's Wine
// against a drive of the guest kernel's SCSI stack.
//
//   vm_clickthrough EXE [--drive N] [--timeout S] [--args TEXT]
//
// Starts EXE in its folder, picks entry N of the main dialog's drive list
// (default 0), presses Yes, answers the question with Yes and waits for the
// run's last window: the finish form or a message. That window is closed
// (the finish form with "NO, I will restart my computer later.") and the
// program's end awaited. Without a main dialog the first message is the last
// window. What it saw goes to standard output, one line each, texts with
// \r and \n written as such:
//
//   main dialog: CAPTION          drive: ENTRY   from: FROM   to: TO
//   question: TEXT                progress dialog
//   ending: CAPTION               text: TEXT
//   start to ending: N ms         exit code: N
//
// With FWVM_SHOTS (a Unix folder) set, a picture of the screen is taken at
// each step (`import -window root` into FWVM_SHOTS/NN-step.png) and awaited.
//
// Every wait is bounded. Exit status 0 when the program reached its last
// window and ended; 1 with a "clickthrough: ..." line otherwise (the program
// is killed); 2 for bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/harness/winharness.h"

namespace {

constexpr int kDriveCombo = 1000;
constexpr int kFromField = 1025;
constexpr int kToField = 1028;
constexpr int kMessageText = 1015;
constexpr int kWarningLine = 1004;
constexpr int kStatusLine = 1040;
constexpr char kMainDialogClass[] = "VARNE";
constexpr char kQuestionCaption[] = "fwupdate";
constexpr char kFinishCaption[] = "FINISH  UPDATE";
constexpr DWORD kPollMs = 50;

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int Fail(harness::Program& run, const std::string& what) {
  Say("clickthrough: " + what);
  if (run.pid()) Say("clickthrough: showing " + harness::DescribeWindows(run.pid()));
  run.Kill();
  return 1;
}

// A picture of the whole screen, taken by ImageMagick on the X server the
// program draws on; waits until the file is there.
int g_shot_number = 0;
void Shot(const std::string& step) {
  const std::string dir = harness::Env("FWVM_SHOTS");
  if (dir.empty()) return;
  Sleep(500);  // painted
  char number[8];
  std::snprintf(number, sizeof number, "%02d", ++g_shot_number);
  const std::string base = dir + "/" + number + "-" + step;
  // Written under another name first, so that the file appears whole.
  std::string command = "Z:\\bin\\sh -c \"import -window root png:" + base + ".part && mv -f " + base + ".part " +
                        base + ".png\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    Say("clickthrough: cannot start the picture of " + step + " (error " + std::to_string(GetLastError()) + ")");
    return;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  // A Unix process started from Wine cannot be waited for; its file can.
  const std::string picture = harness::UnixToWinePath(base + ".png");
  const DWORD start = GetTickCount();
  while (!harness::FileExists(picture)) {
    if (GetTickCount() - start >= 30000) {
      Say("clickthrough: no picture " + base + ".png within 30 s");
      return;
    }
    Sleep(kPollMs);
  }
}

HWND FindMainDialog(DWORD pid) {
  for (HWND window : harness::TopLevelWindows(pid)) {
    if (harness::WindowClass(window) == kMainDialogClass) return window;
  }
  return nullptr;
}

// The progress dialog: captionless, with the warning and status lines.
HWND FindProgressDialog(DWORD pid) {
  for (HWND window : harness::TopLevelWindows(pid)) {
    if (harness::WindowClass(window) == harness::kDialogClass && harness::WindowText(window).empty() &&
        harness::Control(window, kWarningLine) && harness::Control(window, kStatusLine)) {
      return window;
    }
  }
  return nullptr;
}

// A last window: the program's message dialog (finish form included) or a
// standard message box other than the question. Both have a caption; the
// progress dialog has none.
HWND FindEnding(DWORD pid) {
  for (HWND window : harness::TopLevelWindows(pid)) {
    if (harness::WindowClass(window) != harness::kDialogClass) continue;
    const std::string caption = harness::WindowText(window);
    if (caption.empty() || caption == kQuestionCaption) continue;
    if (harness::Control(window, kMessageText) || harness::Control(window, harness::kMessageBoxTextId)) return window;
  }
  return nullptr;
}

std::string EndingText(HWND ending) {
  if (harness::Control(ending, kMessageText)) return harness::ControlText(ending, kMessageText);
  return harness::ControlText(ending, harness::kMessageBoxTextId);
}

// Reports the last window, closes it and awaits the program's end.
int Finish(harness::Program& run, HWND ending, DWORD started) {
  const DWORD elapsed = GetTickCount() - started;
  const std::string caption = harness::WindowText(ending);
  Say("ending: " + caption);
  Say("text: " + Escaped(EndingText(ending)));
  Say("start to ending: " + std::to_string(elapsed) + " ms");
  Shot(caption == kFinishCaption ? "finish-form" : "message");
  // The finish form's "NO, I will restart my computer later." is its Cancel;
  // a message's only button is OK.
  harness::PressButton(ending, caption == kFinishCaption ? IDCANCEL : IDOK);
  DWORD code = 0;
  if (!run.WaitForExit(20000, &code)) return Fail(run, run.error());
  Say("exit code: " + std::to_string(code));
  return 0;
}

int Usage() {
  std::fprintf(stderr, "usage: vm_clickthrough EXE [--drive N] [--timeout S] [--args TEXT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string exe = argv[1];
  int drive = 0;
  DWORD timeout_ms = 240000;
  std::string arguments;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    char* end = nullptr;
    if (option == "--drive") {
      drive = static_cast<int>(std::strtol(value, &end, 10));
      if (*end || drive < 0) return Usage();
    } else if (option == "--timeout") {
      const long seconds = std::strtol(value, &end, 10);
      if (*end || seconds <= 0 || seconds > 3600) return Usage();
      timeout_ms = static_cast<DWORD>(seconds) * 1000;
    } else if (option == "--args") {
      arguments = value;
    } else {
      return Usage();
    }
  }
  const size_t slash = exe.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? std::string() : exe.substr(0, slash);

  harness::Program run;
  const DWORD started = GetTickCount();
  if (!run.Start(exe, arguments, folder)) return Fail(run, run.error());

  // The main dialog, or a message instead of it.
  HWND main = nullptr;
  for (;;) {
    if ((main = FindMainDialog(run.pid()))) break;
    if (HWND ending = FindEnding(run.pid())) return Finish(run, ending, started);
    if (!run.Running()) return Fail(run, "the program ended without a window");
    if (GetTickCount() - started >= timeout_ms) return Fail(run, "no main dialog in time");
    Sleep(kPollMs);
  }
  Say("main dialog: " + harness::WindowText(main));
  HWND combo = harness::Control(main, kDriveCombo);
  if (drive > 0) {
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutA(combo, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count) ||
        static_cast<DWORD_PTR>(drive) >= count) {
      return Fail(run, "the drive list has " + std::to_string(count) + " entries, not " + std::to_string(drive + 1));
    }
    DWORD_PTR selected = 0;
    SendMessageTimeoutA(combo, CB_SETCURSEL, drive, 0, SMTO_ABORTIFHUNG, 5000, &selected);
    PostMessageA(main, WM_COMMAND, MAKEWPARAM(kDriveCombo, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  }
  // "Yes" is enabled once the dialog has listed the chosen drive's images.
  while (!harness::IsControlEnabled(main, IDOK)) {
    if (!run.Running()) return Fail(run, "the program ended before \"Yes\" was enabled");
    if (GetTickCount() - started >= timeout_ms) return Fail(run, "\"Yes\" not enabled in time");
    Sleep(kPollMs);
  }
  Sleep(200);  // the selection's texts are set
  Say("drive: " + harness::WindowText(combo) + "   from: " + harness::ControlText(main, kFromField) +
      "   to: " + harness::ControlText(main, kToField));
  Shot("main-dialog");
  harness::PressButton(main, IDOK);

  HWND question = run.WaitForWindow(kQuestionCaption, 30000);
  if (!question) return Fail(run, run.error());
  Say("question: " + Escaped(harness::ControlText(question, harness::kMessageBoxTextId)));
  Shot("confirmation");
  harness::PressButton(question, IDYES);

  bool saw_progress = false;
  for (;;) {
    if (HWND ending = FindEnding(run.pid())) return Finish(run, ending, started);
    if (!saw_progress && FindProgressDialog(run.pid())) {
      saw_progress = true;
      Say("progress dialog");
      Shot("progress-dialog");
    }
    if (!run.Running()) return Fail(run, "the program ended without a last window");
    if (GetTickCount() - started >= timeout_ms) return Fail(run, "no last window in time");
    Sleep(kPollMs);
  }
}
