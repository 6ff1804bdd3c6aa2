// The outcomes the transports hand back, and the one CDB rule the
// pass-through transports share.
#include "scsi/scsi_command.h"

#include <cstring>

namespace {

constexpr uint8_t kVendorOpcode = 0x33;
constexpr uint8_t kVendorByte1WithLun = 0x6C;
constexpr uint8_t kVendorByte1 = 0x0C;

}  // namespace

ScsiOutcome GoodOutcome(uint32_t transferred) {
  ScsiOutcome outcome;
  outcome.category = ScsiCategory::kGood;
  outcome.status = kScsiStatusGood;
  outcome.transferred = transferred;
  return outcome;
}

ScsiOutcome DriveStatusOutcome(uint8_t status, const uint8_t* sense, size_t sense_length) {
  ScsiOutcome outcome;
  outcome.category = ScsiCategory::kDriveStatus;
  outcome.status = status;
  const size_t kept = sense ? (sense_length < kScsiSenseCapacity ? sense_length : kScsiSenseCapacity) : 0;
  if (kept) std::memcpy(outcome.sense, sense, kept);
  outcome.sense_length = static_cast<uint8_t>(kept);
  return outcome;
}

ScsiOutcome LostOutcome(uint32_t transport_code) {
  ScsiOutcome outcome;
  outcome.category = ScsiCategory::kLost;
  outcome.transport_code = transport_code;
  return outcome;
}

ScsiOutcome RejectedOutcome(uint32_t transport_code) {
  ScsiOutcome outcome;
  outcome.category = ScsiCategory::kRejected;
  outcome.transport_code = transport_code;
  return outcome;
}

void PassThroughCdb(const ScsiCommand& command, uint8_t cdb[kScsiCdbCapacity]) {
  std::memcpy(cdb, command.cdb, kScsiCdbCapacity);
  if (cdb[0] == kVendorOpcode && cdb[1] == kVendorByte1WithLun) cdb[1] = kVendorByte1;
}
