// Runs that end before the transfer: each with its one message (or none),
// and never with a buffer command on the wire.
#include <windows.h>

#include "tests/e2e/run/run_fixture.h"

namespace run {
namespace {

using harness::Program;

const std::vector<harness::ImageSpec> kTwoImages = {
    {"K53R-PX", "210C", 0x2000, 21},
    {"K53R-TX", "209B", 0x10000, 22},
};

// A process started without the harness: suspended when asked, with the
// environment of this process plus the given variables.
struct RawProcess {
  PROCESS_INFORMATION info = {};
  bool Start(const std::string& application, std::string command, const std::string& work_dir,
             const harness::Environment& environment, bool suspended) {
    for (const auto& [name, value] : environment) SetEnvironmentVariableA(name.c_str(), value.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    const BOOL started = CreateProcessA(application.empty() ? nullptr : application.c_str(), &command[0], nullptr,
                                        nullptr, FALSE, suspended ? CREATE_SUSPENDED : 0, nullptr, work_dir.c_str(),
                                        &startup, &info);
    for (const auto& entry : environment) SetEnvironmentVariableA(entry.first.c_str(), nullptr);
    return started != FALSE;
  }
  // Waits for a window that find gives; null after time-out or the end.
  template <class Find>
  HWND WaitFor(Find find, DWORD timeout_ms = 20000) {
    const DWORD start = GetTickCount();
    for (;;) {
      if (HWND window = find(info.dwProcessId)) return window;
      if (GetTickCount() - start >= timeout_ms || WaitForSingleObject(info.hProcess, 20) != WAIT_TIMEOUT) return nullptr;
    }
  }
  // Waits for the end; the exit code, or -1 (and the process killed).
  long End(DWORD timeout_ms = 10000) {
    if (!info.hProcess) return -1;
    DWORD code = 1;
    const bool ended = WaitForSingleObject(info.hProcess, timeout_ms) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(info.hProcess, 1);
    GetExitCodeProcess(info.hProcess, &code);
    return ended ? static_cast<long>(code) : -1;
  }
  ~RawProcess() {
    if (info.hProcess && WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info.hProcess, 1);
    if (info.hThread) CloseHandle(info.hThread);
    if (info.hProcess) CloseHandle(info.hProcess);
  }
};

class Messages : public RunTest {};

TEST_F(Messages, VersionDisplayTouchesNoDrive) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  Program run;
  ASSERT_TRUE(run.Start(exe, "/ver", dir_, environment)) << run.error();
  ExpectFinalMessage(run, "VER", std::string("\r\n") + kCaption);
  // The library is not even loaded: no line, not even its support query.
  EXPECT_EQ(WireLog(), "");
}

TEST_F(Messages, NoDriveOnTheAdaptersEndsWithTheNoDriveMessage) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives("adapters 1\n");
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  ExpectFinalMessage(run, "ERROR", "\r\nCD-ROM/RW drive is not found!");
  // Through ASPI the library was asked and has no drive; through the
  // pass-through there is no CD-ROM interface at all, so nothing is opened.
  if (harness::TransportUnderTest() == harness::Transport::Aspi) {
    EXPECT_NE(WireLog().find("support="), std::string::npos) << "the library was not asked";
  }
  EXPECT_TRUE(Executes().empty()) << WireLog();
}

TEST_F(Messages, OneFlippedByteEndsWithTheDamagedMessageBeforeAnyDriveCommand) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(harness::ReadFileBytes(exe, &bytes));
  bytes[bytes.size() - 0x8000] ^= 0x10;  // inside the image the drive would get
  ASSERT_TRUE(harness::WriteFileBytes(exe, bytes));
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));

  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  ExpectFinalMessage(run, "ERROR", "\r\nThis file maybe damage please get new one!");
  EXPECT_FALSE(AnyBufferCommand()) << WireLog();
  // Drives are identified only after the check: nothing was sent at all.
  EXPECT_TRUE(Executes().empty()) << WireLog();
}

TEST_F(Messages, DriveOfNoCarriedModelGetsTheMismatchAndTheHiddenSwitchTheMainDialog) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K99X-Z    ", "100A"));
  {
    Program run;
    ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
    ExpectFinalMessage(run, "ERROR", "\r\nModel name is mismatch!!");
    EXPECT_EQ(Count(&WireCommand::IsInquiry), 1);
    EXPECT_EQ(Count(&WireCommand::IsIdentify), 1);
    EXPECT_FALSE(AnyBufferCommand()) << WireLog();
  }
  ASSERT_TRUE(DeleteFileA(wire_log_.c_str()));

  // Every image for every drive, and the question with the whole names.
  Program run;
  ASSERT_TRUE(run.Start(exe, "/qkv517", dir_, environment)) << run.error();
  HWND main = WaitForMainDialog(run);
  ASSERT_TRUE(main);
  EXPECT_EQ(harness::WindowText(main), kCaption);
  EXPECT_EQ(harness::ControlText(main, kFromField), "K99X-Z    100A");
  EXPECT_EQ(harness::ControlText(main, kToField), "K53R-TX   209B");
  EXPECT_EQ(harness::ControlText(main, 1020), "1 of 2");
  EXPECT_EQ(AnswerConfirmation(run, main, IDNO), "Are you sure to update firmware from\nK99X-Z    100A to K53R-TX   209B");
  // "No" to the question leaves the dialog open; its "No" ends the run.
  Sleep(300);
  ASSERT_EQ(harness::WindowText(main), kCaption) << "the main dialog closed after No to the question";
  harness::PressButton(main, IDCANCEL);
  ExpectSilentEnd(run);
  EXPECT_FALSE(AnyBufferCommand()) << WireLog();
}

TEST_F(Messages, SingleDosOnlyDriveOfACarriedModelEndsWithOnlyTheDosMessage) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "207Z"));
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  HWND box = run.WaitForWindow("fwupdate");
  ASSERT_TRUE(box) << run.error();
  EXPECT_EQ(harness::ControlText(box, harness::kMessageBoxTextId), "This drive must be updated in DOS !!");
  EXPECT_EQ(harness::TopLevelWindows(run.pid()).size(), 1u) << harness::DescribeWindows(run.pid());
  harness::PressButton(box, IDOK);
  // A main dialog or a further message would keep it from ending.
  ExpectSilentEnd(run);
  EXPECT_FALSE(AnyBufferCommand()) << WireLog();
}

TEST_F(Messages, NoInTheMainDialogEndsWithoutAMessageAndSendsNoFirmware) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  HWND main = WaitForMainDialog(run);
  ASSERT_TRUE(main);
  EXPECT_EQ(harness::ControlText(main, kFromField), "K53R-TX   209A");
  EXPECT_EQ(harness::ControlText(main, kToField), "K53R-TX   209B");
  EXPECT_EQ(AnswerConfirmation(run, main, IDNO), "Are you sure to update firmware from\nVer 209A to Ver 209B");
  Sleep(300);
  ASSERT_TRUE(IsWindowVisible(main)) << "the main dialog closed after No to the question";
  harness::PressButton(main, IDCANCEL);
  ExpectSilentEnd(run);
  EXPECT_FALSE(AnyBufferCommand()) << WireLog();
  EXPECT_TRUE(Flashed().empty());
}

// A log file that cannot be created is said once; the run goes on without
// a log.
TEST_F(Messages, LogFileThatCannotBeCreatedIsReportedAndTheRunGoesOn) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  // A folder of the log file's name stands in the way.
  ASSERT_TRUE(CreateDirectoryA(harness::JoinPath(dir_, "fwupdate.log").c_str(), nullptr));
  Program run;
  ASSERT_TRUE(run.Start(exe, "/LOG FILE", dir_, environment)) << run.error();
  HWND box = run.WaitForWindow("fwupdate");
  ASSERT_TRUE(box) << run.error();
  EXPECT_EQ(harness::ControlText(box, harness::kMessageBoxTextId), "Can not open log file");
  harness::PressButton(box, IDOK);
  HWND main = WaitForMainDialog(run);
  ASSERT_TRUE(main);
  EXPECT_EQ(harness::ControlText(main, kToField), "K53R-TX   209B");
  harness::PressButton(main, IDCANCEL);
  ExpectSilentEnd(run);
  EXPECT_FALSE(AnyBufferCommand()) << WireLog();
}

// "/LOG" with a second argument that is neither "FILE" nor "SCR" turns the
// trace on with nowhere to write it: no log file, no debug window, and the
// run goes on as usual.
TEST_F(Messages, LogWithAnyOtherSecondArgumentWritesNoTraceAndRunsOn) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  Program run;
  ASSERT_TRUE(run.Start(exe, "/log window", dir_, environment)) << run.error();
  HWND main = WaitForMainDialog(run);
  ASSERT_TRUE(main);
  EXPECT_EQ(harness::ControlText(main, kToField), "K53R-TX   209B");
  EXPECT_EQ(harness::TopLevelWindows(run.pid()).size(), 1u) << harness::DescribeWindows(run.pid());
  harness::PressButton(main, IDCANCEL);
  ExpectSilentEnd(run);
  EXPECT_EQ(GetFileAttributesA(harness::JoinPath(dir_, "fwupdate.log").c_str()), INVALID_FILE_ATTRIBUTES)
      << "a log file was written";
  EXPECT_EQ(Count(&WireCommand::IsIdentify), 1) << WireLog();
  EXPECT_FALSE(AnyBufferCommand()) << WireLog();
}

// The program's file moved away after it was started (before it runs): it
// cannot open itself, says so naming the file, and sends nothing.
TEST_F(Messages, ProgramThatCannotOpenItselfNamesTheFileAndSendsNothing) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  RawProcess process;
  ASSERT_TRUE(process.Start(exe, "\"" + exe + "\"", dir_, environment, true)) << GetLastError();
  const bool moved = MoveFileA(exe.c_str(), (exe + ".moved").c_str()) != 0;
  ResumeThread(process.info.hThread);
  if (!moved) GTEST_SKIP() << "the file of a started program cannot be moved here";

  HWND message = process.WaitFor([](DWORD pid) { return harness::FindDialog(pid, "ERROR"); });
  ASSERT_TRUE(message) << harness::DescribeWindows(process.info.dwProcessId);
  EXPECT_EQ(harness::ControlText(message, kMessageText), "\r\nCan't Open " + exe + " ");
  harness::PressButton(message, IDOK);
  EXPECT_EQ(process.End(), 0);
  // Found, but not identified: the check comes first.
  EXPECT_TRUE(Executes().empty()) << WireLog();
}

// Typed without directory and extension, found through the search path from
// another folder: the program still finds its own file by the name the
// system gives it, and the run goes on to the main dialog.
TEST_F(Messages, ProgramFoundThroughTheSearchPathStillReadsItself) {
  // A name of its own: the search looks beside the starting program first.
  // Its Wine settings go with the test however it ends.
  struct ClearSettings {
    ~ClearSettings() { harness::ClearAppDefaults("kvupdate.exe"); }
  } clear_settings;
  const std::string exe = Pack(kTwoImages, "kvupdate.exe");
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"), "kvupdate.exe");
  const std::string elsewhere = harness::JoinPath(dir_, "elsewhere");
  ASSERT_TRUE(CreateDirectoryA(elsewhere.c_str(), nullptr));
  const std::string path = harness::Env("PATH");
  SetEnvironmentVariableA("PATH", (dir_ + ";" + path).c_str());
  RawProcess process;
  const bool started = process.Start("", "kvupdate", elsewhere, environment, false);
  SetEnvironmentVariableA("PATH", path.c_str());
  ASSERT_TRUE(started) << GetLastError();
  HWND main = process.WaitFor([](DWORD pid) {
    HWND message = harness::FindDialog(pid, "ERROR");
    return message ? message : RunTest::FindMainDialog(pid);
  });
  ASSERT_TRUE(main) << harness::DescribeWindows(process.info.dwProcessId);
  EXPECT_EQ(harness::WindowClass(main), kMainDialogClass) << harness::ControlText(main, kMessageText);
  EXPECT_EQ(harness::ControlText(main, kToField), "K53R-TX   209B");
  harness::PressButton(main, IDCANCEL);
  EXPECT_EQ(process.End(), 0);
  EXPECT_FALSE(AnyBufferCommand()) << WireLog();
}

}  // namespace
}  // namespace run
