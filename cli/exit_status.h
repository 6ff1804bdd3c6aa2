// The exit status of fwupdate-linux for every ending of a run.
#pragma once
#include "app/update_run.h"

constexpr int kExitUsage = 2;            // a switch or argument the program does not take
constexpr int kExitNotConfirmed = 30;    // updated, but the drive did not confirm its new version

// confirmed: for Updated, whether the drive then reported the new version.
int ExitStatusFor(RunEnding ending, bool confirmed);
