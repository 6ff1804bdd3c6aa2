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
  EXPECT_NE(WireLog().find("support="), std::string::npos) << "the library was not asked";
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

// The program's file moved away after it was started (before it runs): it
// cannot open itself, says so naming the file, and sends nothing.
TEST_F(Messages, ProgramThatCannotOpenItselfNamesTheFileAndSendsNothing) {
  const std::string exe = Pack(kTwoImages);
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
  for (const auto& [name, value] : environment) SetEnvironmentVariableA(name.c_str(), value.c_str());
  std::string command = "\"" + exe + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                      dir_.c_str(), &startup, &process);
  for (const auto& entry : environment) SetEnvironmentVariableA(entry.first.c_str(), nullptr);
  ASSERT_TRUE(started) << GetLastError();
  const bool moved = MoveFileA(exe.c_str(), (exe + ".moved").c_str()) != 0;
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  if (!moved) {
    TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    GTEST_SKIP() << "the file of a started program cannot be moved here";
  }

  HWND message = nullptr;
  const DWORD start = GetTickCount();
  while (!(message = harness::FindDialog(process.dwProcessId, "ERROR")) && GetTickCount() - start < 20000 &&
         WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
  }
  if (!message) TerminateProcess(process.hProcess, 1);
  ASSERT_TRUE(message) << harness::DescribeWindows(process.dwProcessId);
  EXPECT_EQ(harness::ControlText(message, kMessageText), "\r\nCan't Open " + exe + " ");
  harness::PressButton(message, IDOK);
  const bool ended = WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process.hProcess, 1);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  EXPECT_TRUE(ended);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(AnyBufferCommand()) << WireLog();
  // Found and identified? No: the check comes first.
  EXPECT_TRUE(Executes().empty()) << WireLog();
}

}  // namespace
}  // namespace run
