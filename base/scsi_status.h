// The SCSI status byte a target ends a command with, named once for the
// product and the simulated drive.
#pragma once
#include <cstdint>

constexpr uint8_t kScsiStatusGood = 0x00;
constexpr uint8_t kScsiStatusCheckCondition = 0x02;  // sense data describes the failure
constexpr uint8_t kScsiStatusConditionMet = 0x04;
constexpr uint8_t kScsiStatusBusy = 0x08;
constexpr uint8_t kScsiStatusReservationConflict = 0x18;
constexpr uint8_t kScsiStatusTaskSetFull = 0x28;
constexpr uint8_t kScsiStatusAcaActive = 0x30;
constexpr uint8_t kScsiStatusTaskAborted = 0x40;
