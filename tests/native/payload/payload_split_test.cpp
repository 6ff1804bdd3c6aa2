// Split mode: the images written out descrambled, highest number first.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <unistd.h>

#include "base/app_state.h"
#include "base/payload.h"
#include "base/payload_pack.h"
#include "payload_builders.h"

namespace {

// In-memory files; names listed in g_refuse cannot be created, those in
// g_fail_write are created but their write fails, those in g_fail_close are
// written but do not take their place when closed.
struct FakeFile {
  std::string name;
  std::vector<uint8_t> bytes;
};
std::map<std::string, std::vector<uint8_t>> g_files;
std::vector<std::string> g_created_order;
std::vector<std::string> g_refuse, g_fail_write, g_fail_close;
int g_open = 0;

bool Listed(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

void* FakeCreate(const char* path) {
  if (Listed(g_refuse, path)) return nullptr;
  g_created_order.push_back(path);
  ++g_open;
  return new FakeFile{path, {}};
}
bool FakeWrite(void* f, const void* bytes, uint32_t length) {
  FakeFile* file = static_cast<FakeFile*>(f);
  if (Listed(g_fail_write, file->name)) return false;
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  file->bytes.insert(file->bytes.end(), b, b + length);
  return true;
}
bool FakeClose(void* f) {
  FakeFile* file = static_cast<FakeFile*>(f);
  const bool placed = !Listed(g_fail_close, file->name);
  if (placed) g_files[file->name] = file->bytes;
  --g_open;
  delete file;
  return placed;
}
const SplitFileOps kFakeOps{FakeCreate, FakeWrite, FakeClose};

class SplitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetAppState(&state_);
    g_files.clear();
    g_created_order.clear();
    g_refuse.clear();
    g_fail_write.clear();
    g_fail_close.clear();
    g_open = 0;
    images_ = {PatternImage(24, 1), PatternImage(40, 2), PatternImage(16, 3)};
    std::string error;
    ASSERT_TRUE(PackPayload(ProgramImage(64), images_, &packed_, &error)) << error;
  }
  void TearDown() override { SetAppState(nullptr); }

  void Load() {
    MemoryExeFile file(packed_);
    ASSERT_EQ(LoadAndCheck(file), LoadResult::Intact);
  }

  UpdateState state_;
  std::vector<std::vector<uint8_t>> images_;  // in file order
  std::vector<uint8_t> packed_;
};

}  // namespace

TEST_F(SplitTest, WritesEveryImageDescrambledHighestNumberFirst) {
  Load();
  const SplitReport split = SplitImages("C:\\fw", kFakeOps);
  EXPECT_EQ(split.status, SplitStatus::Written);
  const std::string& report = split.text;
  EXPECT_EQ(report, "Create C:\\fw\\Bin@3.bin\nCreate C:\\fw\\Bin@2.bin\nCreate C:\\fw\\Bin@1.bin\n");
  EXPECT_EQ(g_created_order,
            (std::vector<std::string>{"C:\\fw\\Bin@3.bin", "C:\\fw\\Bin@2.bin", "C:\\fw\\Bin@1.bin"}));
  // Bin@3 is the image behind the marker, Bin@1 the one in front of the check word.
  EXPECT_EQ(g_files["C:\\fw\\Bin@3.bin"], images_[0]);
  EXPECT_EQ(g_files["C:\\fw\\Bin@2.bin"], images_[1]);
  EXPECT_EQ(g_files["C:\\fw\\Bin@1.bin"], images_[2]);
  EXPECT_EQ(g_open, 0);
  EXPECT_EQ(state_.executable_contents, nullptr);
  EXPECT_EQ(state_.executable_size, 0u);
}

TEST_F(SplitTest, AFileThatCannotBeCreatedWrittenOrPutInPlaceIsReportedAndTheOthersAreWritten) {
  Load();
  g_refuse = {".\\Bin@2.bin"};
  g_fail_write = {".\\Bin@3.bin"};
  g_fail_close = {".\\Bin@1.bin"};
  SplitReport split = SplitImages(".", kFakeOps);
  EXPECT_EQ(split.status, SplitStatus::FileFailed);
  std::string report = split.text;
  EXPECT_EQ(report, "Can't create .\\Bin@3.bin\nCan't create .\\Bin@2.bin\nCan't create .\\Bin@1.bin\n");
  EXPECT_EQ(g_files.count(".\\Bin@1.bin"), 0u);
  EXPECT_EQ(g_files.count(".\\Bin@2.bin"), 0u);
  EXPECT_EQ(g_open, 0);  // the file whose write failed was closed as well

  g_fail_close.clear();
  Load();
  split = SplitImages(".", kFakeOps);
  EXPECT_EQ(split.status, SplitStatus::FileFailed) << "Bin@1.bin is written, the others are not";
  report = split.text;
  EXPECT_NE(report.find("\nCreate .\\Bin@1.bin\n"), std::string::npos);
  EXPECT_EQ(g_files[".\\Bin@1.bin"], images_[2]);
  EXPECT_EQ(g_open, 0);  // the file whose write failed was closed as well
  EXPECT_EQ(state_.executable_contents, nullptr);
}

TEST_F(SplitTest, NoContentsOrAMalformedChainWritesNothing) {
  SplitReport report = SplitImages("C:", kFakeOps);
  EXPECT_EQ(report.status, SplitStatus::Damaged);
  EXPECT_EQ(report.text, "This file maybe damage please get new one!\n");

  packed_[packed_.size() - 8] = 3;  // last size word no longer a multiple of 4
  state_.executable_contents.reset(new uint8_t[packed_.size()]);
  std::memcpy(state_.executable_contents.get(), packed_.data(), packed_.size());
  state_.executable_size = static_cast<uint32_t>(packed_.size());
  report = SplitImages("C:", kFakeOps);
  EXPECT_EQ(report.status, SplitStatus::Damaged);
  EXPECT_EQ(report.text, "This file maybe damage please get new one!\n");
  EXPECT_TRUE(g_created_order.empty());
  EXPECT_EQ(state_.executable_contents, nullptr);
}

// Real files: the host's path separator stands in for '\'.
namespace {
std::string HostPath(const char* path) {
  std::string p(path);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}
void* StdioCreate(const char* path) { return std::fopen(HostPath(path).c_str(), "wb"); }
bool StdioWrite(void* f, const void* bytes, uint32_t length) {
  return std::fwrite(bytes, 1, length, static_cast<FILE*>(f)) == length;
}
bool StdioClose(void* f) { return std::fclose(static_cast<FILE*>(f)) == 0; }
std::vector<uint8_t> Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
}  // namespace

TEST_F(SplitTest, AnExistingFileIsReplaced) {
  char dir_template[] = "/tmp/split_test_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  {
    std::ofstream old(dir + "/Bin@1.bin", std::ios::binary);
    old << std::string(4096, 'z');
  }
  Load();
  const std::string report = SplitImages(dir, SplitFileOps{StdioCreate, StdioWrite, StdioClose}).text;
  EXPECT_EQ(report, "Create " + dir + "\\Bin@3.bin\nCreate " + dir + "\\Bin@2.bin\nCreate " + dir +
                        "\\Bin@1.bin\n");
  EXPECT_EQ(Slurp(dir + "/Bin@1.bin"), images_[2]);
  EXPECT_EQ(Slurp(dir + "/Bin@3.bin"), images_[0]);
  for (int k = 1; k <= 3; ++k) std::remove((dir + "/Bin@" + std::to_string(k) + ".bin").c_str());
  rmdir(dir.c_str());
}
