// The update run's order, shared by the Windows and the Linux program.
#include "app/update_run.h"

#include <new>

#include "base/app_state.h"
#include "base/payload.h"
#include "drive/transfer.h"

namespace {

constexpr int kNoResult = -1;
constexpr MessageIcon kNoIcon = MessageIcon::Error;  // lines without a message of their own

const EndingLine kEndings[] = {
    {RunEnding::Updated, nullptr, kNoIcon, TransferOk, true, "updated"},
    {RunEnding::NothingToDo, nullptr, kNoIcon, kNoResult, false, "nothing-to-do"},
    {RunEnding::NoDrive, "\r\nCD-ROM/RW drive is not found!", MessageIcon::Warning, kNoResult, false, "no-drive"},
    {RunEnding::CannotOpen, "\r\nCan't Open %s ", MessageIcon::Warning, kNoResult, false, "cannot-open"},
    {RunEnding::ReadFailed, nullptr, kNoIcon, kNoResult, false, "read-failed"},
    {RunEnding::Damaged, "\r\nThis file maybe damage please get new one!", MessageIcon::Error, kNoResult, false, "damaged"},
    {RunEnding::ModelMismatch, "\r\nModel name is mismatch!!", MessageIcon::Error, kNoResult, false, "model-mismatch"},
    // The refusal of the model rules (kDosOnlyText), in a plain box.
    {RunEnding::DosOnly, nullptr, kNoIcon, kNoResult, false, "dos-only"},
    {RunEnding::Declined, nullptr, kNoIcon, kNoResult, false, "declined"},
    {RunEnding::CompareError, nullptr, kNoIcon, CompareMismatch, true, "compare-error"},
    {RunEnding::BufferWriteError, nullptr, kNoIcon, BufferWriteFailed, true, "buffer-write-error"},
    {RunEnding::BufferReadError, nullptr, kNoIcon, BufferReadFailed, true, "buffer-read-error"},
    {RunEnding::FlashError, nullptr, kNoIcon, FlashFailed, true, "flash-error"},
    // Every other result, with or without a text of its own.
    {RunEnding::TransferError, nullptr, kNoIcon, kNoResult, true, "transfer-error"},
    {RunEnding::NoPermission, nullptr, kNoIcon, kNoResult, false, "no-permission"},
    {RunEnding::DriveNotNamed, nullptr, kNoIcon, kNoResult, false, "drive-not-named"},
    {RunEnding::SplitFailed, nullptr, kNoIcon, kNoResult, false, "split-failed"},
    {RunEnding::ChoiceNeeded, nullptr, kNoIcon, kNoResult, false, "choice-needed"},
};
constexpr size_t kEndingCount = sizeof kEndings / sizeof kEndings[0];
static_assert(kEndingCount == static_cast<size_t>(RunEnding::ChoiceNeeded) + 1, "one line per ending");

// The line of an ending (the table is in the order of RunEnding).
const EndingLine& LineFor(RunEnding ending) { return kEndings[static_cast<size_t>(ending)]; }

// The error message the table gives an ending, path put in for "%s".
RunReport TableMessage(RunEnding ending, const std::string& path = "") {
  const EndingLine& line = LineFor(ending);
  std::string text = line.text ? line.text : "";
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, path);
  return {text, MessageKind::Error, line.icon};
}

RunEnding End(RunFrontEnd& front, const RunReport& message, RunEnding ending) {
  front.ShowMessage(message, ending);
  return ending;
}

}  // namespace

const EndingLine* RunEndings(size_t* count) {
  if (count) *count = kEndingCount;
  return kEndings;
}

bool TransferRan(RunEnding ending) { return LineFor(ending).transferred; }

const char* EndingName(RunEnding ending) {
  return static_cast<size_t>(ending) < kEndingCount ? LineFor(ending).name : "unknown";
}

RunReport NoDriveMessage() { return TableMessage(RunEnding::NoDrive); }
RunReport CannotOpenMessage(const std::string& path) { return TableMessage(RunEnding::CannotOpen, path); }
RunReport DamagedMessage() { return TableMessage(RunEnding::Damaged); }
RunReport MismatchMessage() { return TableMessage(RunEnding::ModelMismatch); }
RunReport VersionMessage(const std::string& caption) {
  return {"\r\n" + caption, MessageKind::Finish, MessageIcon::Program};
}

RunEnding EndingForResult(uint8_t result) {
  for (const EndingLine& line : kEndings) {
    if (line.result == result) return line.ending;
  }
  return RunEnding::TransferError;
}

RunEnding AcceptEnding(const AcceptVerdict& verdict, bool yes) {
  switch (verdict.outcome) {
    case AcceptOutcome::Ask: return yes ? RunEnding::Updated : RunEnding::Declined;
    case AcceptOutcome::Refused: return RunEnding::DosOnly;
    case AcceptOutcome::NotAccepted: break;
  }
  // Nothing was shown or asked: the run ends as a refusal before the question.
  return RunEnding::DosOnly;
}

RunEnding RunUpdate(RunFrontEnd& front) {
  UpdateState& state = AppState();
  if (front.SplitMode()) {
    state.drive_count = 1;  // no transport is brought up
  } else {
    RunEnding own = RunEnding::NoDrive;
    const int found = front.FindDrives(&own);
    if (found < 0) return own;
    state.drive_count = found;
  }
  if (state.drive_count <= 0) return End(front, NoDriveMessage(), RunEnding::NoDrive);

  ExeFile* file = front.OpenPayloadFile();
  if (!file || !file->IsOpen()) return End(front, CannotOpenMessage(front.PayloadPath()), RunEnding::CannotOpen);
  state.executable_file = file;
  switch (LoadAndCheck(*file)) {
    case LoadResult::Intact:
      break;
    case LoadResult::ReadFailed:
      front.ReadFailed();
      return RunEnding::ReadFailed;
    case LoadResult::Damaged:
      front.ShowMessage(DamagedMessage(), RunEnding::Damaged);
      file->Close();
      return RunEnding::Damaged;
  }
  if (front.SplitMode()) {
    const bool written = front.SplitImagesOut();
    file->Close();
    return written ? RunEnding::NothingToDo : RunEnding::SplitFailed;
  }

  // A table that cannot be allocated leaves nothing to identify: end silently.
  state.drive_identity_table.reset(new (std::nothrow) DriveIdentity[state.drive_count]());
  if (!state.drive_identity_table) return RunEnding::ReadFailed;
  // From here on the checked copy is the payload; the file is not read again.
  state.image_count = ReadImageDirectory();
  IdentifyDrives();
  if (front.ListOnly()) {
    front.ListDrives();
    return RunEnding::NothingToDo;
  }

  const ModelVerdict checks = StartupModelChecks();
  if (checks.rule == ModelRule::Mismatch) {
    file->Close();
    return End(front, MismatchMessage(), RunEnding::ModelMismatch);
  }
  if (!checks.go_on()) {
    if (checks.refusal) front.ShowRefusal(checks.refusal);
    return RunEnding::DosOnly;
  }

  return ConfirmTransferReport(front);
}

RunEnding ConfirmTransferReport(RunFrontEnd& front) {
  UpdateState& state = AppState();
  const RunEnding choice = front.ChooseAndConfirm();
  if (choice != RunEnding::Updated) return choice;

  // The transfer holds off sleep and signals itself (Host().update_guard)
  // from its first buffer command to the end of the settle.
  state.result = front.Transfer();
  if (state.executable_file) state.executable_file->Close();

  const bool reports_new = front.AfterTransfer(state.result);
  // A flash command without a good answer may still have been carried out:
  // it counts as done only when the drive itself reports the new firmware.
  if (state.result == FlashFailed && reports_new) state.result = TransferOk;
  const RunEnding ending = EndingForResult(state.result);
  front.ShowMessage(ReportForResult(state.result), ending);
  return ending;
}
