// The files the Linux program writes as root: a log that cannot be created
// is no refusal, a split folder others may write to is refused whatever
// bits allow it, and an image appears whole or not at all. (Links, FIFOs and
// devices at the paths: tests/linux/outputs_test.sh.)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "base/posix_files_linux.h"

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

class OutputFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/output_files_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    victim_ = dir_ + "/victim";
    Put(victim_, "precious");
  }
  void TearDown() override {
    CloseSplitDirectory();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  // How many entries the directory holds.
  static int Entries(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
      while (const dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
      }
      closedir(d);
    }
    return n;
  }

  std::string dir_;
  std::string victim_;
};

TEST_F(OutputFilesTest, ALogIsCreatedOrEmptied) {
  void* file = nullptr;
  OutputOpen opened = OpenLogFile(Path("new.log").c_str(), &file);
  ASSERT_EQ(opened.verdict, OutputOpen::kOpen) << opened.reason;
  ASSERT_TRUE(PosixWriteFile(file, "trace\n", 6));
  EXPECT_TRUE(PosixCloseFile(file));
  EXPECT_EQ(Slurp(Path("new.log")), "trace\n");

  Put(Path("old.log"), "an older trace, longer");
  opened = OpenLogFile(Path("old.log").c_str(), &file);
  ASSERT_EQ(opened.verdict, OutputOpen::kOpen) << opened.reason;
  EXPECT_EQ(Slurp(Path("old.log")), "");
  EXPECT_TRUE(PosixCloseFile(file));

  // A path that merely cannot be created is a failure, not a refusal.
  opened = OpenLogFile(Path("missing/x.log").c_str(), &file);
  EXPECT_EQ(opened.verdict, OutputOpen::kFailed);
  EXPECT_EQ(file, nullptr);
}

TEST_F(OutputFilesTest, ASplitDirectoryOthersMayWriteToIsRefusedUnlessSticky) {
  const std::string out = Path("out");
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  for (mode_t mode : {0777, 0775, 0757, 0773}) {
    ASSERT_EQ(chmod(out.c_str(), mode), 0);
    const OutputOpen opened = OpenSplitDirectory(out);
    EXPECT_EQ(opened.verdict, OutputOpen::kRefused) << std::oct << mode;
    EXPECT_NE(opened.reason.find("not sticky"), std::string::npos) << opened.reason;
  }
  // Sticky, as /tmp: others may only touch what is theirs.
  ASSERT_EQ(chmod(out.c_str(), 01777), 0);
  EXPECT_EQ(OpenSplitDirectory(out).verdict, OutputOpen::kOpen);
  ASSERT_EQ(chmod(out.c_str(), 0755), 0);
  EXPECT_EQ(OpenSplitDirectory(out).verdict, OutputOpen::kOpen);

  // Not there, or no directory: a failure to write, not a refusal.
  EXPECT_EQ(OpenSplitDirectory(Path("missing")).verdict, OutputOpen::kFailed);
  EXPECT_EQ(OpenSplitDirectory(victim_).verdict, OutputOpen::kFailed);
}

TEST_F(OutputFilesTest, OnlyTheSplitNamesToBeWrittenAreLookedAt) {
  const std::string out = Path("out");
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  Put(out + "/Bin@1.bin", "an older image");
  ASSERT_EQ(symlink(victim_.c_str(), (out + "/Bin@3.bin").c_str()), 0);
  ASSERT_EQ(OpenSplitDirectory(out).verdict, OutputOpen::kOpen);
  EXPECT_EQ(CheckSplitNames(out, 2).verdict, OutputOpen::kOpen);
  const OutputOpen names = CheckSplitNames(out, 3);
  EXPECT_EQ(names.verdict, OutputOpen::kRefused);
  EXPECT_EQ(names.reason, out + "/Bin@3.bin is a symbolic link");
}

TEST_F(OutputFilesTest, AnImageTakesItsNameOnlyWhenWrittenWhole) {
  const std::string out = Path("out");
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  ASSERT_EQ(OpenSplitDirectory(out).verdict, OutputOpen::kOpen);
  const SplitFileOps& ops = PosixSplitFileOps();

  // A file with a second name elsewhere: the name gets a new file, the other
  // name keeps its contents.
  ASSERT_EQ(link(victim_.c_str(), (out + "/Bin@1.bin").c_str()), 0);
  void* file = ops.create((out + "/Bin@1.bin").c_str());
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(ops.write(file, "ABCD", 4));
  EXPECT_EQ(Slurp(out + "/Bin@1.bin"), "precious");  // not yet in place
  EXPECT_TRUE(ops.close(file));
  EXPECT_EQ(Slurp(out + "/Bin@1.bin"), "ABCD");
  EXPECT_EQ(Slurp(victim_), "precious");

  // A link planted at the name after the names were checked is replaced,
  // not followed.
  ASSERT_EQ(symlink(victim_.c_str(), (out + "/Bin@2.bin").c_str()), 0);
  file = ops.create((out + "/Bin@2.bin").c_str());
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(ops.write(file, "EFGH", 4));
  EXPECT_TRUE(ops.close(file));
  EXPECT_EQ(Slurp(victim_), "precious");
  struct stat st;
  ASSERT_EQ(lstat((out + "/Bin@2.bin").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));

  // A name taken by a directory: the image cannot take it, and nothing of
  // it stays behind.
  ASSERT_EQ(mkdir((out + "/Bin@3.bin").c_str(), 0755), 0);
  file = ops.create((out + "/Bin@3.bin").c_str());
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(ops.write(file, "IJKL", 4));
  EXPECT_FALSE(ops.close(file));
  EXPECT_EQ(Entries(out), 3);  // Bin@1, Bin@2, the directory Bin@3: no temporary file

  // Only names inside the directory that was opened and checked.
  EXPECT_EQ(ops.create((Path("elsewhere") + "/Bin@1.bin").c_str()), nullptr);
  EXPECT_EQ(ops.create((out + "/sub/Bin@1.bin").c_str()), nullptr);
  CloseSplitDirectory();
  EXPECT_EQ(ops.create((out + "/Bin@4.bin").c_str()), nullptr);
}

}  // namespace
