#include "tests/support/sim_install.h"

#include <algorithm>

#include "scsi/dispatcher.h"

namespace {

SimDrives* g_sim = nullptr;

// The ASPI request status of a failure, as the ASPI transport reports it in
// the outcome's transport code.
constexpr uint32_t kAspiError = 0x04;
constexpr uint32_t kAspiNoDevice = 0x82;
constexpr uint32_t kAspiInvalidRequest = 0xE0;
// The direction bits the drive's log records for each transport.
constexpr uint8_t kLoggedDataIn = 0x08;
constexpr uint8_t kLoggedDataOut = 0x10;
constexpr uint8_t kLoggedPostEvent = 0x40;

// The drive's answer as an outcome: GOOD with the bytes `moved`, else its
// status (the sense with CHECK CONDITION).
ScsiOutcome Answered(const SimReply& reply, uint32_t moved) {
  if (reply.scsi_status == kScsiStatusGood) return GoodOutcome(moved);
  const bool check = reply.scsi_status == kScsiStatusCheckCondition;
  return DriveStatusOutcome(reply.scsi_status, reply.sense, check ? sizeof reply.sense : 0);
}

// One pass-through attempt, answered by the drive behind the current handle,
// as the pass-through transports make it: the CDB in its pass-through form,
// the bytes that moved, no status when the request never completes.
ScsiOutcome SimPassThroughAttempt(const ScsiRequest& request) {
  SimDrive* drive = g_sim ? g_sim->FindByHandle(g_current_drive.device_handle) : nullptr;
  if (!drive) return RejectedOutcome();  // no open handle: the system rejects the request

  uint8_t cdb[kScsiCdbCapacity];
  PassThroughCdb(request, cdb);
  const bool out = request.direction == ScsiDirection::kOut;
  SimRequest rq;
  rq.cdb = cdb;
  rq.direction = out ? SimDirection::Out : request.data_length ? SimDirection::In : SimDirection::None;
  rq.buffer = request.data_buffer;
  rq.length = request.data_length;
  rq.pass_through = true;
  rq.flags = out ? kLoggedDataOut : kLoggedDataIn;
  const SimReply reply = drive->Execute(rq);
  switch (reply.outcome) {
    case SimOutcome::Rejected: return RejectedOutcome();
    case SimOutcome::NoCompletion: return LostOutcome();  // the system's own time-out
    case SimOutcome::Completed: break;
  }
  return Answered(reply, reply.transferred);
}

// One ASPI attempt, answered by the drive at the current adapter/target, as
// the ASPI transport makes it: the request status as transport code of a
// failure, and no count of the bytes that moved.
ScsiOutcome SimAspiAttempt(const ScsiRequest& request) {
  SimDrive* drive = g_sim ? g_sim->FindByAddress(g_current_drive.host_adapter_id, g_current_drive.target_id) : nullptr;
  if (!drive) return RejectedOutcome(kAspiNoDevice);
  SimRequest rq;
  rq.cdb = request.cdb;
  rq.direction = request.direction == ScsiDirection::kIn    ? SimDirection::In
                 : request.direction == ScsiDirection::kOut ? SimDirection::Out
                                                            : SimDirection::None;
  rq.buffer = request.data_buffer;
  rq.length = request.data_length;
  rq.pass_through = false;
  rq.flags = kLoggedPostEvent | (rq.direction == SimDirection::In    ? kLoggedDataIn
                                 : rq.direction == SimDirection::Out ? kLoggedDataOut
                                                                     : 0);
  const SimReply reply = drive->Execute(rq);
  switch (reply.outcome) {
    case SimOutcome::Rejected: return RejectedOutcome(kAspiInvalidRequest);
    case SimOutcome::NoCompletion: return LostOutcome();  // never signalled: the wait times out
    case SimOutcome::Completed: break;
  }
  ScsiOutcome outcome = Answered(reply, request.data_length);
  if (outcome.category != ScsiCategory::kGood) outcome.transport_code = kAspiError;
  return outcome;
}

}  // namespace

// Binds the seams to the drives and fills the drive table (see the header).
void SimInstall(SimDrives& drives) {
  g_sim = &drives;
  TransportSeams& seams = Transports();
  seams.pass_through_attempt = SimPassThroughAttempt;
  seams.aspi_attempt = SimAspiAttempt;

  g_pass_through_mode = drives.mode() == SimDrives::Mode::PassThrough;
  const size_t n = std::min<size_t>(drives.size(), kDriveTableSize);
  for (size_t i = 0; i < kDriveTableSize; ++i) DriveTable[i] = DriveEntry{};
  for (size_t i = 0; i < n; ++i) {
    DriveEntry& e = DriveTable[i];
    e.device_handle = drives.HandleOf(i);
    e.path_id = 0;
    e.lun = 0;
    e.host_adapter_id = g_pass_through_mode ? 0 : drives.AdapterOf(i);
    e.target_id = g_pass_through_mode ? 0 : drives.TargetOf(i);
  }
  g_drive_table_count = static_cast<uint8_t>(n);
}

// Undoes SimInstall.
void SimUninstall() {
  ResetTransports();
  g_sim = nullptr;
}
