// The exit status of fwupdate-linux for every ending of a run.
#pragma once
#include <cstddef>
#include <string>

#include "app/update_run.h"

constexpr int kExitUsage = 2;            // a switch or argument the program does not take
constexpr int kExitOutputRefused = 14;   // --log FILE or --split DIR is not safe to write
constexpr int kExitDriveBusy = 15;       // another program has the drive open
constexpr int kExitDriveLost = 16;       // the chosen drive could not be held for the update
constexpr int kExitNotConfirmed = 30;    // updated, but the drive did not confirm its new version

// confirmed: for Updated, whether the drive then reported the new version.
int ExitStatusFor(RunEnding ending, bool confirmed);

// Every status the program ends with and what it means, in ascending order:
// the help's list (and the README's table) say the same.
struct ExitStatusLine {
  int status;
  const char* meaning;
};
const ExitStatusLine* ExitStatusLines(size_t* count);
// The list as --help shows it.
std::string ExitStatusHelp();
