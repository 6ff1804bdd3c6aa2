// The update itself: chunked buffer writes, read-back, flash.
#pragma once
#include <cstdint>

enum TransferResult : uint8_t {
  TransferOk = 0,
  CompareMismatch = 1,
  BufferWriteFailed = 2,
  BufferReadFailed = 3,
  FlashFailed = 4,
  ChunkNotWordAligned = 5,
  // The transfer never began (its progress window could not be shown): no
  // buffer command was sent.
  TransferNotStarted = 6,
};

constexpr uint32_t kChunkSize = 1024;
constexpr uint32_t kFlashSettleMs = 10000;

// Runs the transfer with the inputs of AppState(): the directory entry the
// accept step chose, read from the checked copy of the program file. Status
// and progress go to its progress sink when one is set. The settle follows
// the flash command whatever its outcome.
TransferResult RunTransfer();
