// Classification of the command line and the names derived from the path.
#include <gtest/gtest.h>

#include "app/cmdline.h"

namespace {

RunMode ModeOf(const std::vector<std::string>& args) { return ClassifyCommandLine(args).mode; }

bool ShiftJisLead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

}  // namespace

TEST(ClassifyCommandLine, EveryRowOfTheSwitchTable) {
  EXPECT_EQ(ModeOf({"/VER"}), RunMode::VersionDisplay);
  EXPECT_EQ(ModeOf({"/VER", "FILE"}), RunMode::VersionDisplay);
  EXPECT_EQ(ModeOf({"/LOG", "FILE"}), RunMode::TraceToFile);
  EXPECT_EQ(ModeOf({"/LOG", "SCR"}), RunMode::TraceToScreen);
  EXPECT_EQ(ModeOf({"/LOG"}), RunMode::TraceWithoutSink);
  EXPECT_EQ(ModeOf({"/LOG", "FILES"}), RunMode::TraceWithoutSink);
  EXPECT_EQ(ModeOf({"/LOG", ""}), RunMode::TraceWithoutSink);
  EXPECT_EQ(ModeOf({"/SPT"}), RunMode::SplitMode);
  EXPECT_EQ(ModeOf({"/SPT", "SCR"}), RunMode::SplitMode);
  EXPECT_EQ(ModeOf({"/QKV517"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"/4k"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"/4K"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"/anything"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({}), RunMode::NormalRun);
}

TEST(ClassifyCommandLine, LetterCaseDoesNotMatterButTheWholeWordDoes) {
  EXPECT_EQ(ModeOf({"/ver"}), RunMode::VersionDisplay);
  EXPECT_EQ(ModeOf({"/Ver"}), RunMode::VersionDisplay);
  EXPECT_EQ(ModeOf({"/log", "file"}), RunMode::TraceToFile);
  EXPECT_EQ(ModeOf({"/Log", "Scr"}), RunMode::TraceToScreen);
  EXPECT_EQ(ModeOf({"/spt"}), RunMode::SplitMode);

  EXPECT_EQ(ModeOf({"/VERSION"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"-VER"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"//VER"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({" /VER"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"/LOG ", "FILE"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"FILE"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"SCR"}), RunMode::NormalRun);
  EXPECT_EQ(ModeOf({"FILE", "/LOG"}), RunMode::NormalRun);
}

TEST(ClassifyCommandLine, ArgumentsAreKeptUpperCasedAndAsTyped) {
  const CommandLine four_k = ClassifyCommandLine({"/4k", "scr", "/VER"});
  EXPECT_EQ(four_k.mode, RunMode::NormalRun);
  EXPECT_EQ(four_k.argument1, "/4K");
  EXPECT_EQ(four_k.raw_argument1, "/4k");
  EXPECT_EQ(four_k.argument2, "SCR");  // the transfer then runs on the main thread

  const CommandLine hidden = ClassifyCommandLine({"/qkv517"});
  EXPECT_EQ(hidden.argument1, "/QKV517");
  EXPECT_EQ(hidden.argument2, "");

  const CommandLine none = ClassifyCommandLine({});
  EXPECT_EQ(none.argument1, "");
  EXPECT_EQ(none.raw_argument1, "");
  EXPECT_EQ(none.argument2, "");
}

// The switches of the run's options are compared here and nowhere else:
// "/4k" exactly as typed and first, the hidden switch in any letter case.
TEST(RunOptions, FollowTheFirstArgumentOnly) {
  const struct {
    std::vector<std::string> args;
    bool every_image;
    FlashMode mode;
  } cases[] = {
      {{"/4k"}, false, FlashMode::k4k},          {{"/4k", "SCR"}, false, FlashMode::k4k},
      {{"/4K"}, false, FlashMode::kDefault},     {{"", "/4k"}, false, FlashMode::kDefault},
      {{"/4k "}, false, FlashMode::kDefault},    {{"/QKV517"}, true, FlashMode::kDefault},
      {{"/qkv517", "/4k"}, true, FlashMode::kDefault}, {{"/4k", "/QKV517"}, false, FlashMode::k4k},
      {{"/QKV5170"}, false, FlashMode::kDefault}, {{}, false, FlashMode::kDefault},
  };
  for (const auto& c : cases) {
    const UpdateOptions options = RunOptions(ClassifyCommandLine(c.args));
    const std::string shown = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(options.every_image_offered, c.every_image) << shown;
    EXPECT_EQ(options.flash_mode, c.mode) << shown;
  }
}

TEST(ClassifyCommandLine, ThirdAndLaterArgumentsHaveNoEffect) {
  EXPECT_EQ(ModeOf({"/LOG", "FILE", "SCR"}), RunMode::TraceToFile);
  EXPECT_EQ(ModeOf({"/LOG", "X", "FILE"}), RunMode::TraceWithoutSink);
  EXPECT_EQ(ModeOf({"X", "Y", "/VER", "/SPT"}), RunMode::NormalRun);
}

TEST(UpperCase, OnlyAsciiLettersChangeAndTrailBytesAreLeftAlone) {
  EXPECT_EQ(UpperCase("abz/AZ09-\xe4"), "ABZ/AZ09-\xe4");
  // 0x82 0x61 is one double-byte character in Shift-JIS; its trail byte is no 'a'.
  EXPECT_EQ(UpperCase("a\x82\x61" "b", ShiftJisLead), "A\x82\x61" "B");
  EXPECT_EQ(UpperCase("a\x82", ShiftJisLead), "A\x82");
}

TEST(DerivedNames, LogFileReplacesTheFileNamesExtension) {
  EXPECT_EQ(LogFilePath("C:\\Tools\\fw.exe"), "C:\\Tools\\fw.log");
  EXPECT_EQ(LogFilePath("C:\\rel.2\\fw.exe"), "C:\\rel.2\\fw.log");
  EXPECT_EQ(LogFilePath("C:\\rel.2\\fw"), "C:\\rel.2\\fw.log");
  EXPECT_EQ(LogFilePath("fw"), "fw.log");
  EXPECT_EQ(LogFilePath("fw.exe"), "fw.log");
  EXPECT_EQ(LogFilePath("C:\\a\\fw.v2.exe"), "C:\\a\\fw.v2.log");
  EXPECT_EQ(LogFilePath("C:/rel.2/fw.EXE"), "C:/rel.2/fw.log");
}

TEST(DerivedNames, DirectoryIsEverythingBeforeTheLastSeparator) {
  EXPECT_EQ(ExecutableDirectory("C:\\Tools\\fw.exe"), "C:\\Tools");
  EXPECT_EQ(ExecutableDirectory("C:\\fw.exe"), "C:");
  EXPECT_EQ(ExecutableDirectory("\\\\server\\share\\fw.exe"), "\\\\server\\share");
  EXPECT_EQ(ExecutableDirectory("fw.exe"), ".");
  EXPECT_EQ(ExecutableDirectory(""), ".");
}

TEST(DerivedNames, DoubleByteCharactersHideTheirTrailBytes) {
  // 0x95 0x5C is one character whose trail byte looks like '\'.
  const std::string path = "C:\\d\\\x95\x5C" "fw";
  EXPECT_EQ(ExecutableDirectory(path, ShiftJisLead), "C:\\d");
  EXPECT_EQ(ExecutableDirectory(path), "C:\\d\\\x95");
  EXPECT_EQ(LogFilePath(path, ShiftJisLead), path + ".log");
  EXPECT_EQ(LogFilePath("C:\\\x95\x5C.x\\fw", ShiftJisLead), "C:\\\x95\x5C.x\\fw.log");
}

TEST(VersionCaption, TheBlankIsAlwaysThere) {
  EXPECT_EQ(VersionCaption("Firmware Update", "Ver 1.94"), "Firmware Update Ver 1.94");
  EXPECT_EQ(VersionCaption("", ""), " ");
  EXPECT_EQ(VersionCaption("Firmware Update", ""), "Firmware Update ");
  EXPECT_EQ(VersionCaption("", "Ver 1.94"), " Ver 1.94");
}
