// The Linux program's terminal: message lines, plain and drawn progress, the
// questions, the note on a held signal, and one exit status per ending.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "cli/exit_status.h"
#include "cli/interruptions.h"
#include "cli/terminal.h"

namespace {

// A FILE* whose text the test reads back.
class Capture {
 public:
  Capture() : file_(open_memstream(&data_, &size_)) {}
  ~Capture() {
    std::fclose(file_);
    std::free(data_);
  }
  FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
};

FILE* Input(const char* text) { return fmemopen(const_cast<char*>(text), std::strlen(text), "r"); }

TEST(Terminal, MessagesBecomeLinesWithoutLeadingBreaks) {
  EXPECT_EQ(MessageLines("\r\nCD-ROM/RW drive is not found!"), "CD-ROM/RW drive is not found!");
  EXPECT_EQ(MessageLines("\r\n BIOS DATA COMPARE ERROR!!"), "BIOS DATA COMPARE ERROR!!");
  EXPECT_EQ(MessageLines("\nThe firmware\nIf you\r\nPlease\n"), "The firmware\nIf you\nPlease");
  EXPECT_EQ(MessageLines("\r\nCan't Open /a b "), "Can't Open /a b ");
  EXPECT_EQ(MessageLines("\r\n"), "");
}

TEST(Terminal, WithoutATerminalEveryStatusIsAPlainLine) {
  Capture out, err;
  Terminal t(out.file(), err.file(), false, 120);
  t.BeginTransfer();
  t.SetStatus("Write data to bufer, Offset: 0x00000000, recursive = 0 ");
  t.SetPosition(40);
  t.SetStatus("Finish update, Please wait.");
  t.EndTransfer();
  EXPECT_EQ(out.text(), std::string(Terminal::kWarning) +
                            "\nWrite data to bufer, Offset: 0x00000000, recursive = 0 \nFinish update, Please wait.\n");
  t.Complain("\r\n BUFFER WRITE ERROR!!");
  EXPECT_EQ(err.text(), "BUFFER WRITE ERROR!!\n");
}

TEST(Terminal, OnATerminalTheBarStandsUnderTheWarning) {
  Capture out, err;
  Terminal t(out.file(), err.file(), true, 120);
  t.BeginTransfer();
  t.SetStatus("Read data from bufer, Offset = 0x00000400, recursive = 0");
  t.SetPosition(60);
  t.EndTransfer();
  const std::string text = out.text();
  const size_t warning = text.find(Terminal::kWarning);
  const size_t bar = text.find("[####################--------------------]  50%");
  ASSERT_NE(warning, std::string::npos);
  ASSERT_NE(bar, std::string::npos);
  EXPECT_LT(warning, bar);
  EXPECT_NE(text.find("Read data from bufer"), std::string::npos);
}

TEST(Terminal, QuestionsTakeOnlyAClearYesAndAValidNumber) {
  Capture out, err;
  Terminal t(out.file(), err.file(), false, 120);
  struct {
    const char* input;
    bool yes;
  } answers[] = {{"y\n", true}, {"  Yes\n", true}, {"n\n", false}, {"\n", false}, {"", false}, {"ja\n", false}};
  for (const auto& a : answers) {
    FILE* in = Input(a.input);
    EXPECT_EQ(t.AskYesNo("Are you sure", false, in), a.yes) << a.input;
    std::fclose(in);
  }
  EXPECT_TRUE(t.AskYesNo("Are you sure", true, nullptr));
  EXPECT_NE(out.text().find("Are you sure [y/N] y\n"), std::string::npos);

  struct {
    const char* input;
    int number;
  } numbers[] = {{"2\n", 2}, {" 3 \n", 3}, {"0\n", 0}, {"4\n", 0}, {"1x\n", 0}, {"", 0}, {"-1\n", 0}};
  for (const auto& n : numbers) {
    FILE* in = Input(n.input);
    EXPECT_EQ(t.AskNumber("Drive?", 3, in), n.number) << n.input;
    std::fclose(in);
  }
}

TEST(Terminal, AHeldSignalIsToldOnceAndStopsNothing) {
  Capture out, err;
  Terminal t(out.file(), err.file(), false, 120);
  HoldSignals();
  t.BeginTransfer();
  raise(SIGINT);
  raise(SIGTERM);
  t.SetStatus("Finish update, Please wait.");
  raise(SIGTSTP);
  t.Tick();
  t.Tick();
  t.EndTransfer();
  ReleaseSignals();
  const std::string text = out.text();
  size_t told = 0;
  for (size_t at = text.find(Terminal::kCannotCancel); at != std::string::npos;
       at = text.find(Terminal::kCannotCancel, at + 1))
    ++told;
  EXPECT_EQ(told, 2u);  // the first two arrived together
  EXPECT_NE(text.find("Finish update, Please wait."), std::string::npos);

  // Released: the previous handling is back.
  struct sigaction now = {};
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST(ExitStatus, EveryEndingHasItsOwnStatus) {
  std::set<int> seen;
  const RunEnding endings[] = {
      RunEnding::NoDrive,       RunEnding::CannotOpen,       RunEnding::ReadFailed,      RunEnding::Damaged,
      RunEnding::ModelMismatch, RunEnding::DosOnly,          RunEnding::Declined,        RunEnding::CompareError,
      RunEnding::BufferWriteError, RunEnding::BufferReadError, RunEnding::FlashError,    RunEnding::TransferError,
      RunEnding::NoPermission,  RunEnding::DriveNotNamed,    RunEnding::SplitFailed,     RunEnding::ChoiceNeeded};
  for (RunEnding e : endings) {
    const int status = ExitStatusFor(e, false);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, kExitUsage);
    EXPECT_TRUE(seen.insert(status).second) << status;
  }
  EXPECT_EQ(ExitStatusFor(RunEnding::Updated, true), 0);
  EXPECT_EQ(ExitStatusFor(RunEnding::NothingToDo, false), 0);
  EXPECT_EQ(ExitStatusFor(RunEnding::Updated, false), kExitNotConfirmed);
  EXPECT_EQ(seen.count(kExitNotConfirmed), 0u);
}

}  // namespace
