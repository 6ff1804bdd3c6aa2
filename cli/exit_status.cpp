#include "cli/exit_status.h"

#include <cstdio>

namespace {

using E = RunEnding;

// The one table of statuses: each with its meaning and the endings that give it.
const ExitStatusLine kLines[] = {
    {0, "updated, and the drive reports its new firmware (or --list, --split, --version done)",
     EndingBit(E::Updated) | EndingBit(E::NothingToDo), false, nullptr},
    {kExitUsage, "a switch or argument the program does not take", 0, false, "usage"},
    {3, "CD-ROM/RW drive is not found!", EndingBit(E::NoDrive), false, nullptr},
    {4, "drives found, but no permission to open them (run with sudo, or a udev rule)", EndingBit(E::NoPermission),
     false, nullptr},
    {5, "--drive names no CD-ROM/RW drive", EndingBit(E::DriveNotNamed), false, nullptr},
    {6, "Can't Open the updater file (missing, not a regular file, over 64 MiB)", EndingBit(E::CannotOpen), false, nullptr},
    {7, "the updater file could not be read", EndingBit(E::ReadFailed), false, nullptr},
    {8, "This file maybe damage please get new one!", EndingBit(E::Damaged), false, nullptr},
    {9, "Model name is mismatch!!", EndingBit(E::ModelMismatch), false, nullptr},
    {10, "This drive must be updated in DOS !!", EndingBit(E::DosOnly), false, nullptr},
    {11, "answered No (nothing was sent to the drive)", EndingBit(E::Declined), false, nullptr},
    {12, "several drives or images fit and --yes cannot choose", EndingBit(E::ChoiceNeeded), false, nullptr},
    {13, "--split could not write an image file", EndingBit(E::SplitFailed), false, nullptr},
    {kExitOutputRefused, "--log or --split refused as unsafe to write (nothing was written)", 0, false, "output-refused"},
    {kExitDriveBusy, "the drive is in use by another program (nothing was sent to it)", 0, false, "drive-busy"},
    {kExitDriveLost, "the chosen drive no longer opens or answers as identified (nothing was sent to it)", 0, false, "drive-lost"},
    {kExitPowerRefused, "on battery power with less than 30 % left (nothing was sent; --ignore-power)", 0, false,
     "power-refused"},
    {kExitHistoryRefused, "--history: the history file is not safe to read", 0, false, "history-refused"},
    {20, "BIOS DATA COMPARE ERROR!!  (the drive kept its old firmware)", EndingBit(E::CompareError), false, nullptr},
    {21, "BUFFER WRITE ERROR!!       (the drive kept its old firmware)", EndingBit(E::BufferWriteError), false, nullptr},
    {22, "BUFFER READ ERROR!!        (the drive kept its old firmware)", EndingBit(E::BufferReadError), false, nullptr},
    {23, "BIOS UPDATE ERROR!!        (the drive refused to program its flash)", EndingBit(E::FlashError), false, nullptr},
    {24, "the firmware could not be sent whole (the drive kept its old firmware)", EndingBit(E::TransferError),
     false, nullptr},
    {kExitOldFirmware, "the drive still reports its old firmware after the update (the update did not take)", 0,
     false, "old-firmware"},
    {kExitNotConfirmed, "updated, but the drive did not confirm its new firmware afterwards", EndingBit(E::Updated),
     true, "not-confirmed"},
    {kExitSomeUpdated, "--all-drives: some drives were updated, others not (see the table)", 0, false, "some-updated"},
    {kExitNoneUpdated, "--all-drives: no drive was updated", 0, false, "none-updated"},
};

}  // namespace

int ExitStatusFor(RunEnding ending, bool confirmed) {
  if (static_cast<unsigned>(ending) >= 32) return 1;
  for (const ExitStatusLine& line : kLines) {
    if ((line.endings & EndingBit(ending)) == 0) continue;
    if (ending == RunEnding::Updated && line.unconfirmed == confirmed) continue;
    return line.status;
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

std::string EndingWord(RunEnding ending, int status) {
  for (const ExitStatusLine& line : kLines) {
    if (line.status == status && line.name) return line.name;
  }
  return EndingName(ending);
}

bool StatusMeansUpdated(int status) { return status == 0 || status == kExitNotConfirmed; }
