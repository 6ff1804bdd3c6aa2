// --all-drives: every drive the updater fits, updated in one run. The drives
// are found and identified once (the shared run up to its listing); each
// drive the file fits with exactly one image is then updated by a run of
// this program of its own (--drive, --yes), several at once, each holding its
// drive exclusively, so a failure on one drive never stops or changes the
// update of another. One progress line per drive, a table of results at the
// end.
#pragma once
#include <string>

#include "cli/linux_front_end.h"

// Runs the whole of --all-drives with the program at own_path: the exit
// status is 0 when every drive the file fits was updated, kExitSomeUpdated
// when some were, kExitNoneUpdated when none was, or the status of what ended
// the run before any drive was started (no drive, a damaged file, a refused
// question, a low battery).
int RunAllDrives(const CliOptions& options, LinuxFrontEnd& front, Terminal& terminal, const std::string& own_path);
