#include "sim/tcmu/tcmu_service.h"

#include <utility>

namespace {

constexpr uint8_t kVendorOpcode = 0x33;
constexpr uint8_t kVendorCdbLength = 12;
// What a command held past the kernel's time-out is finally answered with
// (the kernel has given it up by then and drops the answer).
constexpr uint16_t kInternalTargetFailure = 0x4400;

// Which way the command's data goes: the ring does not say, the drive knows.
SimDirection DirectionFor(const TcmuCommand& command) {
  return command.data_length ? SimDrive::DirectionOf(command.cdb) : SimDirection::None;
}

const char* DirectionName(SimDirection d) {
  switch (d) {
    case SimDirection::In: return "in";
    case SimDirection::Out: return "out";
    case SimDirection::None: break;
  }
  return "none";
}

}  // namespace

TcmuDriveService::TcmuDriveService(SimDriveConfig& drive, SimWireLog& log, std::string out_dir,
                                   uint32_t never_hold_ms)
    : drive_(drive), log_(log), out_dir_(std::move(out_dir)), never_hold_ms_(never_hold_ms) {}

std::string TcmuBackstoreName(const SimDriveConfig& drive) {
  return "fwsim-" + std::to_string(drive.adapter) + "-" + std::to_string(drive.target) + "-" +
         std::to_string(drive.lun);
}

std::string TcmuDriveService::LinePrefix(const TcmuCommand& command, SimDirection direction) const {
  std::string s = "drive=" + std::to_string(drive_.adapter) + "/" + std::to_string(drive_.target) + "/" +
                  std::to_string(drive_.lun) + " id=" + std::to_string(command.id) +
                  " dir=" + DirectionName(direction) + " length=" + std::to_string(command.data_length) +
                  " cdb=" + SimHexBytes(command.cdb, command.cdb_bytes);
  if (command.cdb[0] == kVendorOpcode && command.cdb_bytes < kVendorCdbLength)
    s += " unseen=" + std::to_string(command.cdb_bytes) + "-" + std::to_string(kVendorCdbLength - 1);
  return s;
}

int TcmuDriveService::Serve(TcmuRing& ring, uint64_t now_ms, uint64_t* due_ms, std::string* error) {
  *due_ms = 0;
  int answered = 0;
  for (;;) {
    TcmuCommand command;
    const TcmuRing::Next next = ring.Peek(&command, error);
    if (next == TcmuRing::Next::Broken) {
      const std::string reason = TcmuRing::FaultName(ring.fault());
      log_.Line("drive=" + std::to_string(drive_.adapter) + "/" + std::to_string(drive_.target) + "/" +
                std::to_string(drive_.lun) + " result=broken reason=" + reason + " " + *error);
      *error = reason + ": " + *error;
      return -1;
    }
    if (next == TcmuRing::Next::Empty) {
      wait_ = Wait::None;
      return answered;
    }

    if (wait_ != Wait::None && command.id == waiting_id_) {
      if (now_ms < due_ms_) {
        *due_ms = due_ms_;
        return answered;
      }
      const Wait was = wait_;
      wait_ = Wait::None;
      if (was == Wait::Delay) {
        if (!Answer(ring, command, now_ms, " late")) {  // late, and then it never completes
          *due_ms = due_ms_;
          return answered;
        }
      } else {
        const SimReply late = SimCheckCondition(kInternalTargetFailure);
        TcmuResponse response;
        response.scsi_status = late.scsi_status;
        response.sense = late.sense;
        response.sense_length = sizeof late.sense;
        ring.Complete(command, response);
        log_.Line(LinePrefix(command, DirectionFor(command)) + " result=late scsi=02 sense=" +
                  SimHex2(kInternalTargetFailure >> 8) + SimHex2(kInternalTargetFailure & 0xFF) + " moved=0 never");
      }
      ++answered;
      continue;
    }
    wait_ = Wait::None;

    const uint32_t delay = drive_.DelayFor(command.cdb);
    if (delay > 0) {
      wait_ = Wait::Delay;
      waiting_id_ = command.id;
      due_ms_ = now_ms + delay;
      *due_ms = due_ms_;
      log_.Line(LinePrefix(command, DirectionFor(command)) + " result=held async=" + std::to_string(delay));
      return answered;
    }
    if (!Answer(ring, command, now_ms, "")) {
      *due_ms = due_ms_;
      return answered;
    }
    ++answered;
  }
}

bool TcmuDriveService::Answer(TcmuRing& ring, const TcmuCommand& command, uint64_t now_ms, const char* suffix) {
  const SimDirection direction = DirectionFor(command);
  data_.assign(command.data_length, 0);
  if (direction == SimDirection::Out) ring.Gather(command, data_.data(), command.data_length);

  SimRequest request;
  request.cdb = command.cdb;
  request.cdb_bytes = command.cdb_bytes;
  request.direction = direction;
  request.buffer = command.data_length ? data_.data() : nullptr;
  request.length = command.data_length;
  request.pass_through = true;
  const SimReply reply = drive_.sim->Execute(request);

  if (reply.outcome == SimOutcome::NoCompletion) {
    wait_ = Wait::Never;
    waiting_id_ = command.id;
    due_ms_ = now_ms + never_hold_ms_;
    log_.Line(LinePrefix(command, direction) + " result=held never=" + std::to_string(never_hold_ms_));
    return false;
  }

  TcmuResponse response;
  response.moved = command.data_length;
  if (reply.outcome == SimOutcome::Rejected) {
    response.scsi_status = kTcmuReservationConflict;
    response.moved = 0;
  } else {
    response.scsi_status = reply.scsi_status;
    if (reply.scsi_status == kScsiStatusCheckCondition) {
      response.sense = reply.sense;
      response.sense_length = sizeof reply.sense;
    }
    if (direction == SimDirection::In) {
      // The whole data area goes back (zeros past what the drive filled);
      // the kernel is told how much of it is real.
      ring.Scatter(command, data_.data(), command.data_length);
      response.moved = reply.transferred;
    }
  }
  ring.Complete(command, response);

  std::string line = LinePrefix(command, direction) + " result=done scsi=" + SimHex2(response.scsi_status) +
                     " sense=" + SimHex2(reply.sense[12]) + SimHex2(reply.sense[13]) +
                     " moved=" + std::to_string(reply.transferred) + suffix;
  log_.Line(line);
  if (SimDrive::Classify(command.cdb) == SimKind::UpdateFirmware) {
    const std::string failed = SaveSimFlash(drive_, out_dir_, '/');
    if (!failed.empty()) log_.Line(failed);
  }
  return true;
}
