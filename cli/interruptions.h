// What could stop an update half-way, held while the drive's firmware is
// being replaced: the terminal's signals and the system going to sleep.
#pragma once

// Every signal that would end or stop the program from outside (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, the user, timer,
// resource and real-time signals) is blocked in the calling thread, which
// must be the program's only one, so none of them can interrupt a wait on
// the drive: a wait that a signal handler interrupted could make a command go
// out twice. No handler is installed. Signals that arrive meanwhile stay
// pending and are taken (counted and discarded) by HeldSignalCount and by
// Release, which then restores the mask that was there before. SIGPIPE the
// program ignores for its whole run; SIGSTOP and SIGKILL cannot be held
// (the drive's waits survive a stop: scsi/sgio_linux.h).
void HoldSignals();
void ReleaseSignals();
// Signals that arrived since HoldSignals; takes the pending ones first.
int HeldSignalCount();

// A logind inhibitor lock on shutdown, sleep, idle, the power, suspend and
// hibernate keys and the lid switch, over the system bus, taken through
// libsystemd when it is installed and the bus answers; silently nothing
// otherwise. Release drops the lock.
void InhibitSleep();
void ReleaseSleep();
bool SleepInhibited();
