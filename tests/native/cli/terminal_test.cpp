// The Linux program's terminal: message lines, plain and drawn progress, the
// questions, the note on a held signal, and one exit status per ending.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

TEST(Terminal, OneLongLineAnswersOneQuestionOnly) {
  Capture out, err;
  Terminal t(out.file(), err.file(), false, 120);
  // The line is read to its end: what lies past the answer's room never
  // answers the next question, and a line longer than any answer is none.
  const std::string long_no = std::string(63, 'x') + "y\n";
  FILE* in = Input(long_no.c_str());
  EXPECT_FALSE(t.AskYesNo("Are you sure", false, in));
  EXPECT_FALSE(t.AskYesNo("Are you sure", false, in));
  std::fclose(in);

  const std::string long_yes = "y" + std::string(200, ' ') + "\n" + std::string(70, '1') + "2\n3\n";
  in = Input(long_yes.c_str());
  EXPECT_FALSE(t.AskYesNo("Are you sure", false, in));
  EXPECT_EQ(t.AskNumber("Drive?", 3, in), 0);
  EXPECT_EQ(t.AskNumber("Drive?", 3, in), 3);
  std::fclose(in);
}

TEST(Terminal, BytesFromTheFileOrTheDriveReachTheScreenHarmlessly) {
  struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"K53R-TX   209B", "K53R-TX   209B"},
      {"\x1b[2J\x1b]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},  // ESC, BEL
      {"a\rb\tc\x7f", "a\\x0Db\\x09c\\x7F"},                   // a lone CR would overwrite the line
      {"\x9b" "31m", "\\x9B31m"},                                  // an 8-bit CSI
      {"\xc2\x9b" "31m", "\\xC2\\x9B31m"},                          // CSI as UTF-8
      {"J\xc3\xb6rg \xe2\x82\xac", "J\xc3\xb6rg \xe2\x82\xac"},       // text passes
      {"\xe2\x80\xae" "evil", "\\xE2\\x80\\xAEevil"},                 // right-to-left override
      {"\xc3", "\\xC3"},                                            // cut off
      {"\xc0\xaf", "\\xC0\\xAF"},                                    // overlong
      {"two\nlines", "two\nlines"},
  };
  for (const auto& c : cases) EXPECT_EQ(Harmless(c.text), c.shown) << c.shown;

  // Every way out to the screen goes through it.
  Capture out, err;
  Terminal t(out.file(), err.file(), true, 120);
  const std::string name = "K53R\x1b[8m";
  t.Say("image 1: " + name);
  t.Complain("Can't Open " + name);
  FILE* in = Input("n\n");
  t.AskYesNo("from " + name, false, in);
  std::fclose(in);
  in = Input("1\n");
  t.AskNumber(name, 2, in);
  std::fclose(in);
  t.SetStatus(name.c_str());
  EXPECT_EQ(out.text().find("\x1b[8m"), std::string::npos);
  EXPECT_EQ(err.text(), "Can't Open K53R\\x1B[8m\n");
  EXPECT_NE(out.text().find("image 1: K53R\\x1B[8m\n"), std::string::npos);
  EXPECT_NE(out.text().find("from K53R\\x1B[8m [y/N]"), std::string::npos);
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

// Every ending of the run's table, those yet to come too, gets a status of
// its own from the one table of statuses.
TEST(ExitStatus, EveryEndingHasItsOwnStatus) {
  size_t count = 0;
  const EndingLine* endings = RunEndings(&count);
  ASSERT_EQ(count, static_cast<size_t>(RunEnding::ChoiceNeeded) + 1);
  std::set<int> seen;
  for (size_t i = 0; i < count; ++i) {
    const RunEnding e = endings[i].ending;
    EXPECT_EQ(e, static_cast<RunEnding>(i)) << "the table is in the order of RunEnding";
    if (e == RunEnding::Updated || e == RunEnding::NothingToDo) continue;
    const int status = ExitStatusFor(e, false);
    EXPECT_EQ(ExitStatusFor(e, true), status) << i;
    EXPECT_NE(status, 1) << "no status for ending " << i;
    EXPECT_NE(status, 0);
    EXPECT_NE(status, kExitUsage);
    EXPECT_TRUE(seen.insert(status).second) << status;
  }
  EXPECT_EQ(ExitStatusFor(RunEnding::Updated, true), 0);
  EXPECT_EQ(ExitStatusFor(RunEnding::NothingToDo, false), 0);
  EXPECT_EQ(ExitStatusFor(RunEnding::Updated, false), kExitNotConfirmed);
  EXPECT_EQ(seen.count(kExitNotConfirmed), 0u);
  EXPECT_EQ(seen.count(kExitOutputRefused), 0u);
  EXPECT_EQ(seen.count(kExitDriveBusy), 0u);
  EXPECT_EQ(seen.count(kExitDriveLost), 0u);
}

// The statuses are told in --help (from the list) and in the README's user
// guide: every status the program ends with is in both, and nothing else.
TEST(ExitStatus, TheHelpAndTheReadmeListEveryStatusAndNoOther) {
  std::set<int> ends = {0,
                        kExitUsage,
                        kExitOutputRefused,
                        kExitDriveBusy,
                        kExitDriveLost,
                        kExitPowerRefused,
                        kExitHistoryRefused,
                        kExitOldFirmware,
                        kExitNotConfirmed,
                        kExitSomeUpdated,
                        kExitNoneUpdated};
  // Every ending there is, and those yet to come (1 is no ending's status).
  for (int e = 0; e < 64; ++e) {
    for (bool confirmed : {false, true}) {
      const int status = ExitStatusFor(static_cast<RunEnding>(e), confirmed);
      if (status != 1) ends.insert(status);
    }
  }
  size_t count = 0;
  const ExitStatusLine* lines = ExitStatusLines(&count);
  std::set<int> listed;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_TRUE(listed.insert(lines[i].status).second) << lines[i].status;
    if (i > 0) EXPECT_LT(lines[i - 1].status, lines[i].status);
    EXPECT_NE(ExitStatusHelp().find(std::to_string(lines[i].status) + "  " + lines[i].meaning), std::string::npos);
  }
  EXPECT_EQ(listed, ends);

  const char* source = std::getenv("FW_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::ifstream readme(std::string(source) + "/README.md");
  ASSERT_TRUE(readme.good());
  // The table under "### Exit status" of the fwupdate-linux guide: "| N | ... |".
  std::set<int> in_readme;
  bool in_section = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("### ", 0) == 0 || line.rfind("## ", 0) == 0) in_section = line == "### Exit status";
    int status = -1;
    if (in_section && std::sscanf(line.c_str(), "| %d |", &status) == 1) in_readme.insert(status);
  }
  EXPECT_EQ(in_readme, ends);
}

}  // namespace
