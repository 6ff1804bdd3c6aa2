// Drive identification, the image directory and the model rules.
#pragma once
#include <string>

#include "base/app_state.h"

// Selects and identifies drives 0..drive_count-1 into the drive identity table
// (which must be allocated, drive_count entries).
void IdentifyDrives();
// Walks the payload backwards through the checked copy of the program file
// (PayloadCopy) and fills the image directory (at most kMaxDirectoryEntries
// entries). Returns the count.
int ReadImageDirectory();
bool ImageAppliesToDrive(int entry, int drive);
int CountImagesForDrive(int drive);
// What the model rules decided about a drive: go on, or refused (with the
// text the front end shows before the run ends, where there is one).
enum class ModelRule : uint8_t { GoOn, DosOnly, Mismatch, NoSuchDrive };
struct ModelVerdict {
  ModelRule rule = ModelRule::NoSuchDrive;
  const char* refusal = nullptr;  // the DOS-only text; null for every other rule
  bool go_on() const { return rule == ModelRule::GoOn; }
};
constexpr const char kDosOnlyText[] = "This drive must be updated in DOS !!";

// The DOS-only rule and the read-back switch: GoOn (read-back set in the
// state), DosOnly (state unchanged) or NoSuchDrive.
ModelVerdict ApplyModelRules(int drive);
// Start-up checks after identification: GoOn; DosOnly (or NoSuchDrive) when
// the rules refuse the only drive, before any mismatch; Mismatch when no
// image fits any drive.
ModelVerdict StartupModelChecks();

// What the accept step decided before the user's answer.
enum class AcceptOutcome : uint8_t {
  NotAccepted,  // no such drive or entry, or the drive could not be made current: nothing to show
  Refused,      // the model rules refused the drive: show text, the run ends
  Ask,          // ask text (caption): the transfer goes ahead only on Yes
};
struct AcceptVerdict {
  AcceptOutcome outcome = AcceptOutcome::NotAccepted;
  std::string text;     // the refusal or the question
  std::string caption;  // the question's caption
};
// The accept step of the main dialog: makes the drive current and entry the
// image the transfer sends, applies the model rules and words the question.
// Nothing is shown or asked here: the front end does that with the verdict.
AcceptVerdict AcceptStep(uint8_t drive, int entry, const char* caption);

// After an update: what the drive reports when asked again. A drive that is
// still resetting answers with a unit attention (which the dispatcher counts
// as done, with no data) or not at all, so an answer without a model name is
// no answer.
struct FirmwareCheck {
  bool answered = false;   // the drive reported a model name
  bool confirmed = false;  // it reported exactly the image's model and version
  char model_name[10 + 1] = {};
  char firmware_version[4 + 1] = {};
};
// Asks drive `drive` for its model and version up to `rounds` times, pausing
// pause_ms (Host().sleep_ms) between asks, until it reports image_name
// (10 characters of model, 4 of version). The last answer stays in the result.
FirmwareCheck ConfirmFirmware(uint8_t drive, const std::string& image_name, int rounds, uint32_t pause_ms);
