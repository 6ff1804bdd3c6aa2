// Drive identification, the image directory and the model rules.
#pragma once
#include <string>

#include "base/app_state.h"

constexpr const char* kHiddenSwitch = "/QKV517";

// Selects and identifies drives 0..drive_count-1 into the drive identity table
// (which must be allocated, drive_count entries).
void IdentifyDrives();
// Walks the payload backwards through the checked copy of the program file
// (PayloadCopy) and fills the image directory (at most kMaxDirectoryEntries
// entries). Returns the count.
int ReadImageDirectory();
bool ImageAppliesToDrive(int entry, int drive);
int CountImagesForDrive(int drive);
// The DOS-only rule and the read-back switch. false when refused (after the
// "This drive must be updated in DOS !!" message box).
bool ApplyModelRules(int drive);
// Start-up checks after identification. Returns 0 to go on, 1 when the
// DOS-only rule refused (message shown), 2 on a model mismatch.
int StartupModelChecks();
// The accept step of the main dialog: true when the user confirmed. Makes
// the drive current and entry the image the transfer sends.
// caption: the application's name for the Yes/No question.
bool AcceptStep(uint8_t drive, int entry, const char* caption);

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
