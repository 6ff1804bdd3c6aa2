// The trace writer byte for byte, in file and window form, and the attempt
// trace that both transports write.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/app_state.h"
#include "base/host.h"
#include "scsi/trace.h"

namespace {

struct FakeFiles {
  bool open_fails = false;
  std::vector<std::string> opened;
  std::string written;
  int writes = 0;
  int closes = 0;
};
FakeFiles* g_files = nullptr;
char g_file_token;
std::vector<std::string>* g_messages = nullptr;

void* FakeOpen(const char* path) {
  g_files->opened.emplace_back(path);
  return g_files->open_fails ? nullptr : &g_file_token;
}
bool FakeWrite(void* file, const void* bytes, size_t length) {
  EXPECT_EQ(file, &g_file_token);
  ++g_files->writes;
  g_files->written.append(static_cast<const char*>(bytes), length);
  return true;
}
void FakeClose(void* file) {
  EXPECT_EQ(file, &g_file_token);
  ++g_files->closes;
}
void FakeMessage(const char* text) { g_messages->emplace_back(text); }

class RecordingControl : public TraceWindowOutput {
 public:
  void Append(const char* text, size_t length) override { appends.emplace_back(text, length); }
  std::string All() const {
    std::string s;
    for (const auto& a : appends) s += a;
    return s;
  }
  std::vector<std::string> appends;
};

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_files = &files_;
    g_messages = &messages_;
    TraceFiles() = TraceFileOps{FakeOpen, FakeWrite, FakeClose};
    ResetHost();
    Host().message_box = FakeMessage;
    SetAppState(&state_);
  }
  void TearDown() override {
    ResetTraceFiles();
    ResetHost();
    SetAppState(nullptr);
    g_files = nullptr;
    g_messages = nullptr;
  }
  std::unique_ptr<CommandTrace> BoundWindow() {
    auto t = std::make_unique<CommandTrace>();
    t->Bind(&control_, "CRichEditCtrl");
    return t;
  }
  static std::string Spaces(size_t n) { return std::string(n, ' '); }

  FakeFiles files_;
  std::vector<std::string> messages_;
  RecordingControl control_;
  UpdateState state_;
};

const uint8_t kStatus01 = 0x01;

TEST_F(TraceTest, StatusLineInTheFileIsNinetyFourCharacters) {
  CommandTrace t("C:\\fw\\fwupdate.log");
  EXPECT_EQ(files_.opened, (std::vector<std::string>{"C:\\fw\\fwupdate.log"}));
  t.WriteLine("ASPI Status   : ", &kStatus01, 1, false);
  const std::string expected = "ASPI Status   : " + Spaces(6) + "01 " + Spaces(92 - 25) + "\r\n";
  ASSERT_EQ(expected.size(), 94u);
  EXPECT_EQ(files_.written, expected);
  EXPECT_EQ(files_.writes, 1);  // one piece
}

TEST_F(TraceTest, StatusLineInTheControlEndsWithTheHexField) {
  auto t = BoundWindow();
  t->WriteLine("ASPI Status   : ", &kStatus01, 1, false);
  EXPECT_EQ(control_.appends,
            (std::vector<std::string>{"ASPI Status   : " + Spaces(6) + "01 ", "\r\n"}));
}

TEST_F(TraceTest, CharacterColumnShowsPrintableBytesOnly) {
  CommandTrace t("x.log");
  const uint8_t data[] = {0x41, 0x42, 0x7E, 0x00, 0x20, 0x7D, 0x1F, 0x80};
  t.WriteLine("DataBuf       : ", data, 8, true);
  ASSERT_EQ(files_.written.size(), 94u);
  EXPECT_EQ(files_.written.substr(22, 24), "41 42 7E 00 20 7D 1F 80 ");
  EXPECT_EQ(files_.written.substr(46, 30), Spaces(30));
  EXPECT_EQ(files_.written.substr(76, 16), "AB.. }.." + Spaces(8));
  EXPECT_EQ(files_.written.substr(92), "\r\n");

  // The control never receives the character column.
  auto w = BoundWindow();
  w->WriteLine("DataBuf       : ", data, 4, true);
  EXPECT_EQ(control_.appends.at(0), "DataBuf       : " + Spaces(6) + "41 42 7E 00 ");
}

TEST_F(TraceTest, WithoutCharactersTheColumnStaysBlank) {
  CommandTrace t("x.log");
  const uint8_t data[16] = {0x41, 0x42};
  t.WriteLine("DataBuf       : ", data, 16, false);
  EXPECT_EQ(files_.written.substr(70, 22), Spaces(22));
}

TEST_F(TraceTest, TwentyByteDumpMakesTwoLinesTheSecondWithoutLabel) {
  uint8_t data[20];
  for (int i = 0; i < 20; ++i) data[i] = static_cast<uint8_t>(0x30 + i);
  CommandTrace t("x.log");
  t.WriteLine("Command       : ", data, 20, true);
  ASSERT_EQ(files_.written.size(), 188u);
  const std::string first = files_.written.substr(0, 94);
  const std::string second = files_.written.substr(94);
  EXPECT_EQ(first.substr(0, 22), "Command       : " + Spaces(6));
  EXPECT_EQ(first.substr(22, 48), "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F ");
  EXPECT_EQ(first.substr(76, 16), "0123456789:;<=>?");
  EXPECT_EQ(second, Spaces(22) + "40 41 42 43 " + Spaces(76 - 34) + "@ABC" + Spaces(12) + "\r\n");

  auto w = BoundWindow();
  w->WriteLine("Command       : ", data, 20, false);
  ASSERT_EQ(control_.appends.size(), 4u);
  EXPECT_EQ(control_.appends[2], Spaces(22) + "40 41 42 43 ");
  EXPECT_EQ(control_.appends[3], "\r\n");
}

TEST_F(TraceTest, NoBytesWriteNothing) {
  CommandTrace t("x.log");
  const uint8_t b = 0;
  t.WriteLine("Command       : ", &b, 0, false);
  t.WriteLine("Command       : ", &b, -3, false);
  t.WriteLine("Command       : ", nullptr, 16, false);
  EXPECT_EQ(files_.writes, 0);
}

TEST_F(TraceTest, OverlongLabelStaysOutOfTheHexField) {
  CommandTrace t("x.log");
  t.WriteLine("A label far too long for its sixteen columns", &kStatus01, 1, false);
  EXPECT_EQ(files_.written.substr(0, 25), "A label far too long f01 ");
}

TEST_F(TraceTest, EmptyLineIsCarriageReturnAndLineFeed) {
  CommandTrace t("x.log");
  t.WriteEmptyLine();
  EXPECT_EQ(files_.written, "\r\n");
  auto w = BoundWindow();
  w->WriteEmptyLine();
  EXPECT_EQ(control_.appends, (std::vector<std::string>{"\r\n"}));
}

TEST_F(TraceTest, WindowWriterWritesOnlyToABoundRichEditControl) {
  CommandTrace t;
  t.WriteLine("ASPI Status   : ", &kStatus01, 1, false);
  t.WriteEmptyLine();
  EXPECT_TRUE(control_.appends.empty());  // not bound yet

  t.Bind(&control_, "CEdit");
  t.WriteLine("ASPI Status   : ", &kStatus01, 1, false);
  EXPECT_TRUE(control_.appends.empty());

  t.Bind(&control_, "CRichEdit");  // shorter than the class name
  t.WriteEmptyLine();
  EXPECT_TRUE(control_.appends.empty());

  t.Bind(&control_, "CRichEditCtrl");
  t.WriteEmptyLine();
  EXPECT_EQ(control_.appends.size(), 1u);

  t.Bind(nullptr, "CRichEditCtrl");
  t.WriteEmptyLine();
  EXPECT_EQ(control_.appends.size(), 1u);
  EXPECT_EQ(files_.writes, 0);
  EXPECT_TRUE(files_.opened.empty());
}

TEST_F(TraceTest, UnopenableLogFileIsReportedOnceAndWritesFailSilently) {
  files_.open_fails = true;
  {
    CommandTrace t("x.log");
    EXPECT_TRUE(t.to_file());
    EXPECT_FALSE(t.writable());
    EXPECT_EQ(messages_, (std::vector<std::string>{"Can not open log file"}));
    t.WriteLine("ASPI Status   : ", &kStatus01, 1, false);
    t.WriteEmptyLine();
    t.Close();
  }
  EXPECT_EQ(files_.writes, 0);
  EXPECT_EQ(files_.closes, 0);
  EXPECT_EQ(messages_.size(), 1u);
}

TEST_F(TraceTest, LogFileIsClosedOnceWhetherClosedEarlyOrDestroyed) {
  {
    CommandTrace t("x.log");
    t.Close();
    t.Close();
    t.WriteEmptyLine();  // after closing: nothing
  }
  EXPECT_EQ(files_.closes, 1);
  EXPECT_EQ(files_.writes, 0);
  { CommandTrace t("y.log"); }
  EXPECT_EQ(files_.closes, 2);
}

TEST_F(TraceTest, DefaultFileOperationsOpenNothing) {
  ResetTraceFiles();
  CommandTrace t("x.log");
  EXPECT_FALSE(t.writable());
  EXPECT_EQ(messages_, (std::vector<std::string>{"Can not open log file"}));
  t.WriteEmptyLine();
}

TEST_F(TraceTest, ActiveTraceNeedsBothTheFlagAndASink) {
  CommandTrace t("x.log");
  EXPECT_EQ(ActiveTrace(), nullptr);
  state_.trace_on = 1;
  EXPECT_EQ(ActiveTrace(), nullptr);  // "/LOG" without a writer
  state_.trace_sink = &t;
  EXPECT_EQ(ActiveTrace(), &t);
  state_.trace_on = 0;
  EXPECT_EQ(ActiveTrace(), nullptr);
}

TEST_F(TraceTest, DestroyedSinkIsNoLongerTheActiveTrace) {
  state_.trace_on = 1;
  CommandTrace other;
  {
    auto window = BoundWindow();
    state_.trace_sink = window.get();
  }
  EXPECT_EQ(state_.trace_sink, nullptr);
  EXPECT_EQ(ActiveTrace(), nullptr);
  const uint8_t cdb[16] = {};
  TraceAttempt(cdb, 1, nullptr, 0, false, cdb);  // must not reach the freed writer

  state_.trace_sink = &other;
  { CommandTrace unrelated; }
  EXPECT_EQ(state_.trace_sink, &other);
}

// --- The attempt trace -------------------------------------------------

class AttemptTraceTest : public TraceTest {
 protected:
  void SetUp() override {
    TraceTest::SetUp();
    trace_ = std::make_unique<CommandTrace>("x.log");
    state_.trace_on = 1;
    state_.trace_sink = trace_.get();
    for (int i = 0; i < 16; ++i) {
      cdb_[i] = static_cast<uint8_t>(0xA0 + i);
      sense_[i] = static_cast<uint8_t>(0x70 + i);
    }
  }
  std::string Line(const std::string& label, const std::string& hex, const std::string& chars = "") {
    std::string line = label + Spaces(6) + hex;
    line += Spaces(76 - line.size());
    line += chars + Spaces(16 - chars.size());
    return line + "\r\n";
  }
  const std::string kCdbHex = "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF ";
  const std::string kSenseHex = "70 71 72 73 74 75 76 77 78 79 7A 7B 7C 7D 7E 7F ";

  std::unique_ptr<CommandTrace> trace_;
  uint8_t cdb_[16];
  uint8_t sense_[16];
};

TEST_F(AttemptTraceTest, WritesCommandStatusDataSenseAndTwoEmptyLines) {
  const uint8_t data[16] = {'M', 'O', 'D', 'E', 'L', 0x00};
  TraceAttempt(cdb_, 0x02, data, 16, true, sense_);
  const std::string expected =
      Line("Command       : ", kCdbHex) + Line("ASPI Status   : ", "02 ") +
      Line("DataBuf       : ", "4D 4F 44 45 4C 00 00 00 00 00 00 00 00 00 00 00 ",
           "MODEL..........." ) +
      Line("Sense Code    : ", kSenseHex) + "\r\n\r\n";
  EXPECT_EQ(files_.written, expected);
}

TEST_F(AttemptTraceTest, WithoutADataBufferTheDataLineIsLeftOut) {
  TraceAttempt(cdb_, 0x01, nullptr, 1024, true, sense_);
  EXPECT_EQ(files_.written, Line("Command       : ", kCdbHex) + Line("ASPI Status   : ", "01 ") +
                                Line("Sense Code    : ", kSenseHex) + "\r\n\r\n");
}

TEST_F(AttemptTraceTest, ShortDataBufferIsPaddedNeverOverread) {
  // A heap block of exactly three bytes: reading a fourth is an error the
  // address sanitizer reports.
  auto data = std::make_unique<uint8_t[]>(3);
  data[0] = 0x11;
  data[1] = 0x22;
  data[2] = 0x33;
  TraceAttempt(cdb_, 0x01, data.get(), 3, false, sense_);
  EXPECT_NE(files_.written.find(Line("DataBuf       : ",
                                     "11 22 33 00 00 00 00 00 00 00 00 00 00 00 00 00 ")),
            std::string::npos);
}

TEST_F(AttemptTraceTest, NothingIsWrittenWhileTheTraceIsOff) {
  state_.trace_on = 0;
  TraceAttempt(cdb_, 0x01, cdb_, 16, true, sense_);
  EXPECT_EQ(files_.writes, 0);
}

}  // namespace
