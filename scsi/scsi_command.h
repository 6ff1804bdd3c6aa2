// The one command record every drive command travels in. Its layout is the
// ASPI execute-SCSI-command request block (SRB_ExecSCSICmd) with a 130-byte
// sense area, so the ASPI library reads and writes it in place.
#pragma once
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct ScsiCommand {
  uint8_t command_code;       // 2 = execute SCSI command (set by the dispatcher, ASPI mode)
  uint8_t status;             // written by the ASPI library: 0 pending, 1 done, else error
  uint8_t adapter_id;         // host adapter of the current drive (ASPI transport)
  uint8_t flags;              // 0x08 data in, 0x10 data out, 0x40 post the completion event
  uint32_t reserved1;
  uint8_t target_id;          // target of the current drive (ASPI transport)
  uint8_t lun;                // always 0
  uint16_t reserved2;
  uint32_t data_length;       // bytes to transfer
  void* data_buffer;          // caller's buffer; null without a data phase
  uint8_t sense_length;       // 128 (ASPI mode)
  uint8_t cdb_length;         // 12 (ASPI mode)
  uint8_t adapter_status;     // written by the library
  uint8_t target_status;      // SCSI status byte, written by the library
  void* completion_event;     // event the library signals when the command ends
  uint32_t reserved3;
  uint8_t reserved4[16];
  uint8_t cdb[16];            // 12 bytes are sent
  uint8_t sense_area[130];    // fixed-format sense: [12] ASC, [13] ASCQ
};
#pragma pack(pop)

constexpr uint8_t kFlagDataIn = 0x08;
constexpr uint8_t kFlagDataOut = 0x10;
constexpr uint8_t kFlagPostEvent = 0x40;

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(ScsiCommand) == 194, "ScsiCommand must be 194 bytes");
static_assert(offsetof(ScsiCommand, data_length) == 12, "data_length offset");
static_assert(offsetof(ScsiCommand, data_buffer) == 16, "data_buffer offset");
static_assert(offsetof(ScsiCommand, sense_length) == 20, "sense_length offset");
static_assert(offsetof(ScsiCommand, completion_event) == 24, "completion_event offset");
static_assert(offsetof(ScsiCommand, cdb) == 48, "cdb offset");
static_assert(offsetof(ScsiCommand, sense_area) == 64, "sense_area offset");
#endif

// The pass-through request: SCSI_PASS_THROUGH_DIRECT (44 bytes on 32-bit
// Windows), four zero bytes, and a 32-byte sense buffer at offset 48.
// Natural alignment, as the operating system declares it.
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

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PassThroughDirect) == 44, "SCSI_PASS_THROUGH_DIRECT is 44 bytes");
static_assert(offsetof(PassThroughRequest, sense) == 48, "sense buffer at 48");
static_assert(sizeof(PassThroughRequest) == 80, "pass-through request is 80 bytes");
#endif
