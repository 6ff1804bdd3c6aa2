// The version record of the built program and of a file without one.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "app/host_win32.h"
#include "app/version_reader_win32.h"

namespace {

std::string BuiltProgram() {
  const char* build = std::getenv("FW_BUILD_DIR");
  if (!build || !*build) return std::string();
  std::string path = std::string("Z:") + build + "/fwupdate.exe";
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

TEST(VersionReader, BuiltProgramCarriesItsCaptionUnderTheFirstTranslation) {
  const std::string program = BuiltProgram();
  ASSERT_FALSE(program.empty()) << "FW_BUILD_DIR is not set";
  VersionReader reader;
  ASSERT_TRUE(reader.Load(program.c_str())) << program;
  EXPECT_EQ(reader.fixed_info().dwSignature, VersionReader::kFixedInfoSignature);
  EXPECT_EQ(reader.language(), 0x0409);
  EXPECT_EQ(reader.code_page(), 0x04B0);
  EXPECT_EQ(reader.GetString("FileDescription"), "Firmware Update");
  EXPECT_EQ(reader.GetString("ProductVersion"), "Ver 1.94");
  EXPECT_EQ(reader.GetString("NoSuchKey"), "");
  EXPECT_EQ(ReadVersionCaption(program.c_str()), "Firmware Update Ver 1.94");
}

TEST(VersionReader, FileWithoutRecordGivesALoneBlank) {
  // This test program is linked without a version resource.
  const std::string self = ModuleFileName();
  ASSERT_FALSE(self.empty());
  VersionReader reader;
  EXPECT_FALSE(reader.Load(self.c_str()));
  EXPECT_EQ(reader.fixed_info().dwSignature, 0u);
  EXPECT_EQ(reader.language(), 0);
  EXPECT_EQ(reader.code_page(), 0);
  EXPECT_EQ(reader.GetString("FileDescription"), "");
  EXPECT_EQ(ReadVersionCaption(self.c_str()), " ");
  EXPECT_EQ(ReadVersionCaption("Z:\\no\\such\\file.exe"), " ");
}

TEST(VersionReader, FailedReloadForgetsTheEarlierRecord) {
  const std::string program = BuiltProgram();
  ASSERT_FALSE(program.empty());
  VersionReader reader;
  ASSERT_TRUE(reader.Load(program.c_str()));
  EXPECT_FALSE(reader.Load(ModuleFileName().c_str()));
  EXPECT_EQ(reader.GetString("FileDescription"), "");
  EXPECT_EQ(reader.language(), 0);
}

TEST(ModuleFileName, IsTheFullPathOfThisProgram) {
  const std::string self = ModuleFileName();
  ASSERT_GE(self.size(), 3u);
  EXPECT_EQ(self[1], ':');
  EXPECT_NE(self.find('\\'), std::string::npos);
  EXPECT_EQ(GetFileAttributesA(self.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(GetFileAttributesA(self.c_str()), INVALID_FILE_ATTRIBUTES);
}
