// Drive identification, the image directory and the model rules.
#pragma once
#include "app/app_state.h"

constexpr const char* kHiddenSwitch = "/QKV517";

// Selects and identifies drives 0..drive_count-1 into the drive identity table
// (which must be allocated, drive_count entries).
void IdentifyDrives();
// Walks the payload backwards through the executable file and fills the
// image directory (at most kMaxDirectoryEntries entries). Returns the count.
int ReadImageDirectory();
bool ImageAppliesToDrive(int entry, int drive);
int CountImagesForDrive(int drive);
// The DOS-only rule and the read-back switch. false when refused (after the
// "This drive must be updated in DOS !!" message box).
bool ApplyModelRules(int drive);
// Start-up checks after identification. Returns 0 to go on, 1 when the
// DOS-only rule refused (message shown), 2 on a model mismatch.
int StartupModelChecks();
// The accept step of the main dialog: true when the user confirmed.
// caption: the application's name for the Yes/No question.
bool AcceptStep(uint8_t drive, int entry, const char* caption);
