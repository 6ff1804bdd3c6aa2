// The exit status of fwupdate-linux for every ending of a run.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/update_run.h"

constexpr int kExitUsage = 2;            // a switch or argument the program does not take
constexpr int kExitOutputRefused = 14;   // --log FILE or --split DIR is not safe to write
constexpr int kExitDriveBusy = 15;       // another program has the drive open
constexpr int kExitDriveLost = 16;       // the chosen drive could not be held for the update
constexpr int kExitPowerRefused = 17;    // on battery power below the least charge an update needs
constexpr int kExitHistoryRefused = 18;  // --history: the history is not safe to read
constexpr int kExitOldFirmware = 25;     // the drive still reports its old firmware after the update
constexpr int kExitNotConfirmed = 30;    // updated, but the drive did not confirm its new version
constexpr int kExitSomeUpdated = 40;     // --all-drives: some drives were updated, others not
constexpr int kExitNoneUpdated = 41;     // --all-drives: no drive was updated

// confirmed: for Updated, whether the drive then reported the new version.
// 1 for an ending no line names.
int ExitStatusFor(RunEnding ending, bool confirmed);

// One status of the program: what it means and which endings give it (none
// for the statuses the program sets itself: 2, 14 to 18, 25, 40, 41).
struct ExitStatusLine {
  int status;
  const char* meaning;
  uint32_t endings;  // a set of EndingBit(ending)
  bool unconfirmed;  // for Updated: given only when the drive did not confirm
  // The word of a status the program sets itself (the ending's word stands
  // for the others); null where the ending says it.
  const char* name;
};
// The bit of an ending in ExitStatusLine::endings.
constexpr uint32_t EndingBit(RunEnding ending) { return 1u << static_cast<unsigned>(ending); }
// Every status the program ends with, in ascending order: ExitStatusFor,
// the help's list (and the README's table) all come from it.
const ExitStatusLine* ExitStatusLines(size_t* count);
// The list as --help shows it.
std::string ExitStatusHelp();
// The word for how a run ended, for --json and the history: the status's own
// word where the program set the status itself, else the ending's.
std::string EndingWord(RunEnding ending, int status);
// Whether a status means the drive took its new firmware (0, or 30: updated
// but not confirmed).
bool StatusMeansUpdated(int status);
