// The NT SCSI pass-through request (SCSI_PASS_THROUGH_DIRECT with its sense
// buffer) and the two mappings of the pass-through transport: the neutral
// request into it, and what the system writes back into an outcome. Only the
// pass-through transport (and its tests) see this layout.
#pragma once
#include <cstddef>
#include <cstdint>

#include "scsi/scsi_command.h"

// SCSI_PASS_THROUGH_DIRECT (44 bytes on 32-bit Windows, 56 on 64-bit), four
// zero bytes, and a 32-byte sense buffer behind them (at 48, or 60 on
// 64-bit). Natural alignment, as the operating system declares it.
struct PassThroughDirect {
  uint16_t Length;
  uint8_t ScsiStatus;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
  uint8_t CdbLength;
  uint8_t SenseInfoLength;
  uint8_t DataIn;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  void* DataBuffer;
  uint32_t SenseInfoOffset;
  uint8_t Cdb[16];
};

struct PassThroughRequest {
  PassThroughDirect sptd;
  uint32_t filler;            // the four zero bytes in front of the sense buffer
  uint8_t sense[32];
};

// What the request says of itself: the system checks Length and writes the
// sense data SenseInfoOffset bytes from the request's start.
constexpr uint16_t kPassThroughDirectLength = sizeof(PassThroughDirect);
constexpr uint32_t kPassThroughSenseOffset = offsetof(PassThroughRequest, sense);
constexpr uint8_t kPassThroughDataOut = 0;  // SCSI_IOCTL_DATA_OUT
constexpr uint8_t kPassThroughDataIn = 1;   // SCSI_IOCTL_DATA_IN

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PassThroughDirect) == 44, "SCSI_PASS_THROUGH_DIRECT is 44 bytes");
static_assert(offsetof(PassThroughRequest, sense) == 48, "sense buffer at 48");
static_assert(sizeof(PassThroughRequest) == 80, "pass-through request is 80 bytes");
#elif defined(_WIN64)
static_assert(offsetof(PassThroughDirect, DataTransferLength) == 12, "DataTransferLength at 12");
static_assert(offsetof(PassThroughDirect, TimeOutValue) == 16, "TimeOutValue at 16");
static_assert(offsetof(PassThroughDirect, DataBuffer) == 24, "DataBuffer at 24");
static_assert(offsetof(PassThroughDirect, SenseInfoOffset) == 32, "SenseInfoOffset at 32");
static_assert(offsetof(PassThroughDirect, Cdb) == 36, "Cdb at 36");
static_assert(sizeof(PassThroughDirect) == 56, "SCSI_PASS_THROUGH_DIRECT is 56 bytes");
static_assert(offsetof(PassThroughRequest, filler) == 56, "zero bytes at 56");
static_assert(offsetof(PassThroughRequest, sense) == 60, "sense buffer at 60");
static_assert(sizeof(PassThroughRequest) == 96, "pass-through request is 96 bytes");
#endif

// Fills `out` for one attempt of `request` on the current drive: zeroes it,
// then Length, CdbLength (the request's), SenseInfoLength 32, DataIn (data
// out 0; data in, and no data phase, 1), DataTransferLength, DataBuffer,
// SenseInfoOffset, the CDB as PassThroughCdb puts it on the wire, PathId,
// TargetId and Lun of the current drive and TimeOutValue in whole seconds
// (rounded down).
void BuildPassThroughRequest(const ScsiRequest& request, PassThroughRequest& out);

// The outcome of one DeviceIoControl: `sent` false is kLost (no status);
// ScsiStatus 0 is kGood with DataTransferLength as the bytes that moved;
// any other status is kDriveStatus, with the whole sense buffer for CHECK
// CONDITION (it went out zeroed, so bytes the system did not write read 0).
ScsiOutcome PassThroughOutcome(const PassThroughRequest& answered, bool sent);
