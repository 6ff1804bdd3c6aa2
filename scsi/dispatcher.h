// Addressing state, the transport seam and the dispatcher.
#pragma once
#include <cstdint>
#include <string>

#include "scsi/scsi_command.h"

constexpr int kDriveTableSize = 200;

struct DriveEntry {
  void* device_handle;      // pass-through: handle on the CD-ROM interface, null when the open failed
  uint8_t path_id;          // pass-through: 0
  uint8_t lun;              // pass-through: 0
  uint8_t host_adapter_id;  // ASPI
  uint8_t target_id;        // both
};

struct CurrentDrive {
  void* device_handle;
  uint8_t path_id;
  uint8_t lun;
  uint8_t target_id;
  uint8_t host_adapter_id;
  uint8_t index;
};

// Process-wide addressing state (written by drive discovery).
extern bool g_pass_through_mode;            // off at start
extern DriveEntry DriveTable[kDriveTableSize];
extern uint8_t g_drive_table_count;         // 0..200
extern CurrentDrive g_current_drive;

// Makes entry `index` the current drive; 0 (and no change) when index is not
// below the drive count.
int SelectDrive(uint8_t index);

// One attempt of a command through a transport. Results: 1 success, 0
// failure, -1 the operating system rejected the request (pass-through).
struct TransportSeams {
  int (*pass_through_attempt)(PassThroughRequest& request, uint32_t timeout_ms);
  int (*aspi_attempt)(ScsiCommand& command, uint32_t timeout_ms);
  // Completion events for ASPI mode (auto-reset, not signalled); null on failure.
  void* (*create_event)();
  void (*close_event)(void* event);
};
TransportSeams& Transports();
void ResetTransports();

// What a command's success needs, said by the command builders.
enum class Completion : uint8_t {
  // Questions (INQUIRY, Identify Model): a drive that was reset or had its
  // medium changed before the run still answers them, so such a unit
  // attention counts as done, and a short answer is an answer.
  kAnswered,
  // The buffer and flash commands: only an attempt the drive carried out in
  // full counts. A unit attention (power on / reset, medium changed, 3A/13)
  // means the drive did not carry it out, and a data phase that moved fewer
  // bytes than asked (pass-through) is a failed attempt; both are sent again
  // within the attempts.
  kCarriedOut,
  // Update Firmware: carried out in full as above, and sent again only when
  // the drive's answer says it did not carry it out (a unit attention, NOT
  // READY becoming ready). After a time-out, a transport error, an abort or
  // any other answer the drive may be programming its flash: nothing more is
  // sent.
  kCarriedOutAtMostOnce,
};

// Executes the command on the current drive: 1 success, 0 failure.
int SendScsiCommand(ScsiCommand& command, uint32_t timeout_ms, Completion completion = Completion::kAnswered);

// Builds the pass-through request from the record (once per command): clears
// bit 0x40 in the record's flags, then zeroes the request and fills Length
// (44; 56 on 64-bit), CdbLength 12, SenseInfoLength 32, DataIn (0 only for
// data out), DataTransferLength, DataBuffer, SenseInfoOffset (48; 60 on
// 64-bit) and the 16 CDB bytes.
void BuildPassThroughRequest(ScsiCommand& command, PassThroughRequest& request);
// The portable part of one pass-through attempt: a vendor CDB 33 6C ... goes
// out as 33 0C ...; PathId, TargetId and Lun come from the current drive and
// TimeOutValue is the time-out in whole seconds (rounded down).
void PreparePassThroughAttempt(PassThroughRequest& request, uint32_t timeout_ms);

// Dispatcher state that the transports and tests look at.
extern bool g_abandon_command;              // raised only by the ASPI transport
const std::string& LastFailureText();
// Clears the addressing and dispatcher state (tests, start of a run).
void ResetScsiState();
