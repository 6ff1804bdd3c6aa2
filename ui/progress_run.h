// The transfer on a worker thread while the progress thread shows the
// progress dialog and this (the main) thread blinks its warning line.
#pragma once
#include <cstdint>

#include "drive/transfer.h"

// Runs RunTransfer() that way and returns its result (also stored in
// AppState().result). No progress window remains when it returns.
uint8_t RunTransferWithProgress();
// The same with another transfer function (tests).
uint8_t RunTransferWithProgress(TransferResult (*transfer)());

// The warning loop's pauses: shown, then hidden.
constexpr uint32_t kWarningShownMs = 1000;
constexpr uint32_t kWarningHiddenMs = 500;
