// The executable file object over a real file handle, payload reads through
// it, and split mode's output files.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "base/app_state.h"
#include "base/exe_file_win32.h"
#include "app/host_win32.h"
#include "base/payload.h"
#include "base/payload_pack.h"

namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char base[MAX_PATH] = {};
    ASSERT_GT(GetTempPathA(sizeof base, base), 0u);
    dir_ = std::string(base) + "fwapp-" + std::to_string(GetCurrentProcessId()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    CreateDirectoryA(dir_.c_str(), nullptr);
    SetAppState(&state_);
  }
  void TearDown() override {
    SetAppState(nullptr);
    for (const std::string& f : created_) DeleteFileA(f.c_str());
    RemoveDirectoryA(dir_.c_str());
  }
  std::string PathOf(const std::string& name) {
    const std::string p = dir_ + "\\" + name;
    created_.push_back(p);
    return p;
  }
  static void Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(h);
  }
  static std::vector<uint8_t> Read(const std::string& path) {
    std::vector<uint8_t> bytes;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(GetFileSize(h, nullptr));
    DWORD got = 0;
    if (!bytes.empty()) ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
    bytes.resize(got);
    CloseHandle(h);
    return bytes;
  }

  std::string dir_;
  std::vector<std::string> created_;
  UpdateState state_;
};

using Win32ExeFileTest = TempDir;
using SplitFilesTest = TempDir;

}  // namespace

TEST_F(Win32ExeFileTest, SeeksReadsAndStopsAtTheEnd) {
  const std::string path = PathOf("ten.bin");
  Write(path, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  Win32ExeFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  EXPECT_EQ(file.Length(), 10u);
  ASSERT_TRUE(file.Seek(4));
  EXPECT_EQ(file.Tell(), 4u);
  uint8_t buf[16] = {};
  EXPECT_EQ(file.Read(buf, sizeof buf), 6u);  // only what is left
  EXPECT_EQ(buf[0], 4);
  EXPECT_EQ(buf[5], 9);
  EXPECT_EQ(file.Tell(), 10u);
  EXPECT_TRUE(file.Seek(10));
  EXPECT_EQ(file.Read(buf, 4), 0u);
  EXPECT_FALSE(file.Seek(11));  // beyond the end: refused
  EXPECT_EQ(file.Tell(), 10u);
  // Another reader of the program's own file is not locked out.
  Win32ExeFile second;
  EXPECT_TRUE(second.Open(path.c_str()));
}

TEST_F(Win32ExeFileTest, MissingOrClosedFileReadsNothing) {
  Win32ExeFile file;
  EXPECT_FALSE(file.Open(PathOf("missing.exe").c_str()));
  EXPECT_FALSE(file.IsOpen());
  uint8_t buf[4];
  EXPECT_EQ(file.Read(buf, 4), 0u);
  EXPECT_EQ(file.Length(), 0u);
  EXPECT_FALSE(file.Seek(0));

  const std::string path = PathOf("four.bin");
  Write(path, {1, 2, 3, 4});
  ASSERT_TRUE(file.Open(path.c_str()));
  file.Close();
  file.Close();  // twice is harmless
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Read(buf, 4), 0u);
}

TEST_F(Win32ExeFileTest, PayloadOnDiskChecksCountsAndDescrambles) {
  const std::vector<uint8_t> program(0x402, 0x5A);  // not a multiple of 4: padded
  const std::vector<std::vector<uint8_t>> images = {MakeSampleFirmware("K53R-PX", "210A", 0x10000, 7),
                                                    MakeSampleFirmware("K53R-TX", "209A", 0x800, 8)};
  std::vector<uint8_t> packed;
  std::string error;
  ASSERT_TRUE(PackPayload(program, images, &packed, &error)) << error;
  const std::string path = PathOf("packed.exe");
  Write(path, packed);

  Win32ExeFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  EXPECT_EQ(LoadAndCheck(file), LoadResult::Intact);
  EXPECT_EQ(state_.executable_size, packed.size());
  EXPECT_EQ(CountImages(file), 2);
  std::vector<ImageSpan> spans;
  ASSERT_EQ(WalkImages(file, &spans), 2);
  // Entry 0 is the image in front of the check word: the last one given.
  ASSERT_EQ(spans[0].size, images[1].size());
  std::vector<uint8_t> plain(images[1].size());
  EXPECT_EQ(DescrambledRead(file, spans[0].offset, 0, plain.data(), static_cast<uint32_t>(plain.size())),
            plain.size());
  EXPECT_EQ(plain, images[1]);
  std::vector<uint8_t> chunk(1024);
  ASSERT_EQ(DescrambledRead(file, spans[1].offset, 0xFC00, chunk.data(), 1024), 1024u);
  EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), images[0].begin() + 0xFC00));
}

TEST_F(Win32ExeFileTest, OneChangedByteOnDiskIsDamaged) {
  std::vector<uint8_t> packed;
  std::string error;
  ASSERT_TRUE(PackPayload(std::vector<uint8_t>(0x400, 1), {MakeSampleFirmware("K53R-T", "208W", 0x400, 3)},
                          &packed, &error))
      << error;
  packed[0x123] ^= 0x10;
  const std::string path = PathOf("damaged.exe");
  Write(path, packed);
  Win32ExeFile file;
  ASSERT_TRUE(file.Open(path.c_str()));
  EXPECT_EQ(LoadAndCheck(file), LoadResult::Damaged);
}

TEST_F(SplitFilesTest, CreateReplacesAnExistingFileWhole) {
  const std::string path = PathOf("Bin@1.bin");
  Write(path, std::vector<uint8_t>(100, 0xEE));
  const SplitFileOps& ops = Win32SplitFileOps();
  void* out = ops.create(path.c_str());
  ASSERT_NE(out, nullptr);
  const uint8_t bytes[] = {1, 2, 3, 4};
  EXPECT_TRUE(ops.write(out, bytes, sizeof bytes));
  EXPECT_TRUE(ops.write(out, bytes, 0));
  ops.close(out);
  EXPECT_EQ(Read(path), std::vector<uint8_t>({1, 2, 3, 4}));
}

TEST_F(SplitFilesTest, FileThatCannotBeCreatedIsReportedAndOthersAreWritten) {
  const SplitFileOps& ops = Win32SplitFileOps();
  EXPECT_EQ(ops.create((dir_ + "\\no-such-dir\\Bin@1.bin").c_str()), nullptr);
  EXPECT_FALSE(ops.write(nullptr, "x", 1));

  // Bin@2.bin is held open without sharing, so it cannot be replaced.
  const std::vector<std::vector<uint8_t>> images = {MakeSampleFirmware("K53R-T", "208W", 0x400, 1),
                                                    MakeSampleFirmware("K53R-TX", "208W", 0x400, 2),
                                                    MakeSampleFirmware("K53R-PX", "208W", 0x400, 3)};
  std::vector<uint8_t> packed;
  std::string error;
  ASSERT_TRUE(PackPayload(std::vector<uint8_t>(0x400, 0), images, &packed, &error)) << error;
  state_.executable_size = static_cast<uint32_t>(packed.size());
  state_.executable_contents.reset(new uint8_t[packed.size()]);
  std::copy(packed.begin(), packed.end(), state_.executable_contents.get());
  const std::string blocked = PathOf("Bin@2.bin");
  PathOf("Bin@1.bin");
  PathOf("Bin@3.bin");
  HANDLE lock = CreateFileA(blocked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  const SplitReport split = SplitImages(dir_, ops);
  CloseHandle(lock);
  EXPECT_EQ(split.status, SplitStatus::FileFailed);
  const std::string& report = split.text;
  EXPECT_EQ(report, "Create " + dir_ + "\\Bin@3.bin\n" + "Can't create " + dir_ + "\\Bin@2.bin\n" + "Create " +
                        dir_ + "\\Bin@1.bin\n");
  EXPECT_EQ(Read(dir_ + "\\Bin@3.bin"), images[0]);
  EXPECT_EQ(Read(dir_ + "\\Bin@1.bin"), images[2]);
  EXPECT_EQ(state_.executable_contents, nullptr);
}
