// The neutral command contract between the dispatcher and the transports.
// A command goes out as a request (CDB, data phase, time-out) and every
// attempt comes back as an outcome; no operating system's request format
// appears here. Each transport (ASPI for Win32, NT SCSI pass-through, Linux
// SG_IO) turns the request into its own structure and its answer into an
// outcome; the dispatcher decides on the outcome alone.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/scsi_status.h"

// Every command of this program is a 12-byte packet command; the record has
// room for 16 CDB bytes, and the bytes past cdb_length go out as zeros where
// a transport carries 16.
constexpr uint8_t kScsiCdbLength = 12;
constexpr size_t kScsiCdbCapacity = 16;
// Sense bytes an outcome carries: fixed format (ASC/ASCQ at 12/13) and
// descriptor format (at 2/3) both fit.
constexpr size_t kScsiSenseCapacity = 32;

enum class ScsiDirection : uint8_t {
  kNone,  // no data phase
  kIn,    // the drive sends data into the buffer
  kOut,   // the drive takes data from the buffer
};

// The command record the builders (drive/commands.cpp) fill and
// SendScsiCommand sends.
struct ScsiCommand {
  uint8_t cdb[kScsiCdbCapacity] = {};
  uint8_t cdb_length = kScsiCdbLength;
  ScsiDirection direction = ScsiDirection::kNone;
  void* data_buffer = nullptr;   // null without a data phase
  uint32_t data_length = 0;      // bytes to transfer
};

// One attempt of a command as a transport receives it: the command and its
// time-out. Transports never write into it.
struct ScsiRequest : ScsiCommand {
  uint32_t timeout_ms = 0;
};

// How an attempt ended.
enum class ScsiCategory : uint8_t {
  // The drive ended the command with GOOD status.
  kGood,
  // The drive ended it with another status: `status` holds it; CHECK
  // CONDITION comes with the drive's sense data.
  kDriveStatus,
  // The request went out but no status of the drive came back: a time-out,
  // an abort, a host adapter or driver error. The drive may have acted.
  kLost,
  // The system refused the request: nothing reached the drive.
  kRejected,
};

// One attempt's result, as the dispatcher reads it.
struct ScsiOutcome {
  ScsiCategory category = ScsiCategory::kRejected;
  uint8_t status = kScsiStatusGood;  // the drive's status byte (kGood, kDriveStatus)
  // Sense data: the drive's, with CHECK CONDITION; or what a transport
  // wrote to name a failure of its own (a command it gave up). Bytes past
  // sense_length are zero.
  uint8_t sense[kScsiSenseCapacity] = {};
  uint8_t sense_length = 0;
  // Data bytes that moved (kGood): data_length when the transport cannot
  // tell, fewer after a short transfer.
  uint32_t transferred = 0;
  // The transport's own code for the failure, 0 when it has none (the ASPI
  // library's request status): its low 16 bits name the failure when the
  // sense data names none.
  uint32_t transport_code = 0;
};

// Outcomes as the transports make them.
ScsiOutcome GoodOutcome(uint32_t transferred);
ScsiOutcome DriveStatusOutcome(uint8_t status, const uint8_t* sense, size_t sense_length);
ScsiOutcome LostOutcome(uint32_t transport_code = 0);
ScsiOutcome RejectedOutcome(uint32_t transport_code = 0);

// The CDB a pass-through transport (NT, SG_IO) puts on the wire: the
// command's 16 bytes, except that a vendor command 33h 6Ch goes out as
// 33h 0Ch (the pass-through path carries no LUN bits in byte 1).
void PassThroughCdb(const ScsiCommand& command, uint8_t cdb[kScsiCdbCapacity]);
