#include "cli/exit_status.h"

#include <cstdio>

namespace {

const ExitStatusLine kLines[] = {
    {0, "updated, and the drive reports its new firmware (or --list, --split, --version done)"},
    {kExitUsage, "a switch or argument the program does not take"},
    {3, "CD-ROM/RW drive is not found!"},
    {4, "drives found, but no permission to open them (run with sudo, or a udev rule)"},
    {5, "--drive names no CD-ROM/RW drive"},
    {6, "Can't Open the updater file (missing, not a regular file, over 64 MiB)"},
    {7, "the updater file could not be read"},
    {8, "This file maybe damage please get new one!"},
    {9, "Model name is mismatch!!"},
    {10, "This drive must be updated in DOS !!"},
    {11, "answered No (nothing was sent to the drive)"},
    {12, "several drives or images fit and --yes cannot choose"},
    {13, "--split could not write an image file"},
    {kExitOutputRefused, "--log or --split refused as unsafe to write (nothing was written)"},
    {kExitDriveBusy, "the drive is in use by another program (nothing was sent to it)"},
    {kExitDriveLost, "the chosen drive no longer opens or answers as identified (nothing was sent to it)"},
    {20, "BIOS DATA COMPARE ERROR!!  (the drive kept its old firmware)"},
    {21, "BUFFER WRITE ERROR!!       (the drive kept its old firmware)"},
    {22, "BUFFER READ ERROR!!        (the drive kept its old firmware)"},
    {23, "BIOS UPDATE ERROR!!        (the drive refused to program its flash)"},
    {24, "the firmware could not be sent whole (the drive kept its old firmware)"},
    {kExitNotConfirmed, "updated, but the drive did not confirm its new firmware afterwards"},
};

}  // namespace

int ExitStatusFor(RunEnding ending, bool confirmed) {
  switch (ending) {
    case RunEnding::Updated: return confirmed ? 0 : kExitNotConfirmed;
    case RunEnding::NothingToDo: return 0;
    case RunEnding::NoDrive: return 3;
    case RunEnding::NoPermission: return 4;
    case RunEnding::DriveNotNamed: return 5;
    case RunEnding::CannotOpen: return 6;
    case RunEnding::ReadFailed: return 7;
    case RunEnding::Damaged: return 8;
    case RunEnding::ModelMismatch: return 9;
    case RunEnding::DosOnly: return 10;
    case RunEnding::Declined: return 11;
    case RunEnding::ChoiceNeeded: return 12;
    case RunEnding::SplitFailed: return 13;
    case RunEnding::CompareError: return 20;
    case RunEnding::BufferWriteError: return 21;
    case RunEnding::BufferReadError: return 22;
    case RunEnding::FlashError: return 23;
    case RunEnding::TransferError: return 24;
  }
  return 1;
}

const ExitStatusLine* ExitStatusLines(size_t* count) {
  if (count) *count = sizeof kLines / sizeof kLines[0];
  return kLines;
}

std::string ExitStatusHelp() {
  std::string text = "Exit status:\n";
  for (const ExitStatusLine& line : kLines) {
    char number[8];
    std::snprintf(number, sizeof number, "%4d  ", line.status);
    text += number;
    text += line.meaning;
    text += '\n';
  }
  return text;
}
