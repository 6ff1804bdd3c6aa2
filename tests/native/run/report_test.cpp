// What the run tells the user after the transfer, for every result.
#include <gtest/gtest.h>

#include "app/update_app_messages.h"
#include "drive/transfer.h"

namespace {

TEST(RunReport, OnlyResultZeroGetsTheFinishFormWithTheRebootOffer) {
  const RunReport ok = ReportForResult(TransferOk);
  EXPECT_EQ(ok.text,
            "\nThe firmware of drive has been updated already."
            "\nIf you do not reboot your computer, the device"
            "\ndriver of CD-ROM/RW drive may not work properly."
            "\nPlease reboot your computer.");
  EXPECT_EQ(ok.kind, 1);
  EXPECT_EQ(ok.icon, 141);
  for (int result = 1; result <= 255; ++result) {
    const RunReport failed = ReportForResult(static_cast<uint8_t>(result));
    EXPECT_EQ(failed.kind, 2) << result;
    EXPECT_EQ(failed.icon, 140) << result;
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
