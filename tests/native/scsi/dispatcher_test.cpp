// The dispatcher against a scripted transport: retries, sense rules, the
// depth limit, the abandon path, and how each neutral outcome is judged the
// same whichever transport slot it came through.
#include <gtest/gtest.h>

#include <cstddef>

#include "fake_transport.h"
#include "scsi/dispatcher.h"

namespace {

class DispatcherTest : public ScsiFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ScsiFixture::SetUp();
    g_pass_through_mode = GetParam();
  }
  // A failed attempt with the given sense code.
  static Step Fail(uint16_t sense) { return Check(sense); }
};

INSTANTIATE_TEST_SUITE_P(BothModes, DispatcherTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PassThrough" : "Aspi"; });

TEST_P(DispatcherTest, PersistentFailureTakesFiveAttemptsAndKeepsItsText) {
  fake_.script = {Fail(0x2400)};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 30000), 0);
  EXPECT_EQ(fake_.attempts, 5u);
  EXPECT_EQ(LastFailureText(), "Invalid field in command packet");
  EXPECT_TRUE(fake_.sleeps.empty());
  EXPECT_TRUE(fake_.messages.empty());
  for (const ScsiRequest& r : fake_.requests) EXPECT_EQ(r.timeout_ms, 30000u);
  // Every attempt went through the slot of the current mode.
  for (bool slot : fake_.pass_through_slot) EXPECT_EQ(slot, GetParam());
}

TEST_P(DispatcherTest, SuccessOnALaterAttemptStopsTheRetries) {
  fake_.script = {Fail(0x2400), Fail(0x2400), Good()};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 1);
  EXPECT_EQ(fake_.attempts, 3u);
}

TEST_P(DispatcherTest, ResetAndMediumConditionsCountAsSuccessAtOnce) {
  for (uint16_t code : {0x2900, 0x2800, 0x3A13}) {
    SCOPED_TRACE(code);
    fake_ = FakeTransport{};
    fake_.script = {Fail(code)};
    ScsiCommand c = Cleared();
    EXPECT_EQ(SendScsiCommand(c, 1000), 1);
    EXPECT_EQ(fake_.attempts, 1u);
  }
}

// The buffer and flash commands: a unit attention means the drive did not
// carry the command out, so it is sent again; the next attempt runs.
TEST_P(DispatcherTest, UnitAttentionOnACommandThatMustBeCarriedOutIsSentAgain) {
  for (uint16_t code : {0x2900, 0x2800, 0x3A13}) {
    SCOPED_TRACE(code);
    fake_ = FakeTransport{};
    fake_.script = {Fail(code), Good()};
    ScsiCommand c = Cleared();
    EXPECT_EQ(SendScsiCommand(c, 1000, Completion::kCarriedOut), 1);
    EXPECT_EQ(fake_.attempts, 2u);

    fake_ = FakeTransport{};
    fake_.script = {Fail(code)};
    ScsiCommand stuck = Cleared();
    EXPECT_EQ(SendScsiCommand(stuck, 1000, Completion::kCarriedOut), 0);
    EXPECT_EQ(fake_.attempts, 5u);
  }
}

TEST_P(DispatcherTest, BecomingReadyWaitsThreeSecondsPerAttemptThroughTheSleepSeam) {
  fake_.script = {Fail(0x0401)};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 10000), 0);
  EXPECT_EQ(fake_.attempts, 5u);
  EXPECT_EQ(fake_.sleeps, (std::vector<uint32_t>{3000, 3000, 3000, 3000, 3000}));
  EXPECT_EQ(LastFailureText(), "Not ready in progress of become ready");
}

TEST_P(DispatcherTest, ACodeWithoutTextLeavesAnEmptyFailureText) {
  fake_.script = {Fail(0x2400), Fail(0x0040)};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(LastFailureText(), "");
}

TEST_P(DispatcherTest, SeventhNestedCommandIsRefusedWithoutBeingSent) {
  // Every attempt issues one more command from inside the transport, so
  // the commands pile up until the mode's limit.
  std::vector<int> nested_results;
  fake_.script = {Good()};
  fake_.during_attempt = [&] {
    ScsiCommand inner = Cleared();
    nested_results.push_back(SendScsiCommand(inner, 1000));
  };
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 1);
  EXPECT_EQ(fake_.attempts, 6u);  // commands 1..6 were sent, the 7th not
  ASSERT_EQ(nested_results.size(), 6u);
  EXPECT_EQ(nested_results.front(), 0);  // the innermost call: the 7th command
  for (size_t i = 1; i < nested_results.size(); ++i) EXPECT_EQ(nested_results[i], 1);

  // All slots were given back.
  fake_ = FakeTransport{};
  fake_.script = {Good()};
  int depth = 0;
  fake_.during_attempt = [&] {
    if (++depth < 6) {
      ScsiCommand inner = Cleared();
      EXPECT_EQ(SendScsiCommand(inner, 1000), 1);
    }
  };
  ScsiCommand again = Cleared();
  EXPECT_EQ(SendScsiCommand(again, 1000), 1);
  EXPECT_EQ(fake_.attempts, 6u);
}

TEST_P(DispatcherTest, EachModeHasItsOwnDepthLimit) {
  const bool mode = GetParam();
  int depth = 0;
  int other_mode_result = -1;
  fake_.script = {Good()};
  fake_.during_attempt = [&] {
    ScsiCommand inner = Cleared();
    if (++depth < 6) {
      SendScsiCommand(inner, 1000);
    } else if (depth == 6) {
      g_pass_through_mode = !mode;
      other_mode_result = SendScsiCommand(inner, 1000);
      g_pass_through_mode = mode;
    }
  };
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 1);
  EXPECT_EQ(other_mode_result, 1);
  EXPECT_EQ(fake_.attempts, 7u);
}

TEST_P(DispatcherTest, AbandonedCommandShowsItsTextOnceAndStops) {
  fake_.script = {Fail(0x2400)};
  fake_.during_attempt = [] { g_abandon_command = true; };
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 30000), 0);
  EXPECT_EQ(fake_.attempts, 1u);
  EXPECT_EQ(fake_.messages, (std::vector<std::string>{"Invalid field in command packet"}));
  EXPECT_FALSE(g_abandon_command);
}

TEST_P(DispatcherTest, DefaultTransportsFailWithoutCrashing) {
  ResetTransports();
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(fake_.attempts, 0u);
}

// The request every attempt receives: the command as the builder filled it
// and the time-out, the same for each attempt.
TEST_P(DispatcherTest, EveryAttemptReceivesTheCommandAndItsTimeOutUnchanged) {
  uint8_t buffer[1024];
  fake_.script = {Fail(0x4400), Rejected(), Good()};
  ScsiCommand c = Cleared();
  c.direction = ScsiDirection::kOut;
  c.data_buffer = buffer;
  c.data_length = sizeof buffer;
  for (int i = 0; i < 16; ++i) c.cdb[i] = static_cast<uint8_t>(0xE0 + i);
  EXPECT_EQ(SendScsiCommand(c, 30000, Completion::kCarriedOut), 1);
  ASSERT_EQ(fake_.requests.size(), 3u);
  for (const ScsiRequest& r : fake_.requests) {
    EXPECT_EQ(0, std::memcmp(r.cdb, c.cdb, sizeof c.cdb));  // no rewrite: that is a transport's business
    EXPECT_EQ(r.cdb_length, 12);
    EXPECT_EQ(r.direction, ScsiDirection::kOut);
    EXPECT_EQ(r.data_buffer, buffer);
    EXPECT_EQ(r.data_length, 1024u);
    EXPECT_EQ(r.timeout_ms, 30000u);
  }
}

TEST_P(DispatcherTest, ACommandWithoutAUsableCdbLengthIsRefusedUnsent) {
  fake_.script = {Good()};
  for (uint8_t length : {uint8_t{0}, uint8_t{17}, uint8_t{255}}) {
    ScsiCommand c = Cleared();
    c.cdb_length = length;
    EXPECT_EQ(SendScsiCommand(c, 1000), 0) << int{length};
  }
  EXPECT_EQ(fake_.attempts, 0u);
  ScsiCommand sixteen = Cleared();
  sixteen.cdb_length = 16;
  EXPECT_EQ(SendScsiCommand(sixteen, 1000), 1);
}

// Every category of outcome, each way it can come, and what the dispatcher
// makes of it for each kind of command: the same in both modes.
TEST_P(DispatcherTest, EachOutcomeIsJudgedByItsCategoryAlone) {
  struct Case {
    const char* what;
    Step step;
    int answered, carried_out, at_most_once;  // results
    size_t answered_attempts, carried_out_attempts, at_most_once_attempts;
  };
  const Case cases[] = {
      {"good", Good(), 1, 1, 1, 1, 1, 1},
      {"good, short", GoodMoving(512), 1, 0, 1, 1, 5, 1},
      {"check, other sense", Check(0x4400), 0, 0, 0, 5, 5, 1},
      {"check, unit attention", Check(0x2900), 1, 0, 0, 1, 5, 5},
      {"busy, no sense", DriveStatus(kScsiStatusBusy), 0, 0, 0, 5, 5, 1},
      {"task aborted with a transport code", DriveStatus(kScsiStatusTaskAborted, 0, 4), 0, 0, 0, 5, 5, 1},
      {"lost", Lost(), 0, 0, 0, 5, 5, 1},
      {"lost, unit attention sense of the transport", Lost(0, 0x2900), 1, 0, 0, 1, 5, 1},
      {"rejected", Rejected(), 0, 0, 0, 5, 5, 1},
      {"rejected with a code", Rejected(0xE0), 0, 0, 0, 5, 5, 1},
  };
  uint8_t buffer[1024] = {};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const struct {
      Completion completion;
      int result;
      size_t attempts;
    } kinds[] = {{Completion::kAnswered, k.answered, k.answered_attempts},
                 {Completion::kCarriedOut, k.carried_out, k.carried_out_attempts},
                 {Completion::kCarriedOutAtMostOnce, k.at_most_once, k.at_most_once_attempts}};
    for (const auto& kind : kinds) {
      SCOPED_TRACE(static_cast<int>(kind.completion));
      fake_ = FakeTransport{};
      fake_.script = {k.step};
      ScsiCommand c = Cleared();
      c.direction = ScsiDirection::kIn;
      c.data_buffer = buffer;
      c.data_length = sizeof buffer;
      EXPECT_EQ(SendScsiCommand(c, 1000, kind.completion), kind.result);
      EXPECT_EQ(fake_.attempts, kind.attempts);
    }
  }
}

TEST_P(DispatcherTest, SenseCodeZeroIsReplacedByTheTransportCode) {
  fake_.script = {Lost(0x06)};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(LastFailureText(), "I/O process terminated");  // code 0006

  // The drive's sense code wins over the transport's.
  fake_ = FakeTransport{};
  fake_.script = {Check(0x3A00, 0x06)};
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(LastFailureText(), "Medium not present");

  // CHECK CONDITION without a code and without a transport code is code 0.
  fake_ = FakeTransport{};
  fake_.script = {Fail(0x2400), Fail(0x0000)};
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(LastFailureText(), "Successful");
}

TEST_P(DispatcherTest, AFailureThatReportsNothingLeavesTheFailureText) {
  fake_.script = {Fail(0x2400)};
  ScsiCommand first = Cleared();
  SendScsiCommand(first, 1000);
  ASSERT_EQ(LastFailureText(), "Invalid field in command packet");

  // A busy status, a lost request and a rejected one, none with sense data
  // or a code: nothing to read.
  fake_ = FakeTransport{};
  fake_.script = {DriveStatus(kScsiStatusBusy), Lost(), Rejected()};
  ScsiCommand second = Cleared();
  EXPECT_EQ(SendScsiCommand(second, 1000), 0);
  EXPECT_EQ(fake_.attempts, 5u);
  EXPECT_EQ(LastFailureText(), "Invalid field in command packet");
  EXPECT_TRUE(fake_.sleeps.empty());
}

TEST_P(DispatcherTest, OnlyTheAttemptThatAnsweredBecomingReadyWaits) {
  fake_.script = {Fail(0x0401), Rejected()};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(fake_.attempts, 5u);
  EXPECT_EQ(fake_.sleeps.size(), 1u);
}

// A short transfer: no success for a command that must be carried out, an
// answer for a question.
TEST_P(DispatcherTest, AShortBufferTransferFailsTheAttemptButAShortAnswerDoesNot) {
  uint8_t buffer[1024] = {};
  ScsiCommand write = Cleared();
  write.direction = ScsiDirection::kOut;
  write.data_buffer = buffer;
  write.data_length = sizeof buffer;
  fake_.script = {GoodMoving(512), GoodMoving(1023), Good()};
  EXPECT_EQ(SendScsiCommand(write, 30000, Completion::kCarriedOut), 1);
  EXPECT_EQ(fake_.attempts, 3u);

  fake_ = FakeTransport{};
  fake_.script = {GoodMoving(100)};
  EXPECT_EQ(SendScsiCommand(write, 30000, Completion::kCarriedOut), 0);
  EXPECT_EQ(fake_.attempts, 5u);

  // INQUIRY: a drive may answer with less than was asked for.
  fake_ = FakeTransport{};
  fake_.script = {GoodMoving(36)};
  ScsiCommand inquiry = Cleared();
  inquiry.direction = ScsiDirection::kIn;
  inquiry.data_buffer = buffer;
  inquiry.data_length = 56;
  EXPECT_EQ(SendScsiCommand(inquiry, 1000), 1);
  EXPECT_EQ(fake_.attempts, 1u);

  // Without a data phase nothing is short.
  fake_ = FakeTransport{};
  fake_.script = {GoodMoving(0)};
  ScsiCommand none = Cleared();
  EXPECT_EQ(SendScsiCommand(none, 1000, Completion::kCarriedOut), 1);
}

// --- The pass-through CDB -----------------------------------------------

TEST(PassThroughCdbTest, VendorCdbsLoseTheirLunBitsAndNothingElseChanges) {
  struct Case {
    uint8_t cdb0, cdb1, expect1;
  };
  for (const Case k : {Case{0x33, 0x6C, 0x0C}, Case{0x12, 0x6C, 0x6C}, Case{0x33, 0x6D, 0x6D},
                       Case{0x33, 0x0C, 0x0C}, Case{0x33, 0x4C, 0x4C}}) {
    ScsiCommand c;
    for (int i = 0; i < 16; ++i) c.cdb[i] = static_cast<uint8_t>(0xA0 + i);
    c.cdb[0] = k.cdb0;
    c.cdb[1] = k.cdb1;
    uint8_t wire[16];
    std::memset(wire, 0xEE, sizeof wire);
    PassThroughCdb(c, wire);
    EXPECT_EQ(wire[0], k.cdb0);
    EXPECT_EQ(wire[1], k.expect1);
    for (int i = 2; i < 16; ++i) EXPECT_EQ(wire[i], 0xA0 + i) << i;
    EXPECT_EQ(c.cdb[1], k.cdb1);  // the command itself keeps its bytes
  }
}

// --- Addressing --------------------------------------------------------

char g_handles[4];

class SelectDriveTest : public ScsiFixture {
 protected:
  void SetUp() override {
    ScsiFixture::SetUp();
    g_drive_table_count = 3;
    DriveTable[0] = DriveEntry{&g_handles[0], 0, 0, 4, 5};
    DriveTable[2] = DriveEntry{&g_handles[2], 7, 8, 9, 6};
  }
};

TEST_F(SelectDriveTest, RefusesAnIndexBeyondTheCountAndChangesNothing) {
  ASSERT_EQ(SelectDrive(2), 1);
  const CurrentDrive before = g_current_drive;
  EXPECT_EQ(SelectDrive(3), 0);
  EXPECT_EQ(SelectDrive(255), 0);
  // Field by field: the record's padding bytes carry no value to compare.
  EXPECT_EQ(g_current_drive.device_handle, before.device_handle);
  EXPECT_EQ(g_current_drive.path_id, before.path_id);
  EXPECT_EQ(g_current_drive.lun, before.lun);
  EXPECT_EQ(g_current_drive.target_id, before.target_id);
  EXPECT_EQ(g_current_drive.host_adapter_id, before.host_adapter_id);
  EXPECT_EQ(g_current_drive.index, before.index);
  g_drive_table_count = 0;
  EXPECT_EQ(SelectDrive(0), 0);
}

TEST_F(SelectDriveTest, PassThroughModeTakesHandlePathLunAndTarget) {
  g_pass_through_mode = true;
  ASSERT_EQ(SelectDrive(2), 1);
  EXPECT_EQ(g_current_drive.device_handle, &g_handles[2]);
  EXPECT_EQ(g_current_drive.path_id, 7);
  EXPECT_EQ(g_current_drive.lun, 8);
  EXPECT_EQ(g_current_drive.target_id, 6);
  EXPECT_EQ(g_current_drive.host_adapter_id, 0);
  EXPECT_EQ(g_current_drive.index, 2);
}

TEST_F(SelectDriveTest, AspiModeTakesAdapterAndTarget) {
  ASSERT_EQ(SelectDrive(0), 1);
  EXPECT_EQ(g_current_drive.host_adapter_id, 4);
  EXPECT_EQ(g_current_drive.target_id, 5);
  EXPECT_EQ(g_current_drive.device_handle, nullptr);
  EXPECT_EQ(g_current_drive.index, 0);
}

}  // namespace

