// The exit status of fwupdate-linux for every ending of a run.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdint>
#include <string>

#include "app/update_run.h"

constexpr int kExitUsage = 2;            // a switch or argument the program does not take
constexpr int kExitOutputRefused = 14;   // --log FILE or --split DIR is not safe to write
constexpr int kExitDriveBusy = 15;       // another program has the drive open
constexpr int kExitDriveLost = 16;       // the chosen drive could not be held for the update
constexpr int kExitNotConfirmed = 30;    // updated, but the drive did not confirm its new version

// confirmed: for Updated, whether the drive then reported the new version.
// 1 for an ending no line names.
int ExitStatusFor(RunEnding ending, bool confirmed);

// One status of the program: what it means and which endings give it (none
// for the statuses the program sets itself: 2, 14, 15, 16).
struct ExitStatusLine {
  int status;
  const char* meaning;
  uint32_t endings;  // a set of EndingBit(ending)
  bool unconfirmed;  // for Updated: given only when the drive did not confirm
};
// The bit of an ending in ExitStatusLine::endings.
constexpr uint32_t EndingBit(RunEnding ending) { return 1u << static_cast<unsigned>(ending); }
// Every status the program ends with, in ascending order: ExitStatusFor,
// the help's list (and the README's table) all come from it.
const ExitStatusLine* ExitStatusLines(size_t* count);
// The list as --help shows it.
std::string ExitStatusHelp();
