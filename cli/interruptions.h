// What could stop an update half-way, held while the drive's firmware is
// being replaced: the terminal's signals and the system going to sleep.
#pragma once

// SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGTSTP are caught and counted instead
// of acting (SIGPIPE the program ignores for its whole run). Release restores
// what was there before.
void HoldSignals();
void ReleaseSignals();
// Signals caught since HoldSignals (async-signal-safe counter).
int HeldSignalCount();

// A logind inhibitor lock on shutdown, sleep, idle, the power, suspend and
// hibernate keys and the lid switch, over the system bus, taken through
// libsystemd when it is installed and the bus answers; silently nothing
// otherwise. Release drops the lock.
void InhibitSleep();
void ReleaseSleep();
bool SleepInhibited();
