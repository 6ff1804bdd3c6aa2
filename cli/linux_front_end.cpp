#include "cli/linux_front_end.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/app_state.h"
#include "base/payload.h"
#include "base/posix_files_linux.h"
#include "cli/exit_status.h"
#include "cli/history_linux.h"
#include "cli/interruptions.h"
#include "cli/parallel_runs_linux.h"
#include "cli/power_linux.h"
#include "drive/transfer.h"
#include "scsi/dispatcher.h"
#include "scsi/sg_discovery_linux.h"

namespace {

std::string Trimmed(const char* text) {
  std::string s(text);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string DriveName(const SgDrive& drive) {
  return drive.sg_path + (drive.block_name.empty() ? "" : " (/dev/" + drive.block_name + ")");
}

std::string DeniedDrive(const SgDrive& drive) {
  return "Permission denied: cannot open " + drive.sg_path + " (CD-ROM/RW drive" +
         (drive.block_name.empty() ? "" : " /dev/" + drive.block_name) + " at " + drive.hctl +
         ") for reading and writing.";
}

const char kPermissionAdvice[] =
    "Updating firmware needs write access to the drive's SCSI generic device. Either run\n"
    "  sudo fwupdate-linux ...\n"
    "or let your user write to it with a udev rule, for example in\n"
    "/etc/udev/rules.d/60-fwupdate.rules:\n"
    "  SUBSYSTEM==\"scsi_generic\", ATTRS{type}==\"5\", GROUP=\"cdrom\", MODE=\"0660\"\n"
    "then run \"udevadm trigger\" and make sure you are in the group cdrom.";

// The transfer's display on the terminal and, for a drive's run of
// --all-drives, as events to the program that started it.
class ReportingSink : public ProgressSink {
 public:
  ReportingSink(Terminal& terminal, int fd, int total) : terminal_(terminal), fd_(fd), total_(total) {}
  void SetStatus(const char* text) override {
    terminal_.SetStatus(text);
    if (fd_ >= 0) ReportStatus(fd_, text ? text : "");
  }
  void SetPosition(int position) override {
    terminal_.SetPosition(position);
    if (fd_ >= 0) ReportProgress(fd_, position, total_);
  }

 private:
  Terminal& terminal_;
  int fd_;
  int total_;
};

const char* FlashModeText(FlashMode mode) { return mode == FlashMode::k4k ? "40h (4k)" : "80h (default)"; }

}  // namespace

LinuxFrontEnd::LinuxFrontEnd(const CliOptions& options, Terminal& terminal, FILE* in)
    : options_(options), terminal_(terminal), in_(in) {}

int LinuxFrontEnd::FindDrives(RunEnding* ending) {
  const SgDiscovery found = DiscoverSgDrives(options_.drive);
  if (found.named_drive_missing) {
    terminal_.Complain(options_.drive + " is not a CD-ROM/RW drive: no SCSI generic device of type 5 has that name.\n"
                       "Run fwupdate-linux --list to see the drives.");
    *ending = RunEnding::DriveNotNamed;
    return -1;
  }
  bool denied = false;
  bool busy = false;
  for (const SgDrive& drive : found.unreachable) {
    if (drive.not_cdrom) {
      terminal_.Complain(drive.sg_path + " does not answer as a CD-ROM/RW drive now; it is passed over.");
    } else if (drive.open_errno == EBUSY) {
      busy = true;
      terminal_.Complain(DriveName(drive) + ": the drive is in use by another program.");
    } else if (drive.open_errno == EACCES || drive.open_errno == EPERM) {
      denied = true;
      terminal_.Complain(DeniedDrive(drive));
    } else {
      terminal_.Complain("Cannot open " + drive.sg_path + ": " + std::strerror(drive.open_errno));
    }
  }
  if (denied) terminal_.Complain(kPermissionAdvice);
  // Drives that the user may not open are never "not found".
  if (found.reachable == 0 && denied) {
    *ending = RunEnding::NoPermission;
    return -1;
  }
  // Nor are drives that another program holds.
  if (found.reachable == 0 && busy) {
    drive_busy_ = true;
    *ending = RunEnding::NoDrive;
    return -1;
  }
  return found.reachable;
}

ExeFile* LinuxFrontEnd::OpenPayloadFile() {
  std::string why;
  if (!file_.Open(options_.updater.c_str(), &why)) {
    // The table's "Can't Open" follows; this says why.
    terminal_.Complain(options_.updater + ": " + why);
    return nullptr;
  }
  return &file_;
}

void LinuxFrontEnd::RefuseSplit(const std::string& reason) {
  output_refused_ = true;
  terminal_.Complain("Refused --split " + options_.split_dir + ": " + reason + ". Nothing was written.");
}

bool LinuxFrontEnd::SplitImagesOut() {
  const UpdateState& state = AppState();
  const OutputOpen dir = OpenSplitDirectory(options_.split_dir);
  if (dir.verdict == OutputOpen::kRefused) {
    RefuseSplit(dir.reason);
    return false;
  }
  if (dir.verdict == OutputOpen::kFailed) terminal_.Complain("Can't open " + options_.split_dir + ": " + dir.reason);
  // Every name is looked at before the first file is written, so a refusal
  // leaves the directory as it was.
  const int count =
      state.executable_contents ? WalkPayload(state.executable_contents.get(), state.executable_size, nullptr) : -1;
  if (dir.verdict == OutputOpen::kOpen && count > 0) {
    const OutputOpen names = CheckSplitNames(options_.split_dir, count);
    if (names.verdict != OutputOpen::kOpen) {
      CloseSplitDirectory();
      RefuseSplit(names.reason);
      return false;
    }
  }
  const SplitReport report = SplitImages(options_.split_dir, PosixSplitFileOps(), '/');
  CloseSplitDirectory();
  terminal_.Say(report.text);
  return report.status == SplitStatus::Written;
}

void LinuxFrontEnd::ReadFailed() { terminal_.Complain("Can't read " + options_.updater); }

std::string LinuxFrontEnd::DriveLabel(int drive) const {
  const UpdateState& state = AppState();
  const DriveIdentity& id = state.drive_identity_table[drive];
  const SgDrive* sg = SgDriveAt(drive);
  std::string label = sg ? sg->sg_path : "drive " + std::to_string(drive + 1);
  if (sg && !sg->block_name.empty()) label += " (/dev/" + sg->block_name + ")";
  label += "  " + Trimmed(id.vendor_identification) + " " + Trimmed(id.product_identification);
  if (id.model_name[0]) {
    label += "  model " + Trimmed(id.model_name) + ", firmware " + id.firmware_version;
  } else {
    label += "  (no answer to identify)";
  }
  return label;
}

void LinuxFrontEnd::ListDrives() {
  const UpdateState& state = AppState();
  if (planning_) return;
  if (options_.json) {
    std::vector<DriveFacts> drives;
    for (int d = 0; d < state.drive_count; ++d) drives.push_back(DriveFactsOf(d));
    std::fputs(JsonText(ListDocument(drives)).c_str(), stdout);
    return;
  }
  for (int d = 0; d < state.drive_count; ++d) {
    terminal_.Say(DriveLabel(d));
    int fitting = 0;
    for (int e = 0; e < state.image_count && e < kMaxDirectoryEntries; ++e) {
      if (!ImageAppliesToDrive(e, d)) continue;
      ++fitting;
      terminal_.Say("    image " + std::to_string(e + 1) + ": " + state.image_directory[e].image_name);
    }
    if (fitting == 0) terminal_.Say("    no image of this updater fits this drive");
  }
}

void LinuxFrontEnd::ShowMessage(const RunReport& message, RunEnding ending) {
  said_ = MessageLines(message.text);
  switch (ending) {
    case RunEnding::Updated: {
      if (still_old_) {
        said_ = std::string("ERROR!! After the update the drive still reports its old firmware Ver ") +
                check_.firmware_version + ": the new firmware did not take.";
        terminal_.Complain(said_ + " Nothing more was sent to it. Run the updater again; if the drive keeps its "
                                   "old firmware, ask its vendor.");
        return;
      }
      if (flash_unanswered_)
        terminal_.Say("The drive gave no good answer to the flash command, but it reports the new firmware.");
      // The first line of the finish text; a reboot is not what Linux needs.
      terminal_.Say("The firmware of drive has been updated already.");
      const std::string& target = AppState().target_image_name;
      const std::string version = target.size() >= 4 ? target.substr(target.size() - 4) : target;
      if (check_.confirmed) {
        terminal_.Say(std::string("The drive now reports firmware Ver ") + check_.firmware_version + ".");
      } else if (check_.answered) {
        terminal_.Say(std::string("The drive now reports ") + Trimmed(check_.model_name) + " firmware Ver " +
                      check_.firmware_version + ", not Ver " + version +
                      ": the new firmware could not be confirmed. This is not an error of the update, and not "
                      "a confirmation either.");
      } else {
        terminal_.Say("The drive did not answer after the update: its new firmware (Ver " + version +
                      ") could not be confirmed. This is not an error of the update, and not a confirmation "
                      "either; the drive may still be resetting.");
      }
      const SgDrive* sg = SgDriveAt(AppState().current_drive_index);
      const std::string hctl = sg && !sg->hctl.empty() ? sg->hctl : "H:C:T:L";
      terminal_.Say("The system may still see the drive as it was. It re-reads the drive when a disc is\n"
                    "inserted again; to make it re-read the drive now, run as root:\n"
                    "  echo 1 > /sys/class/scsi_device/" + hctl + "/device/rescan");
      return;
    }
    case RunEnding::FlashError:
      // What the drive said when it was asked again after the settle.
      if (check_.answered) {
        terminal_.Complain(std::string("After the flash command the drive reports ") + Trimmed(check_.model_name) +
                           " firmware Ver " + check_.firmware_version + ".");
      } else if (flash_unanswered_) {
        terminal_.Complain("After the flash command the drive did not answer.");
      }
      break;
    case RunEnding::TransferError:
      // A result without a text of its own still says what became of the drive.
      if (MessageLines(message.text).empty()) {
        terminal_.Complain("ERROR!! The firmware could not be sent whole; the drive was not told to program it.");
        return;
      }
      break;
    default:
      break;
  }
  if (message.kind == MessageKind::Error) {
    terminal_.Complain(message.text);
  } else {
    terminal_.Say(message.text);
  }
}

void LinuxFrontEnd::ShowRefusal(const char* text) { terminal_.Complain(text ? text : ""); }

bool LinuxFrontEnd::AskQuestion(const std::string& question) {
  std::string text(question);
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (options_.json && !options_.yes) {
    // No prompts under --json: a question nobody can answer is answered No.
    terminal_.Complain(text + " -- no question is asked with --json: No (add --yes).");
    return false;
  }
  return terminal_.AskYesNo(text, options_.yes, in_);
}

int LinuxFrontEnd::ChooseOne(const std::vector<int>& fitting, const std::vector<std::string>& labels,
                             const Choice& choice, RunEnding* ending) {
  if (fitting.size() == 1) return fitting[0];
  if (fitting.empty()) {
    // Only with the hidden switch off and nothing that fits this drive: the
    // start-up checks let a run through when another drive fits.
    terminal_.Complain(MismatchMessage().text);
    *ending = RunEnding::ModelMismatch;
    return -1;
  }
  if (options_.yes || options_.json) {
    terminal_.Complain(choice.cannot_choose);
    *ending = RunEnding::ChoiceNeeded;
    return -1;
  }
  terminal_.Say(choice.heading);
  for (size_t i = 0; i < fitting.size(); ++i) terminal_.Say("  " + std::to_string(i + 1) + ") " + labels[i]);
  const int n = terminal_.AskNumber(choice.prompt, static_cast<int>(fitting.size()), in_);
  if (n == 0) {
    *ending = RunEnding::Declined;
    return -1;
  }
  return fitting[static_cast<size_t>(n - 1)];
}

int LinuxFrontEnd::ChooseDrive(RunEnding* ending) {
  const UpdateState& state = AppState();
  std::vector<int> fitting;
  std::vector<std::string> labels;
  for (int d = 0; d < state.drive_count; ++d) {
    if (CountImagesForDrive(d) == 0) continue;
    fitting.push_back(d);
    labels.push_back(DriveLabel(d));
  }
  return ChooseOne(fitting, labels,
                   {"Drives this updater fits:", "Drive to update?",
                    "Several drives fit this updater: name one with --drive."},
                   ending);
}

int LinuxFrontEnd::ChooseImage(int drive, RunEnding* ending) {
  const UpdateState& state = AppState();
  std::vector<int> fitting;
  std::vector<std::string> labels;
  for (int e = 0; e < state.image_count && e < kMaxDirectoryEntries; ++e) {
    if (!ImageAppliesToDrive(e, drive)) continue;
    fitting.push_back(e);
    labels.push_back(state.image_directory[e].image_name);
  }
  return ChooseOne(fitting, labels,
                   {"Images for this drive:", "Image to install?",
                    "Several images of this updater fit the drive; run without --yes to choose one."},
                   ending);
}

RunEnding LinuxFrontEnd::ChooseAndConfirm() {
  RunEnding ending = RunEnding::Declined;
  const int drive = ChooseDrive(&ending);
  if (drive < 0) return ending;
  const int entry = ChooseImage(drive, &ending);
  if (entry < 0) return ending;
  terminal_.Say("Drive: " + DriveLabel(drive));
  chosen_drive_ = drive;
  if (!HoldChosenDrive(drive)) return RunEnding::Declined;  // main tells the status
  if (!PowerAllows()) return RunEnding::Declined;         // main tells the status
  WarnUnfinished(drive);
  const AcceptVerdict verdict = AcceptStep(static_cast<uint8_t>(drive), entry, "");
  if (verdict.outcome == AcceptOutcome::Refused) ShowRefusal(verdict.text.c_str());
  if (options_.dry_run && verdict.outcome == AcceptOutcome::Ask) {
    ShowDryRun(entry, verdict.text);
    return RunEnding::NothingToDo;
  }
  const bool yes = verdict.outcome == AcceptOutcome::Ask && AskQuestion(verdict.text);
  return AcceptEnding(verdict, yes);
}

bool LinuxFrontEnd::PowerAllows() {
  const PowerCheck power = CheckPower(kPowerSupplyRoot);
  switch (power.verdict) {
    case PowerCheck::kNoBattery:
    case PowerCheck::kExternalPower:
      return true;
    case PowerCheck::kWarn:
      terminal_.Complain(power.message);
      return true;
    case PowerCheck::kRefuse:
      if (options_.ignore_power) {
        terminal_.Complain(power.message + " Going on: --ignore-power.");
        return true;
      }
      power_refused_ = true;
      terminal_.Complain(power.message + " Nothing was sent to the drive.");
      return false;
  }
  return true;
}

void LinuxFrontEnd::WarnUnfinished(int drive) {
  const HistoryRead history = ReadHistory(kHistoryDir);
  if (!history.ok) return;
  const DriveFacts facts = DriveFactsOf(drive);
  const DriveIdentity& id = AppState().drive_identity_table[drive];
  for (const HistoryRecord& record :
       UnfinishedFor(history.records, facts.hctl.empty() ? facts.path : facts.hctl, id.vendor_identification,
                     id.model_name)) {
    terminal_.Complain("Warning: an update of this drive started at " + Harmless(record.started) + " (image " +
                       Harmless(record.start.image) +
                       ") and never finished: the machine may have lost power or stopped during it. The drive "
                       "may hold a broken firmware; the update below may mend it.");
  }
}

void LinuxFrontEnd::ShowDryRun(int entry, const std::string& question) {
  dry_run_done_ = true;
  const UpdateState& state = AppState();
  const ImageDirectoryEntry& image = state.image_directory[entry];
  const uint32_t chunks = (image.image_size + kChunkSize - 1) / kChunkSize;
  std::string text = "Dry run: nothing that changes the drive was sent.\nWould send image " +
                     Harmless(image.image_name) + " (" + std::to_string(image.image_size) + " bytes) in " +
                     std::to_string(chunks) + " Write Buffer commands of " + std::to_string(kChunkSize) + " bytes";
  text += state.read_back_verification ? ", each read back and compared" : ", without read-back";
  text += std::string(", then Update Firmware, mode ") + FlashModeText(state.options.flash_mode) + ".";
  std::string asked = question;
  for (char& c : asked) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  text += "\nWould ask: " + asked;
  said_ = text;
  terminal_.Say(text);
}

DriveFacts LinuxFrontEnd::DriveFactsOf(int drive) const {
  DriveFacts facts;
  const UpdateState& state = AppState();
  if (drive < 0 || drive >= state.drive_count || !state.drive_identity_table) return facts;
  const DriveIdentity& id = state.drive_identity_table[drive];
  if (const SgDrive* sg = SgDriveAt(drive)) {
    facts.path = sg->sg_path;
    facts.block = sg->block_name.empty() ? "" : "/dev/" + sg->block_name;
    facts.hctl = sg->hctl;
  }
  facts.vendor = Trimmed(id.vendor_identification);
  facts.product = Trimmed(id.product_identification);
  facts.model = Trimmed(id.model_name);
  facts.firmware = id.firmware_version;
  for (int e = 0; e < state.image_count && e < kMaxDirectoryEntries; ++e) {
    if (ImageAppliesToDrive(e, drive)) facts.images.push_back(state.image_directory[e].image_name);
  }
  return facts;
}

UpdateFacts LinuxFrontEnd::Facts(RunEnding ending, int status) const {
  UpdateFacts facts;
  facts.drive = DriveFactsOf(chosen_drive_);
  const UpdateState& state = AppState();
  if (chosen_drive_ >= 0 && state.target_image_entry >= 0) facts.image = state.target_image_name;
  if (check_.answered) facts.firmware_after = check_.firmware_version;
  facts.ending = EndingWord(ending, status);
  facts.exit_status = status;
  facts.message = said_;
  facts.dry_run = dry_run_done_;
  if (dry_run_done_ && ending == RunEnding::NothingToDo) facts.ending = "dry-run";
  if (dry_run_done_ && state.target_image_entry >= 0 && state.target_image_entry < kMaxDirectoryEntries) {
    facts.image = state.target_image_name;
    facts.image_size = state.image_directory[state.target_image_entry].image_size;
    facts.chunks = (facts.image_size + kChunkSize - 1) / kChunkSize;
    facts.flash_mode = state.options.flash_mode == FlashMode::k4k ? "4k" : "default";
    facts.read_back = state.read_back_verification;
  }
  return facts;
}

void LinuxFrontEnd::BeginHistory() {
  const UpdateState& state = AppState();
  const int drive = state.current_drive_index;
  const DriveFacts facts = DriveFactsOf(drive);
  HistoryStart start;
  start.drive = facts.path;
  start.hctl = facts.hctl;
  start.vendor = state.drive_identity_table[drive].vendor_identification;
  start.model = state.drive_identity_table[drive].model_name;
  start.firmware_before = facts.firmware;
  start.image = state.target_image_name;
  const HistoryWrite written = BeginRecord(kHistoryDir, start);
  if (written.ok) {
    history_id_ = written.id;
  } else {
    terminal_.Complain("Warning: the update is not recorded in the history (" + std::string(kHistoryDir) +
                       "): " + written.reason + ".");
  }
}

void LinuxFrontEnd::FinishHistory(RunEnding ending, int status) {
  if (history_id_.empty()) return;
  const HistoryWrite written = FinishRecord(kHistoryDir, history_id_, check_.answered ? check_.firmware_version : "",
                                            EndingWord(ending, status), status);
  if (!written.ok) terminal_.Complain("Warning: the end of the update is not recorded in the history: " + written.reason + ".");
  history_id_.clear();
}

bool LinuxFrontEnd::HoldChosenDrive(int drive) {
  const SgDrive* sg = SgDriveAt(drive);
  const std::string name = sg ? DriveName(*sg) : "the drive";
  int error = 0;
  switch (HoldSgDrive(drive, &error)) {
    case SgHold::kHeld:
      return true;
    case SgHold::kBusy:
      drive_busy_ = true;
      terminal_.Complain(name + ": the drive is in use by another program. Nothing was sent to it; "
                         "run the updater again when the other program has finished.");
      return false;
    case SgHold::kFailed:
      drive_lost_ = true;
      terminal_.Complain("Cannot open " + name + " again: " + std::strerror(error) + ". Nothing was sent to it.");
      return false;
    case SgHold::kChanged:
      drive_lost_ = true;
      terminal_.Complain(name + " no longer answers as the drive identified above (it was removed or replaced). "
                         "Nothing was sent to it; run the updater again.");
      return false;
  }
  return false;
}

uint8_t LinuxFrontEnd::Transfer() {
  // The record is on disk before the first buffer command: an update cut
  // off by a power loss shows as started and never finished.
  BeginHistory();
  // The warning is on screen before the transfer sends anything; signals and
  // sleep are held by the transfer itself (Host().update_guard).
  terminal_.BeginTransfer();
  ReportingSink sink(terminal_, options_.report_fd, AppState().progress_total);
  AppState().progress_sink = &sink;
  const TransferResult result = RunTransfer();
  AppState().progress_sink = nullptr;
  terminal_.EndTransfer();
  return static_cast<uint8_t>(result);
}

void LinuxUpdateGuard(bool active) {
  if (active) {
    HoldSignals();
    InhibitSleep();
  } else {
    ReleaseSleep();
    ReleaseSignals();
  }
}

bool LinuxFrontEnd::AfterTransfer(uint8_t result) {
  const SgDrive* sg = SgDriveAt(AppState().current_drive_index);
  if (sg && sg->abandoned) {
    terminal_.Complain("The drive did not answer a command within its time-out and " +
                       std::to_string(kSgWaitMarginMs / 1000) +
                       " s more. The program stopped waiting for it and sent it nothing more.");
  }
  // A flash command without a good answer may have been carried out all the
  // same: the drive is asked, as after one that was.
  if (result != TransferOk && result != FlashFailed) return false;
  flash_unanswered_ = result == FlashFailed;
  terminal_.Say("Asking the drive for its new firmware ...");
  const UpdateState& state = AppState();
  check_ = ConfirmFirmware(static_cast<uint8_t>(state.current_drive_index), state.target_image_name,
                           kConfirmRounds, kConfirmPauseMs);
  // The flash command was answered, yet the drive still names the firmware
  // it had: the new one did not take, whatever the drive said before. An
  // image without a name gives the drive nothing else to report: no verdict.
  const DriveIdentity& before = state.drive_identity_table[state.current_drive_index];
  const bool image_named = Trimmed(state.target_image_name.c_str()).size() > 0;
  still_old_ = result == TransferOk && image_named && check_.answered && !check_.confirmed &&
               std::strcmp(check_.model_name, before.model_name) == 0 &&
               std::strcmp(check_.firmware_version, before.firmware_version) == 0;
  return check_.confirmed;
}
