// The shared update run against simulated drives, through a front end that
// records what it was asked to do: the order of the steps, every ending with
// its message, and that the transfer holds every buffer command.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/payload.h"
#include "app/update_run.h"
#include "../drive/drive_fixture.h"

namespace {

class RecordingFrontEnd : public RunFrontEnd {
 public:
  explicit RecordingFrontEnd(SimDrives& sim) : sim_(sim) {}

  int FindDrives(RunEnding* ending) override {
    events.push_back("find");
    if (own_ending) {
      *ending = *own_ending;
      return -1;
    }
    return drives;
  }
  ExeFile* OpenPayloadFile() override {
    events.push_back("open");
    return file_opens ? file : nullptr;
  }
  std::string PayloadPath() override { return "/x/MyUpdater"; }
  bool SplitMode() override { return split; }
  bool SplitImagesOut() override {
    events.push_back("split");
    return true;
  }
  void ReadFailed() override { events.push_back("readfailed"); }
  bool ListOnly() override { return list; }
  void ListDrives() override { events.push_back("list"); }
  void ShowMessage(const RunReport& message, RunEnding) override { events.push_back("message:" + message.text); }
  void ShowRefusal(const char* text) override { events.push_back(std::string("refusal:") + text); }
  // As the front ends do: the refusal shown, the question asked through the
  // host, the ending from the verdict and the answer.
  RunEnding ChooseAndConfirm() override {
    events.push_back("choose");
    if (choice != RunEnding::Updated) return choice;
    if (at_question) at_question();
    const AcceptVerdict verdict = AcceptStep(static_cast<uint8_t>(chosen_drive), 0, "fwupdate");
    if (verdict.outcome == AcceptOutcome::Refused) events.push_back("refusal:" + verdict.text);
    const bool yes =
        verdict.outcome == AcceptOutcome::Ask && Host().ask_yes_no(verdict.text.c_str(), verdict.caption.c_str());
    return AcceptEnding(verdict, yes);
  }
  uint8_t Transfer() override {
    events.push_back("transfer");
    commands_at_begin = sim_.Log().size();
    const uint8_t result = static_cast<uint8_t>(RunTransfer());
    commands_at_end = sim_.Log().size();
    return result;
  }
  bool AfterTransfer(uint8_t result) override {
    events.push_back("after:" + std::to_string(result));
    // As the Linux program does: the drive is asked after the settle.
    if (!ask_after || (result != TransferOk && result != FlashFailed)) return false;
    return ConfirmFirmware(0, AppState().target_image_name, 3, 1000).confirmed;
  }
  // Runs inside the question, before the user's answer.
  std::function<void()> at_question;

  std::vector<std::string> events;
  const RunEnding* own_ending = nullptr;
  int drives = 1;
  ExeFile* file = nullptr;
  bool file_opens = true;
  bool split = false;
  bool list = false;
  bool ask_after = false;
  RunEnding choice = RunEnding::Updated;
  int chosen_drive = 0;
  size_t commands_at_begin = 0;
  size_t commands_at_end = 0;

 private:
  SimDrives& sim_;
};

class UpdateRunTest : public DriveTest {
 protected:
  UpdateRunTest() : DriveTest(SimDrives::Mode::PassThrough), front(sim) {}
  void Prepare(const std::string& model, const std::string& version, uint32_t size = 0x10000) {
    AddDrive(model, version);
    std::vector<uint8_t> program(0x200, 0x90), packed;
    std::string error;
    ASSERT_TRUE(PackPayload(program, {Firmware("K53R-TX", "209B", size)}, &packed, &error)) << error;
    file = MemoryExeFile(packed);
    front.file = &file;
  }
  bool Saw(const std::string& event) const {
    for (const std::string& e : front.events) {
      if (e == event) return true;
    }
    return false;
  }
  size_t BufferCommands() const {
    return sim.Commands(SimKind::WriteBuffer).size() + sim.Commands(SimKind::ReadBuffer).size();
  }
  RecordingFrontEnd front;
};

TEST_F(UpdateRunTest, AnUpdateRunsInOrderWithEveryBufferCommandInsideTheTransfer) {
  Prepare("K53R-TX   ", "209A");
  EXPECT_EQ(RunUpdate(front), RunEnding::Updated);
  EXPECT_EQ(front.events, (std::vector<std::string>{
                              "find", "open", "choose", "transfer", "after:0",
                              "message:" + ReportForResult(TransferOk).text}));
  // Identification only before the transfer; every buffer command and the
  // flash inside it; nothing after it.
  for (size_t i = 0; i < front.commands_at_begin; ++i) {
    EXPECT_TRUE(sim.Log()[i].kind == SimKind::Inquiry || sim.Log()[i].kind == SimKind::IdentifyModel);
  }
  EXPECT_EQ(front.commands_at_end, sim.Log().size());
  EXPECT_EQ(sim.drive(0).flash_count(), 1);
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(UpdateRunTest, EndingsBeforeTheTransferSendNoBufferCommand) {
  Prepare("K53R-TX   ", "209A");
  front.drives = 0;
  EXPECT_EQ(RunUpdate(front), RunEnding::NoDrive);
  EXPECT_TRUE(Saw("message:" + NoDriveMessage().text));
  EXPECT_FALSE(Saw("open"));

  front.events.clear();
  front.drives = 1;
  const RunEnding denied = RunEnding::NoPermission;
  front.own_ending = &denied;
  EXPECT_EQ(RunUpdate(front), RunEnding::NoPermission);
  EXPECT_EQ(front.events, std::vector<std::string>{"find"});
  front.own_ending = nullptr;

  front.events.clear();
  front.file_opens = false;
  EXPECT_EQ(RunUpdate(front), RunEnding::CannotOpen);
  EXPECT_TRUE(Saw("message:\r\nCan't Open /x/MyUpdater "));
  front.file_opens = true;

  front.events.clear();
  file.Bytes()[0x300] ^= 1;
  EXPECT_EQ(RunUpdate(front), RunEnding::Damaged);
  EXPECT_TRUE(Saw("message:" + DamagedMessage().text));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(Saw("choose"));
  EXPECT_EQ(BufferCommands(), 0u);
}

TEST_F(UpdateRunTest, ModelRulesComeBeforeTheChoice) {
  Prepare("K53R-TX   ", "207Z");
  EXPECT_EQ(RunUpdate(front), RunEnding::DosOnly);
  EXPECT_EQ(front.events, (std::vector<std::string>{"find", "open", "refusal:This drive must be updated in DOS !!"}));
  EXPECT_TRUE(host.events.empty()) << "the front end shows the refusal, nothing else does";

  front.events.clear();
  sim.drive(0).identity().model = "K53R-PX   ";
  sim.drive(0).identity().version = "209A";
  file = MemoryExeFile(std::vector<uint8_t>(file.Bytes()));
  EXPECT_EQ(RunUpdate(front), RunEnding::ModelMismatch);
  EXPECT_TRUE(Saw("message:" + MismatchMessage().text));
  EXPECT_FALSE(Saw("choose"));
  EXPECT_EQ(BufferCommands(), 0u);
}

// With two drives the DOS-only rule waits for the accept step: its refusal
// there ends the run as DosOnly, No to the question as Declined, whatever
// else was shown or asked.
TEST_F(UpdateRunTest, TheAcceptStepsVerdictGivesTheEnding) {
  AddDrive("K53R-TX   ", "207Z");
  Prepare("K53R-TX   ", "209A");
  front.drives = 2;
  EXPECT_EQ(RunUpdate(front), RunEnding::DosOnly);
  EXPECT_EQ(front.events, (std::vector<std::string>{"find", "open", "choose",
                                                    "refusal:This drive must be updated in DOS !!"}));
  EXPECT_TRUE(host.events.empty()) << "no question after the refusal";

  const std::vector<uint8_t> bytes = file.Bytes();
  for (const bool answer : {false, true}) {
    SCOPED_TRACE(answer ? "Yes" : "No");
    front.events.clear();
    host.events.clear();
    host.answer = answer;
    front.chosen_drive = 1;
    file = MemoryExeFile(bytes);
    EXPECT_EQ(RunUpdate(front), answer ? RunEnding::Updated : RunEnding::Declined);
    EXPECT_FALSE(Saw("refusal:This drive must be updated in DOS !!"));
    ASSERT_FALSE(host.events.empty());
    EXPECT_EQ(host.events.front(), "ask:Are you sure to update firmware from\nVer 209A to Ver 209B|fwupdate");
  }
  EXPECT_EQ(sim.drive(0).flash_count(), 0);
  EXPECT_EQ(sim.drive(1).flash_count(), 1);

  AcceptVerdict nothing;  // no such drive or entry: nothing shown, nothing asked
  EXPECT_EQ(AcceptEnding(nothing, true), RunEnding::DosOnly);
  AcceptVerdict refused;
  refused.outcome = AcceptOutcome::Refused;
  EXPECT_EQ(AcceptEnding(refused, true), RunEnding::DosOnly);
}

TEST_F(UpdateRunTest, NoAtTheQuestionAndListingEndWithoutBufferCommands) {
  Prepare("K53R-TX   ", "209A");
  host.answer = false;
  EXPECT_EQ(RunUpdate(front), RunEnding::Declined);
  EXPECT_FALSE(Saw("transfer"));

  front.events.clear();
  front.list = true;
  file = MemoryExeFile(std::vector<uint8_t>(file.Bytes()));
  EXPECT_EQ(RunUpdate(front), RunEnding::NothingToDo);
  EXPECT_EQ(front.events, (std::vector<std::string>{"find", "open", "list"}));
  EXPECT_EQ(BufferCommands(), 0u);
}

TEST_F(UpdateRunTest, SplitModeFindsNoDrive) {
  Prepare("K53R-TX   ", "209A");
  sim.ClearLog();
  front.split = true;
  EXPECT_EQ(RunUpdate(front), RunEnding::NothingToDo);
  EXPECT_EQ(front.events, (std::vector<std::string>{"open", "split"}));
  EXPECT_TRUE(sim.Log().empty());
}

TEST_F(UpdateRunTest, ATransferFailureEndsWithItsMessageAndNoFlash) {
  Prepare("K53R-TX   ", "209A");
  SimFaultRule rule;
  rule.kind = SimKind::WriteBuffer;
  rule.count = 1000;
  sim.drive(0).AddFault(rule);
  EXPECT_EQ(RunUpdate(front), RunEnding::BufferWriteError);
  EXPECT_TRUE(Saw("transfer"));
  EXPECT_TRUE(Saw("after:2"));
  EXPECT_TRUE(Saw("message:\r\n BUFFER WRITE ERROR!!"));
  EXPECT_EQ(sim.drive(0).flash_count(), 0);
  EXPECT_EQ(EndingForResult(ChunkNotWordAligned), RunEnding::TransferError);
}

// A program file that holds one payload while the run reads it whole and
// another from then on, as one rewritten on disk right after its check.
class RewrittenAfterLoad : public ExeFile {
 public:
  RewrittenAfterLoad(std::vector<uint8_t> first, std::vector<uint8_t> then)
      : first_(std::move(first)), then_(std::move(then)) {}
  bool IsOpen() const override { return open_; }
  uint32_t Length() override { return static_cast<uint32_t>(first_.size()); }
  bool Seek(uint32_t position) override {
    if (position > first_.size()) return false;
    pos_ = position;
    return true;
  }
  uint32_t Tell() override { return pos_; }
  uint32_t Read(void* buffer, uint32_t n) override {
    const std::vector<uint8_t>& bytes = rewritten_ ? then_ : first_;
    if (pos_ >= bytes.size()) return 0;
    const uint32_t count = std::min<uint32_t>(n, static_cast<uint32_t>(bytes.size()) - pos_);
    std::copy(bytes.begin() + pos_, bytes.begin() + pos_ + count, static_cast<uint8_t*>(buffer));
    pos_ += count;
    if (pos_ == bytes.size()) rewritten_ = true;
    return count;
  }
  void Close() override { open_ = false; }

 private:
  std::vector<uint8_t> first_, then_;
  uint32_t pos_ = 0;
  bool rewritten_ = false;
  bool open_ = true;
};

std::vector<uint8_t> Packed(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> program(0x200, 0x90), packed;
  std::string error;
  EXPECT_TRUE(PackPayload(program, {image}, &packed, &error)) << error;
  return packed;
}

// What was checked is what is listed, asked about and flashed: the directory
// and the transfer read the checked copy, never the file again.
TEST_F(UpdateRunTest, TheCheckedCopyIsListedAndFlashedWhenTheFileChangesAfterItsCheck) {
  AddDrive("K53R-TX   ", "209A");
  const auto checked = Firmware("K53R-TX", "209B", 0x10000, 1);
  const auto other = Firmware("K53R-TX", "209C", 0x10000, 2);

  // Rewritten at once after the load: before the directory is read.
  RewrittenAfterLoad early(Packed(checked), Packed(other));
  front.file = &early;
  EXPECT_EQ(RunUpdate(front), RunEnding::Updated);
  EXPECT_STREQ(state.image_directory[0].image_name, "K53R-TX   209B");
  EXPECT_EQ(host.events.front(), "ask:Are you sure to update firmware from\nVer 209A to Ver 209B|fwupdate");
  EXPECT_EQ(sim.drive(0).Flashed(), checked);

  // Rewritten while the question waits: after the directory, before the transfer.
  sim.drive(0).identity().version = "209A";
  host.events.clear();
  file = MemoryExeFile(Packed(checked));
  front.file = &file;
  front.at_question = [&] { file.Bytes() = Packed(other); };
  EXPECT_EQ(RunUpdate(front), RunEnding::Updated);
  EXPECT_EQ(sim.drive(0).flash_count(), 2);
  EXPECT_EQ(sim.drive(0).Flashed(), checked);
}

// After a flash command without a good answer the drive may have programmed
// its flash: the ending is the flash error unless the drive, asked again
// after the settle, reports the new firmware. Either way the flash command
// went out once.
TEST_F(UpdateRunTest, AFlashWithoutAGoodAnswerIsTheFlashErrorUnlessTheDriveReportsTheNewFirmware) {
  const struct {
    const char* what;
    SimFaultKind fault;
    bool ask_after;
    RunEnding ending;
  } cases[] = {
      {"carried out, answer lost, drive asked", SimFaultKind::LostCompletion, true, RunEnding::Updated},
      {"carried out, answer lost, drive not asked", SimFaultKind::LostCompletion, false, RunEnding::FlashError},
      {"time-out, drive asked", SimFaultKind::NeverComplete, true, RunEnding::FlashError},
      {"transport error, drive asked", SimFaultKind::OsRejection, true, RunEnding::FlashError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim.Clear();
    Prepare("K53R-TX   ", "209A");
    SimFaultRule rule;
    rule.kind = SimKind::UpdateFirmware;
    rule.fault = c.fault;
    sim.drive(0).AddFault(rule);
    front.events.clear();
    front.ask_after = c.ask_after;
    EXPECT_EQ(RunUpdate(front), c.ending);
    EXPECT_EQ(sim.Commands(SimKind::UpdateFirmware).size(), 1u);
    const std::string message = c.ending == RunEnding::Updated ? ReportForResult(TransferOk).text
                                                               : ReportForResult(FlashFailed).text;
    EXPECT_EQ(front.events.back(), "message:" + message);
    EXPECT_EQ(sim.Log()[front.commands_at_end - 1].kind, SimKind::UpdateFirmware);
    for (size_t i = front.commands_at_end; i < sim.Log().size(); ++i)
      EXPECT_EQ(sim.Log()[i].kind, SimKind::IdentifyModel) << "after the transfer only the question";
  }
}

TEST_F(UpdateRunTest, TheDriveIsAskedForItsNewFirmwareUntilItAnswers) {
  Prepare("K53R-TX   ", "209A");
  EXPECT_EQ(RunUpdate(front), RunEnding::Updated);
  host.events.clear();
  // A drive still resetting: unit attentions (counted as done, with no data)
  // twice, then its new identity.
  SimFaultRule reset;
  reset.kind = SimKind::IdentifyModel;
  reset.count = 2;
  reset.sense = 0x2900;
  sim.drive(0).AddFault(reset);
  FirmwareCheck check = ConfirmFirmware(0, "K53R-TX   209B", 5, 1000);
  EXPECT_TRUE(check.confirmed);
  EXPECT_STREQ(check.firmware_version, "209B");
  EXPECT_EQ(host.events, (std::vector<std::string>{"sleep:1000", "sleep:1000"}));

  // Never the expected version: every round is used, the last answer kept.
  host.events.clear();
  check = ConfirmFirmware(0, "K53R-TX   209C", 3, 500);
  EXPECT_FALSE(check.confirmed);
  EXPECT_TRUE(check.answered);
  EXPECT_STREQ(check.model_name, "K53R-TX   ");
  EXPECT_EQ(host.events.size(), 2u);

  // No answer at all.
  SimFaultRule silent;
  silent.kind = SimKind::IdentifyModel;
  silent.count = 1000;
  silent.fault = SimFaultKind::OsRejection;
  sim.drive(0).AddFault(silent);
  check = ConfirmFirmware(0, "K53R-TX   209B", 4, 10);
  EXPECT_FALSE(check.answered);
  EXPECT_FALSE(check.confirmed);
}

}  // namespace
