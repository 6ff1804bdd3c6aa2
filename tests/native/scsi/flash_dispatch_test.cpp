// Update Firmware and the buffer commands under the dispatcher's retries:
// the flash command goes out again only when the drive answered that it did
// not carry it out; after any other failure the drive may be programming its
// flash and nothing more is sent. The buffer commands keep their attempts.
#include <gtest/gtest.h>

#include "fake_transport.h"
#include "scsi/dispatcher.h"

namespace {

constexpr uint32_t kAspiAborted = 0x02;
constexpr uint32_t kAspiTargetError = 0x04;  // the target's status came back
constexpr uint32_t kAspiInvalidRequest = 0xE0;

class FlashDispatch : public ScsiFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ScsiFixture::SetUp();
    g_pass_through_mode = GetParam();
  }
  bool pass_through() const { return GetParam(); }

  // One attempt's outcome, as each mode's transport makes it.
  Step Answer(uint16_t sense) const { return Check(sense, pass_through() ? 0 : kAspiTargetError); }
  Step TimedOut() const { return pass_through() ? Lost() : Lost(kAspiAborted); }
  Step TransportError() const { return pass_through() ? Rejected() : Rejected(kAspiInvalidRequest); }
  // A failure that is no CHECK CONDITION, with sense bytes that read as a
  // unit attention (never the drive's answer).
  Step NoAnswerWithUnitAttentionBytes() const {
    return pass_through() ? DriveStatus(kScsiStatusBusy, 0x2900) : Lost(kAspiAborted, 0x2900);
  }
};

INSTANTIATE_TEST_SUITE_P(BothModes, FlashDispatch, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PassThrough" : "Aspi"; });

TEST_P(FlashDispatch, UpdateFirmwareIsSentAgainOnlyWhenTheDriveSaysItDidNotCarryItOut) {
  const struct {
    const char* what;
    std::vector<Step> script;
    size_t flash_attempts;
    int flash_result;
    size_t buffer_attempts;  // the same outcomes for a buffer command
  } cases[] = {
      {"time-out", {TimedOut(), Good()}, 1, 0, 2},
      {"transport error", {TransportError(), Good()}, 1, 0, 2},
      {"refused with other sense", {Answer(0x4400), Good()}, 1, 0, 2},
      {"no CHECK CONDITION, unit attention bytes", {NoAnswerWithUnitAttentionBytes(), Good()}, 1, 0, 2},
      {"power-on reset", {Answer(0x2900), Good()}, 2, 1, 2},
      {"medium changed", {Answer(0x2800), Good()}, 2, 1, 2},
      {"becoming ready", {Answer(0x0401), Good()}, 2, 1, 2},
      {"unit attention, then a time-out", {Answer(0x2900), TimedOut(), Good()}, 2, 0, 3},
      {"unit attention every time", {Answer(0x2900)}, 5, 0, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake_ = FakeTransport{};
    fake_.script = c.script;
    ScsiCommand flash = Cleared();
    EXPECT_EQ(SendScsiCommand(flash, 30000, Completion::kCarriedOutAtMostOnce), c.flash_result);
    EXPECT_EQ(fake_.attempts, c.flash_attempts);
    EXPECT_TRUE(fake_.messages.empty());

    fake_ = FakeTransport{};
    fake_.script = c.script;
    ScsiCommand chunk = Cleared();
    EXPECT_EQ(SendScsiCommand(chunk, 30000, Completion::kCarriedOut), c.buffer_attempts < 5 ? 1 : 0);
    EXPECT_EQ(fake_.attempts, c.buffer_attempts) << "a buffer command keeps its attempts";
  }
}

// The becoming-ready wait belongs to an attempt that is sent again; the
// failure text is the drive's either way.
TEST_P(FlashDispatch, BecomingReadyWaitsBeforeTheFlashCommandGoesOutAgain) {
  fake_.script = {Answer(0x0401), Answer(0x4400)};
  ScsiCommand flash = Cleared();
  EXPECT_EQ(SendScsiCommand(flash, 30000, Completion::kCarriedOutAtMostOnce), 0);
  EXPECT_EQ(fake_.attempts, 2u);
  EXPECT_EQ(fake_.sleeps, std::vector<uint32_t>{3000});
  EXPECT_EQ(LastFailureText(), "Internal target failure");
}

}  // namespace
