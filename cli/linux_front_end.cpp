#include "cli/linux_front_end.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/app_state.h"
#include "base/payload.h"
#include "base/posix_files_linux.h"
#include "cli/interruptions.h"
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
  switch (ending) {
    case RunEnding::Updated: {
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
  if (options_.yes) {
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
  if (!HoldChosenDrive(drive)) return RunEnding::Declined;  // main tells the status
  const AcceptVerdict verdict = AcceptStep(static_cast<uint8_t>(drive), entry, "");
  if (verdict.outcome == AcceptOutcome::Refused) ShowRefusal(verdict.text.c_str());
  const bool yes = verdict.outcome == AcceptOutcome::Ask && AskQuestion(verdict.text);
  return AcceptEnding(verdict, yes);
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
  // The warning is on screen before the transfer sends anything; signals and
  // sleep are held by the transfer itself (Host().update_guard).
  terminal_.BeginTransfer();
  AppState().progress_sink = &terminal_;
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
  check_ = ConfirmFirmware(static_cast<uint8_t>(AppState().current_drive_index), AppState().target_image_name,
                           kConfirmRounds, kConfirmPauseMs);
  return check_.confirmed;
}
