// What the run tells the user after the transfer, for every result.
#include <gtest/gtest.h>

#include "app/update_app_messages.h"
#include "app/update_run.h"
#include "drive/transfer.h"

namespace {

TEST(RunReport, OnlyResultZeroGetsTheFinishFormWithTheRebootOffer) {
  const RunReport ok = ReportForResult(TransferOk);
  EXPECT_EQ(ok.text,
            "\nThe firmware of drive has been updated already."
            "\nIf you do not reboot your computer, the device"
            "\ndriver of CD-ROM/RW drive may not work properly."
            "\nPlease reboot your computer.");
  EXPECT_EQ(ok.kind, MessageKind::Finish);
  EXPECT_EQ(ok.icon, MessageIcon::Finish);
  for (int result = 1; result <= 255; ++result) {
    const RunReport failed = ReportForResult(static_cast<uint8_t>(result));
    EXPECT_EQ(failed.kind, MessageKind::Error) << result;
    EXPECT_EQ(failed.icon, MessageIcon::Error) << result;
    EXPECT_EQ(failed.text.find("updated"), std::string::npos) << result;
  }
}

TEST(RunReport, EachFailureHasItsOwnLineAndOthersOnlyALineBreak) {
  EXPECT_EQ(ReportForResult(CompareMismatch).text, "\r\n BIOS DATA COMPARE ERROR!!");
  EXPECT_EQ(ReportForResult(BufferWriteFailed).text, "\r\n BUFFER WRITE ERROR!!");
  EXPECT_EQ(ReportForResult(BufferReadFailed).text, "\r\n BUFFER READ ERROR!!");
  EXPECT_EQ(ReportForResult(FlashFailed).text, "\r\n BIOS UPDATE ERROR!!");
  EXPECT_EQ(ReportForResult(ChunkNotWordAligned).text, "\r\n");
  // A transfer that never began says so, and never names a failed write.
  EXPECT_EQ(ReportForResult(TransferNotStarted).text,
            "\r\nThe update did not start.\nThe firmware of the drive was not changed.");
  EXPECT_EQ(ReportForResult(7).text, "\r\n");
  EXPECT_EQ(ReportForResult(255).text, "\r\n");
}

}  // namespace

namespace {

// The one table of endings: which result ends how, which endings follow a
// transfer, and the messages of the endings before one.
TEST(RunEndings, ResultsTransfersAndMessagesComeFromTheTable) {
  EXPECT_EQ(EndingForResult(TransferOk), RunEnding::Updated);
  EXPECT_EQ(EndingForResult(CompareMismatch), RunEnding::CompareError);
  EXPECT_EQ(EndingForResult(BufferWriteFailed), RunEnding::BufferWriteError);
  EXPECT_EQ(EndingForResult(BufferReadFailed), RunEnding::BufferReadError);
  EXPECT_EQ(EndingForResult(FlashFailed), RunEnding::FlashError);
  EXPECT_EQ(EndingForResult(ChunkNotWordAligned), RunEnding::TransferError);
  EXPECT_EQ(EndingForResult(TransferNotStarted), RunEnding::TransferError);
  for (int result = 0; result <= 255; ++result) {
    EXPECT_TRUE(TransferRan(EndingForResult(static_cast<uint8_t>(result)))) << result;
  }
  for (RunEnding e : {RunEnding::NothingToDo, RunEnding::NoDrive, RunEnding::CannotOpen, RunEnding::ReadFailed,
                      RunEnding::Damaged, RunEnding::ModelMismatch, RunEnding::DosOnly, RunEnding::Declined,
                      RunEnding::NoPermission, RunEnding::DriveNotNamed, RunEnding::SplitFailed,
                      RunEnding::ChoiceNeeded}) {
    EXPECT_FALSE(TransferRan(e)) << static_cast<int>(e);
  }

  const struct {
    RunReport report;
    const char* text;
    MessageIcon icon;
  } messages[] = {
      {NoDriveMessage(), "\r\nCD-ROM/RW drive is not found!", MessageIcon::Warning},
      {CannotOpenMessage("C:\\UP\\FW.EXE"), "\r\nCan't Open C:\\UP\\FW.EXE ", MessageIcon::Warning},
      {DamagedMessage(), "\r\nThis file maybe damage please get new one!", MessageIcon::Error},
      {MismatchMessage(), "\r\nModel name is mismatch!!", MessageIcon::Error},
  };
  for (const auto& m : messages) {
    EXPECT_EQ(m.report.text, m.text);
    EXPECT_EQ(m.report.kind, MessageKind::Error) << m.text;
    EXPECT_EQ(m.report.icon, m.icon) << m.text;
  }
  const RunReport version = VersionMessage("Updater 1.0");
  EXPECT_EQ(version.text, "\r\nUpdater 1.0");
  EXPECT_EQ(version.kind, MessageKind::Finish);
  EXPECT_EQ(version.icon, MessageIcon::Program);
}

}  // namespace
