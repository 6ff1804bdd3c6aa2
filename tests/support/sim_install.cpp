#include "tests/support/sim_install.h"

#include <algorithm>
#include <cstring>

#include "scsi/dispatcher.h"

namespace {

SimDrives* g_sim = nullptr;
char g_event_token;

constexpr uint8_t kAspiCompleted = 0x01;
constexpr uint8_t kAspiError = 0x04;
constexpr uint8_t kAspiNoDevice = 0x82;
constexpr uint8_t kAspiInvalidRequest = 0xE0;

// One pass-through attempt, answered by the drive behind the current handle.
int SimPassThroughAttempt(PassThroughRequest& request, uint32_t timeout_ms) {
  PassThroughDirect& sptd = request.sptd;
  // What the pass-through transport does to every attempt (33 6C -> 33 0C,
  // addressing, time-out in seconds).
  PreparePassThroughAttempt(request, timeout_ms);

  SimDrive* drive = g_sim ? g_sim->FindByHandle(g_current_drive.device_handle) : nullptr;
  if (!drive) return -1;  // no open handle: the system rejects the request

  SimRequest rq;
  rq.cdb = sptd.Cdb;
  rq.direction = sptd.DataIn ? (sptd.DataTransferLength ? SimDirection::In : SimDirection::None)
                             : SimDirection::Out;
  rq.buffer = sptd.DataBuffer;
  rq.length = sptd.DataTransferLength;
  rq.pass_through = true;
  rq.flags = sptd.DataIn ? kFlagDataIn : kFlagDataOut;
  const SimReply reply = drive->Execute(rq);
  // A request that never completes ends in the system's own time-out, which
  // fails the request like a rejection. Either way the system hands back no
  // sense data.
  if (reply.outcome != SimOutcome::Completed) {
    sptd.SenseInfoLength = 0;
    return -1;
  }
  // Like the real system, the request comes back rewritten: the status, the
  // bytes that moved and the sense bytes it filled.
  sptd.ScsiStatus = reply.scsi_status;
  sptd.DataTransferLength = reply.transferred;
  std::memset(request.sense, 0, sizeof request.sense);
  if (reply.scsi_status == 2) {
    std::memcpy(request.sense, reply.sense, sizeof reply.sense);
    sptd.SenseInfoLength = sizeof reply.sense;
  } else {
    sptd.SenseInfoLength = 0;
  }
  return reply.scsi_status == 0 ? 1 : 0;
}

// One ASPI attempt, answered by the drive at the current adapter/target.
int SimAspiAttempt(ScsiCommand& command, uint32_t /*timeout_ms*/) {
  command.adapter_id = g_current_drive.host_adapter_id;
  command.target_id = g_current_drive.target_id;
  std::memset(command.sense_area, 0, sizeof command.sense_area);
  command.adapter_status = 0;
  command.target_status = 0;
  command.status = 0;

  SimDrive* drive = g_sim ? g_sim->FindByAddress(command.adapter_id, command.target_id) : nullptr;
  if (!drive) {
    command.status = kAspiNoDevice;
    return command.status;
  }
  SimRequest rq;
  rq.cdb = command.cdb;
  const uint8_t direction = command.flags & (kFlagDataIn | kFlagDataOut);
  rq.direction = direction == kFlagDataIn ? SimDirection::In
                 : direction == kFlagDataOut ? SimDirection::Out
                                             : SimDirection::None;
  rq.buffer = command.data_buffer;
  rq.length = command.data_length;
  rq.pass_through = false;
  rq.flags = command.flags;
  const SimReply reply = drive->Execute(rq);
  switch (reply.outcome) {
    case SimOutcome::Rejected:
      command.status = kAspiInvalidRequest;
      return command.status;
    case SimOutcome::NoCompletion:
      // Still pending, never signalled: the transport's wait times out.
      command.status = 0;
      return 0;
    case SimOutcome::Completed:
      break;
  }
  if (reply.scsi_status == 0) {
    command.status = kAspiCompleted;
    return command.status;
  }
  command.status = kAspiError;
  command.target_status = reply.scsi_status;
  std::memcpy(command.sense_area, reply.sense, sizeof reply.sense);
  return command.status;
}

// A completion event: counted so that tests can see every one closed.
void* SimCreateEvent() {
  if (g_sim) ++g_sim->open_events;
  return &g_event_token;
}

// Closes an event handed out by SimCreateEvent.
void SimCloseEvent(void* event) {
  if (g_sim && event == &g_event_token) --g_sim->open_events;
}

}  // namespace

// Binds the seams to the drives and fills the drive table (see the header).
void SimInstall(SimDrives& drives) {
  g_sim = &drives;
  TransportSeams& seams = Transports();
  seams.pass_through_attempt = SimPassThroughAttempt;
  seams.aspi_attempt = SimAspiAttempt;
  seams.create_event = SimCreateEvent;
  seams.close_event = SimCloseEvent;

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
