// One simulated drive served as a kernel target device: takes the commands
// of its ring to the drive core, answers them, writes the wire log and keeps
// the flashed images.
//
// Wire log, one line per command:
//   drive=0/0/0 id=7 dir=out length=1024 cdb=33 0C F1 00 00 00 00 04 00 4B unseen=10-11 result=done scsi=00 sense=0000 moved=1024
// cdb shows the bytes the kernel delivered; a vendor command (33h) reaches
// the drive cut to 10 bytes, so its bytes 10 and 11 (the "VD" of the
// signature) were never seen and never checked: "unseen=10-11" says so.
// result is "done"; "held" for a command that waits (async= its delay, or
// never= how long it is held), then the line is written again when it
// completes, ending in "late"; "broken" when the ring can no longer be read,
// followed by reason= and the check that refused it (TcmuRing::FaultName).
// The drive's own faults keep their meaning: check, corrupt, short (the
// kernel learns how many bytes really moved), never (not answered until the
// kernel has given it up), async MS; reject answers RESERVATION CONFLICT,
// which the initiator's SCSI layer turns into a host error (DID_NEXUS_FAILURE).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/scsi_status.h"
#include "sim/sim_config.h"
#include "sim/tcmu/tcmu_ring.h"

// The name of the drive's backstore: fwsim-A-T-L.
std::string TcmuBackstoreName(const SimDriveConfig& drive);

class TcmuDriveService {
 public:
  TcmuDriveService(SimDriveConfig& drive, SimWireLog& log, std::string out_dir, uint32_t never_hold_ms);

  // Answers what the ring holds, up to a command that has to wait. Returns
  // how many commands were answered (the kernel is then notified), or -1 when
  // the ring is broken (*error, starting with the reason; the device is then
  // left alone, ring.fault() says why). *due_ms gets
  // the time the waiting command is due, or 0 when none waits.
  int Serve(TcmuRing& ring, uint64_t now_ms, uint64_t* due_ms, std::string* error);

  std::string Name() const { return TcmuBackstoreName(drive_); }

 private:
  enum class Wait { None, Delay, Never };
  // Runs the command on the drive and answers it; false when the drive
  // never completes it (it is then held).
  bool Answer(TcmuRing& ring, const TcmuCommand& command, uint64_t now_ms, const char* suffix);
  std::string LinePrefix(const TcmuCommand& command, SimDirection direction) const;

  SimDriveConfig& drive_;
  SimWireLog& log_;
  std::string out_dir_;
  uint32_t never_hold_ms_;
  Wait wait_ = Wait::None;
  uint64_t due_ms_ = 0;
  uint16_t waiting_id_ = 0;
  std::vector<uint8_t> data_;
};

// Reply code for a rejected request.
constexpr uint8_t kTcmuReservationConflict = kScsiStatusReservationConflict;
