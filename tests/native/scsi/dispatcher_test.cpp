// The dispatcher against a scripted transport: retries, sense rules, the
// depth limit, the abandon path and the completion event's lifetime.
#include <gtest/gtest.h>

#include <cstddef>

#include "fake_transport.h"
#include "scsi/dispatcher.h"

namespace {

// Packed record fields are read by value: a reference to one may be
// misaligned.
template <typename T>
T Field(T value) {
  return value;
}

constexpr int kCheck = 2;

class DispatcherTest : public ScsiFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ScsiFixture::SetUp();
    g_pass_through_mode = GetParam();
  }
  // A failed attempt with the given sense code, in either mode.
  static Step Fail(uint16_t sense) { return Step{0, kCheck, sense}; }
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
  for (uint32_t t : fake_.timeouts) EXPECT_EQ(t, 30000u);
}

TEST_P(DispatcherTest, SuccessOnALaterAttemptStopsTheRetries) {
  fake_.script = {Fail(0x2400), Fail(0x2400), Step{1, 0, 0}};
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
    fake_.script = {Fail(code), Step{1, 0, 0}};
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
  fake_.script = {Step{1, 0, 0}};
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
  fake_.script = {Step{1, 0, 0}};
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
  fake_.script = {Step{1, 0, 0}};
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

// --- ASPI mode ---------------------------------------------------------

class AspiDispatch : public ScsiFixture {};

TEST_F(AspiDispatch, RecordIsPreparedForTheLibraryWithTheDispatchEvent) {
  fake_.script = {Step{1, 0, 0}};
  ScsiCommand c = Cleared();
  c.flags = 0x48;
  EXPECT_EQ(SendScsiCommand(c, 1000), 1);
  ASSERT_EQ(fake_.aspi_records.size(), 1u);
  const ScsiCommand& sent = fake_.aspi_records[0];
  EXPECT_EQ(sent.command_code, 2);
  EXPECT_EQ(sent.sense_length, 128);
  EXPECT_EQ(sent.cdb_length, 12);
  EXPECT_EQ(sent.flags, 0x48);  // ASPI keeps the event bit
  EXPECT_EQ(Field(sent.completion_event), &g_event_tokens[0]);
}

TEST_F(AspiDispatch, SenseCodeZeroIsReplacedByTheRequestStatus) {
  fake_.script = {Step{0x06, 0, 0}};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(LastFailureText(), "I/O process terminated");  // code 0006
}

TEST_F(AspiDispatch, NoEventMeansNoCommand) {
  fake_.fail_event = true;
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(fake_.attempts, 0u);
  EXPECT_TRUE(fake_.events_closed.empty());
}

TEST_F(AspiDispatch, EventIsClosedOnEveryReturn) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    bool abandon;
  };
  const Case cases[] = {
      {"success", {Step{1, 0, 0}}, false},
      {"sense success", {Step{0, 0, 0x2900}}, false},
      {"five failures", {Step{0, 0, 0x2400}}, false},
      {"abandoned", {Step{0, 0, 0x2400}}, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    fake_ = FakeTransport{};
    fake_.script = k.script;
    if (k.abandon) fake_.during_attempt = [] { g_abandon_command = true; };
    ScsiCommand c = Cleared();
    SendScsiCommand(c, 1000);
    ASSERT_EQ(fake_.events_created, 1);
    EXPECT_EQ(fake_.events_closed, (std::vector<void*>{&g_event_tokens[0]}));
    EXPECT_EQ(Field(c.completion_event), nullptr);  // no closed handle left behind
  }
}

TEST_F(AspiDispatch, RefusedNestedCommandStillClosesItsEvent) {
  int depth = 0;
  fake_.script = {Step{1, 0, 0}};
  fake_.during_attempt = [&] {
    if (++depth <= 6) {
      ScsiCommand inner = Cleared();
      SendScsiCommand(inner, 1000);
    }
  };
  ScsiCommand c = Cleared();
  SendScsiCommand(c, 1000);
  EXPECT_EQ(fake_.events_created, 7);
  EXPECT_EQ(fake_.events_closed.size(), 7u);
}

TEST_F(AspiDispatch, SenseStaysInTheRecordForTheCaller) {
  fake_.script = {Step{0, 0, 0x3A00}};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(c.sense_area[12], 0x3A);
  EXPECT_EQ(c.sense_area[13], 0x00);
  EXPECT_EQ(LastFailureText(), "Medium not present");
}

// --- Pass-through mode -------------------------------------------------

class PassThroughDispatch : public ScsiFixture {
 protected:
  void SetUp() override {
    ScsiFixture::SetUp();
    g_pass_through_mode = true;
  }
};

TEST_F(PassThroughDispatch, RequestIsBuiltOnceFromTheRecord) {
  uint8_t buffer[1024];
  fake_.script = {Step{0, 0, 0}, Step{1, 0, 0}};
  fake_.during_attempt = [&] {
    // Whatever the first attempt leaves in the request is gone for the
    // second: every attempt goes out as the request was built.
    if (fake_.attempts == 0) fake_.request_addresses.back()->filler = 0xA5A5A5A5u;
  };
  ScsiCommand c = Cleared();
  c.flags = 0x50;
  c.data_buffer = buffer;
  c.data_length = sizeof buffer;
  for (int i = 0; i < 16; ++i) c.cdb[i] = static_cast<uint8_t>(0xE0 + i);
  EXPECT_EQ(SendScsiCommand(c, 30000), 1);
  ASSERT_EQ(fake_.requests.size(), 2u);
  EXPECT_EQ(fake_.requests[1].filler, 0u);

  const PassThroughDirect& d = fake_.requests[0].sptd;
  // The request describes its own layout on this processor (44 and 48 in the
  // 32-bit program; this 64-bit build shows that nothing is fixed at those).
  EXPECT_EQ(d.Length, sizeof(PassThroughDirect));
  EXPECT_EQ(d.CdbLength, 12);
  EXPECT_EQ(d.SenseInfoLength, 32);
  EXPECT_EQ(d.SenseInfoOffset, offsetof(PassThroughRequest, sense));
  EXPECT_EQ(d.DataIn, 0);
  EXPECT_EQ(d.DataTransferLength, 1024u);
  EXPECT_EQ(d.DataBuffer, buffer);
  EXPECT_EQ(0, std::memcmp(d.Cdb, c.cdb, 16));
  EXPECT_EQ(fake_.requests[0].filler, 0u);
  EXPECT_EQ(c.flags, 0x10);  // the event bit is cleared in the record
}

TEST_F(PassThroughDispatch, DataDirectionFollowsTheFlags) {
  struct Case {
    uint8_t flags;
    uint8_t data_in;
  };
  for (const Case k : {Case{0x48, 1}, Case{0x40, 1}, Case{0x50, 0}, Case{0x08, 1}, Case{0x00, 1}}) {
    SCOPED_TRACE(int{k.flags});
    fake_ = FakeTransport{};
    fake_.script = {Step{1, 0, 0}};
    ScsiCommand c = Cleared();
    c.flags = k.flags;
    SendScsiCommand(c, 1000);
    ASSERT_EQ(fake_.requests.size(), 1u);
    EXPECT_EQ(fake_.requests[0].sptd.DataIn, k.data_in);
    EXPECT_EQ(fake_.requests[0].sptd.DataTransferLength, 0u);
  }
}

TEST_F(PassThroughDispatch, FailureWithoutCheckConditionLeavesTheFailureText) {
  fake_.script = {Step{0, kCheck, 0x2400}};
  ScsiCommand first = Cleared();
  SendScsiCommand(first, 1000);
  ASSERT_EQ(LastFailureText(), "Invalid field in command packet");

  // Status 0 with a failed result, a busy status, and a rejected request:
  // none has sense data to read.
  fake_ = FakeTransport{};
  fake_.script = {Step{0, 0, 0x3A00}, Step{0, 8, 0x3A00}, Step{-1, 0, 0}};
  ScsiCommand second = Cleared();
  EXPECT_EQ(SendScsiCommand(second, 1000), 0);
  EXPECT_EQ(fake_.attempts, 5u);
  EXPECT_EQ(LastFailureText(), "Invalid field in command packet");
  EXPECT_TRUE(fake_.sleeps.empty());
}

TEST_F(PassThroughDispatch, RejectedRequestIgnoresAStaleCheckCondition) {
  // The first attempt leaves CHECK CONDITION in the request; the system
  // then rejects the rest, which rewrite nothing. The stale sense must not
  // be read again as if it were a new answer.
  fake_.script = {Step{0, kCheck, 0x0401}, Step{-1, 0, 0}};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(fake_.attempts, 5u);
  EXPECT_EQ(fake_.sleeps.size(), 1u);
}

TEST_F(PassThroughDispatch, SenseCodeZeroBecomesZero) {
  fake_.script = {Step{0, kCheck, 0x2400}, Step{0, kCheck, 0x0000}};
  ScsiCommand c = Cleared();
  EXPECT_EQ(SendScsiCommand(c, 1000), 0);
  EXPECT_EQ(LastFailureText(), "Successful");
}

TEST_F(PassThroughDispatch, RecordIsNotWrittenBack) {
  fake_.script = {Step{0, kCheck, 0x2400}};
  ScsiCommand c = Cleared();
  SendScsiCommand(c, 1000);
  EXPECT_EQ(c.sense_area[12], 0);
  EXPECT_EQ(c.command_code, 0);
  EXPECT_EQ(Field(c.completion_event), nullptr);
  EXPECT_EQ(fake_.events_created, 0);
}

TEST_F(PassThroughDispatch, AttemptPreparationRewritesVendorCdbsAndAddressesTheDrive) {
  g_drive_table_count = 2;
  DriveTable[1] = DriveEntry{&g_event_tokens[3], 1, 2, 9, 3};
  ASSERT_EQ(SelectDrive(1), 1);

  struct Case {
    uint8_t cdb0, cdb1, expect1;
  };
  for (const Case k : {Case{0x33, 0x6C, 0x0C}, Case{0x12, 0x6C, 0x6C}, Case{0x33, 0x6D, 0x6D},
                       Case{0x33, 0x0C, 0x0C}}) {
    PassThroughRequest r{};
    r.sptd.Cdb[0] = k.cdb0;
    r.sptd.Cdb[1] = k.cdb1;
    r.sptd.Cdb[2] = 0xF0;
    PreparePassThroughAttempt(r, 30000);
    EXPECT_EQ(r.sptd.Cdb[0], k.cdb0);
    EXPECT_EQ(r.sptd.Cdb[1], k.expect1);
    EXPECT_EQ(r.sptd.Cdb[2], 0xF0);
    EXPECT_EQ(r.sptd.PathId, 1);
    EXPECT_EQ(r.sptd.Lun, 2);
    EXPECT_EQ(r.sptd.TargetId, 3);
  }
  struct Timeout {
    uint32_t ms, seconds;
  };
  for (const Timeout t : {Timeout{1000, 1}, Timeout{10000, 10}, Timeout{30000, 30}, Timeout{1999, 1}}) {
    PassThroughRequest r{};
    PreparePassThroughAttempt(r, t.ms);
    EXPECT_EQ(r.sptd.TimeOutValue, t.seconds) << t.ms;
  }
}

// --- Addressing --------------------------------------------------------

class SelectDriveTest : public ScsiFixture {
 protected:
  void SetUp() override {
    ScsiFixture::SetUp();
    g_drive_table_count = 3;
    DriveTable[0] = DriveEntry{&g_event_tokens[0], 0, 0, 4, 5};
    DriveTable[2] = DriveEntry{&g_event_tokens[2], 7, 8, 9, 6};
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
  EXPECT_EQ(g_current_drive.device_handle, &g_event_tokens[2]);
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

namespace {

// The system rewrites the request it returns: the bytes that moved, the
// sense bytes it filled, the status.
void RewriteAsTheSystemDoes(PassThroughRequest& r, uint32_t moved, uint8_t sense_length) {
  r.sptd.DataTransferLength = moved;
  r.sptd.SenseInfoLength = sense_length;
}

class PassThroughAttempts : public ScsiFixture {
 protected:
  void SetUp() override {
    ScsiFixture::SetUp();
    g_pass_through_mode = true;
  }
  ScsiCommand Write() {
    ScsiCommand c = Cleared();
    c.flags = kFlagDataOut;
    c.data_buffer = buffer_;
    c.data_length = sizeof buffer_;
    return c;
  }
  uint8_t buffer_[1024] = {};
};

}  // namespace

TEST_F(PassThroughAttempts, EveryAttemptGoesOutAsBuiltAfterTheSystemRewroteTheLast) {
  fake_.script = {Step{0, kCheck, 0x4400}, Step{-1, 0, 0}, Step{1, 0, 0}};
  fake_.during_attempt = [&] {
    PassThroughRequest& r = *fake_.request_addresses.back();
    if (fake_.attempts == 0) RewriteAsTheSystemDoes(r, 0, 18);
    if (fake_.attempts == 1) RewriteAsTheSystemDoes(r, 0, 0);
  };
  ScsiCommand c = Write();
  EXPECT_EQ(SendScsiCommand(c, 30000, Completion::kCarriedOut), 1);
  ASSERT_EQ(fake_.requests.size(), 3u);
  for (const PassThroughRequest& r : fake_.requests) {
    EXPECT_EQ(r.sptd.DataTransferLength, 1024u);
    EXPECT_EQ(r.sptd.SenseInfoLength, 32);
    EXPECT_EQ(r.sptd.ScsiStatus, 0);
    EXPECT_EQ(r.sense[12], 0);
  }
}

TEST_F(PassThroughAttempts, AShortBufferTransferFailsTheAttemptButAShortAnswerDoesNot) {
  fake_.script = {Step{1, 0, 0}};
  fake_.during_attempt = [&] {
    if (fake_.attempts < 2) RewriteAsTheSystemDoes(*fake_.request_addresses.back(), 512, 0);
  };
  ScsiCommand write = Write();
  EXPECT_EQ(SendScsiCommand(write, 30000, Completion::kCarriedOut), 1);
  EXPECT_EQ(fake_.attempts, 3u);

  fake_ = FakeTransport{};
  fake_.script = {Step{1, 0, 0}};
  fake_.during_attempt = [&] { RewriteAsTheSystemDoes(*fake_.request_addresses.back(), 100, 0); };
  ScsiCommand always_short = Write();
  EXPECT_EQ(SendScsiCommand(always_short, 30000, Completion::kCarriedOut), 0);
  EXPECT_EQ(fake_.attempts, 5u);

  // INQUIRY: a drive may answer with less than was asked for.
  fake_ = FakeTransport{};
  fake_.script = {Step{1, 0, 0}};
  fake_.during_attempt = [&] { RewriteAsTheSystemDoes(*fake_.request_addresses.back(), 36, 0); };
  ScsiCommand inquiry = Cleared();
  inquiry.flags = kFlagDataIn;
  inquiry.data_buffer = buffer_;
  inquiry.data_length = 56;
  EXPECT_EQ(SendScsiCommand(inquiry, 1000), 1);
  EXPECT_EQ(fake_.attempts, 1u);
}
