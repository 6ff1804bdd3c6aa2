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

// The transport seam: one attempt of the request on the current drive,
// answered with its outcome. One slot per transport mode; the mode
// (g_pass_through_mode) picks the slot. A transport keeps its own request
// format, addressing, completion signalling and trace line to itself.
using ScsiAttempt = ScsiOutcome (*)(const ScsiRequest& request);
struct TransportSeams {
  ScsiAttempt pass_through_attempt;  // NT pass-through, Linux SG_IO
  ScsiAttempt aspi_attempt;          // ASPI for Win32
};
TransportSeams& Transports();
// The defaults refuse every request (nothing is sent).
void ResetTransports();

// What a command's success needs, said by the command builders.
enum class Completion : uint8_t {
  // Questions (INQUIRY, Identify Model): a drive that was reset or had its
  // medium changed before the run still answers them, so such a unit
  // attention counts as done, and a short answer is an answer.
  kAnswered,
  // The buffer and flash commands: only an attempt the drive carried out in
  // full counts. A unit attention (power on / reset, medium changed, 3A/13)
  // means the drive did not carry it out, and a GOOD outcome that moved
  // fewer bytes than asked is a failed attempt; both are sent again within
  // the attempts.
  kCarriedOut,
  // Update Firmware: carried out in full as above, and sent again only when
  // the drive's answer says it did not carry it out (a unit attention, NOT
  // READY becoming ready). After a time-out, a transport error, an abort or
  // any other answer the drive may be programming its flash: nothing more is
  // sent.
  kCarriedOutAtMostOnce,
};

// Executes the command on the current drive through the transport of the
// current mode, at most five attempts: 1 success, 0 failure. A command whose
// cdb_length is 0 or above 16 is refused unsent. The record is not written.
// Each attempt's outcome decides, the same for every transport:
//  - GOOD is success, except that a kCarriedOut command that moved fewer
//    bytes than asked failed the attempt;
//  - a failure that reports something (the drive's CHECK CONDITION, sense
//    data, a transport code) goes through the sense rules (Completion, the
//    abandon flag, the becoming-ready wait) and sets the failure text;
//  - a failure that reports nothing (no status, or a status other than
//    CHECK CONDITION, without sense or code) fails the attempt silently;
//  - kCarriedOutAtMostOnce is sent again only after the drive's CHECK
//    CONDITION says it did not carry the command out.
int SendScsiCommand(const ScsiCommand& command, uint32_t timeout_ms, Completion completion = Completion::kAnswered);

// Dispatcher state that the transports and tests look at.
// Raised by a transport that gave a request up while the system may still
// hold it (the ASPI transport): the dispatcher shows the failure text once
// and sends nothing more of the command.
extern bool g_abandon_command;
const std::string& LastFailureText();
// Clears the addressing and dispatcher state (tests, start of a run).
void ResetScsiState();
