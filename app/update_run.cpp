// The update run's order, shared by the Windows and the Linux program.
#include "app/update_run.h"

#include <new>

#include "base/app_state.h"
#include "base/payload.h"
#include "drive/identify.h"
#include "drive/transfer.h"

namespace {

constexpr int kFinishKind = kMessageKindFinish;
constexpr int kErrorKind = kMessageKindError;
constexpr int kProgramIcon = kMessageIconProgram;
constexpr int kWarningIcon = kMessageIconWarning;
constexpr int kErrorIcon = kMessageIconError;

RunEnding End(RunFrontEnd& front, const RunReport& message, RunEnding ending) {
  front.ShowMessage(message, ending);
  return ending;
}

}  // namespace

RunReport NoDriveMessage() { return {"\r\nCD-ROM/RW drive is not found!", kErrorKind, kWarningIcon}; }
RunReport CannotOpenMessage(const std::string& path) {
  return {"\r\nCan't Open " + path + " ", kErrorKind, kWarningIcon};
}
RunReport DamagedMessage() { return {"\r\nThis file maybe damage please get new one!", kErrorKind, kErrorIcon}; }
RunReport MismatchMessage() { return {"\r\nModel name is mismatch!!", kErrorKind, kErrorIcon}; }
RunReport VersionMessage(const std::string& caption) { return {"\r\n" + caption, kFinishKind, kProgramIcon}; }

RunEnding EndingForResult(uint8_t result) {
  switch (result) {
    case TransferOk: return RunEnding::Updated;
    case CompareMismatch: return RunEnding::CompareError;
    case BufferWriteFailed: return RunEnding::BufferWriteError;
    case BufferReadFailed: return RunEnding::BufferReadError;
    case FlashFailed: return RunEnding::FlashError;
    default: return RunEnding::TransferError;
  }
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

  switch (StartupModelChecks()) {
    case 0:
      break;
    case 1:
      return RunEnding::DosOnly;  // the rule has shown its own message
    default:
      file->Close();
      return End(front, MismatchMessage(), RunEnding::ModelMismatch);
  }

  return ConfirmTransferReport(front);
}

RunEnding ConfirmTransferReport(RunFrontEnd& front) {
  UpdateState& state = AppState();
  const RunEnding choice = front.ChooseAndConfirm();
  if (choice != RunEnding::Updated) return choice;

  // From here on the drive's firmware is being replaced: nothing stops it.
  front.BeginCriticalStretch();
  state.result = front.Transfer();
  front.EndCriticalStretch();
  if (state.executable_file) state.executable_file->Close();

  const bool reports_new = front.AfterTransfer(state.result);
  // A flash command without a good answer may still have been carried out:
  // it counts as done only when the drive itself reports the new firmware.
  if (state.result == FlashFailed && reports_new) state.result = TransferOk;
  const RunEnding ending = EndingForResult(state.result);
  front.ShowMessage(ReportForResult(state.result), ending);
  return ending;
}
