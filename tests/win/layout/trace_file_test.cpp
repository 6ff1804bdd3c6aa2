// The trace's log file through the real Windows file calls: an existing
// file is emptied, every line is 94 bytes on disk, and an unopenable path
// leaves a writer that writes nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/host.h"
#include "scsi/trace.h"
#include "scsi/trace_files_win32.h"

namespace {

std::vector<std::string>* g_messages = nullptr;
void RecordMessage(const char* text) { g_messages->emplace_back(text); }

std::string TempPath(const char* name) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  return std::string(dir) + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TraceFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallWin32TraceFiles();
    ResetHost();
    g_messages = &messages_;
    Host().message_box = RecordMessage;
  }
  void TearDown() override {
    ResetTraceFiles();
    ResetHost();
    g_messages = nullptr;
  }
  std::vector<std::string> messages_;
};

TEST_F(TraceFileTest, ExistingLogIsEmptiedAndLinesAreWrittenWhole) {
  const std::string path = TempPath("fw_trace_test.log");
  {
    std::ofstream old(path, std::ios::binary);
    old << std::string(500, 'x');
  }
  {
    CommandTrace trace(path.c_str());
    EXPECT_TRUE(trace.writable());
    const uint8_t status = 0x01;
    trace.WriteLine("ASPI Status   : ", &status, 1, false);
    trace.WriteEmptyLine();
    // Readable by others while the program holds it open.
    EXPECT_EQ(ReadAll(path).size(), 96u);
  }
  const std::string text = ReadAll(path);
  ASSERT_EQ(text.size(), 96u);
  EXPECT_EQ(text.substr(0, 25), "ASPI Status   :       01 ");
  EXPECT_EQ(text.substr(25, 67), std::string(67, ' '));
  EXPECT_EQ(text.substr(92), "\r\n\r\n");
  EXPECT_TRUE(messages_.empty());
  DeleteFileA(path.c_str());
}

TEST_F(TraceFileTest, UnopenableLogIsReportedAndLaterWritesDoNothing) {
  const std::string path = TempPath("no_such_dir_fw\\sub\\fw.log");
  CommandTrace trace(path.c_str());
  EXPECT_FALSE(trace.writable());
  EXPECT_EQ(messages_, (std::vector<std::string>{"Can not open log file"}));
  const uint8_t status = 0x01;
  trace.WriteLine("ASPI Status   : ", &status, 1, false);
  trace.WriteEmptyLine();
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
