// The updater file of the Linux program: only a regular file of a size an
// updater can have is opened and read, and a wrong one never blocks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/exe_file_linux.h"

namespace {

class UpdaterFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/updater_file_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Sized(const char* name, off_t size) {
    const std::string path = dir_ + "/" + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, size), 0);  // sparse: nothing of it is written
    close(fd);
    return path;
  }
  std::string dir_;
};

TEST_F(UpdaterFileTest, TakesARegularFileUpToTheLargestAnUpdaterCanBe) {
  PosixExeFile file;
  EXPECT_TRUE(file.Open(Sized("largest.exe", PosixExeFile::kMaxLength).c_str()));
  EXPECT_EQ(file.Length(), PosixExeFile::kMaxLength);

  std::string why;
  EXPECT_FALSE(file.Open(Sized("huge.exe", PosixExeFile::kMaxLength + 1).c_str(), &why));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_NE(why.find("more than an updater can be (64 MiB)"), std::string::npos) << why;
  EXPECT_FALSE(file.Open(Sized("giant.exe", off_t{5} << 30).c_str(), &why));
}

TEST_F(UpdaterFileTest, AnythingButARegularFileIsRefusedWithoutWaiting) {
  const std::string fifo = dir_ + "/fifo.exe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  struct {
    std::string path;
    const char* reason;
  } cases[] = {
      {fifo, "not a regular file"},
      {"/dev/null", "not a regular file"},
      {dir_, "a directory"},
      {dir_ + "/missing.exe", "No such file"},
  };
  for (const auto& c : cases) {
    PosixExeFile file;
    std::string why;
    EXPECT_FALSE(file.Open(c.path.c_str(), &why)) << c.path;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.path << ": " << why;
    EXPECT_FALSE(file.IsOpen());
  }
}

}  // namespace
