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
#elif defined(_WIN64)
// 64-bit: the same packed block with 8-byte pointers. The 20 reserved bytes
// behind the completion event stay 20 bytes, so everything from there on
// moves by the 8 bytes the two pointers grew.
static_assert(sizeof(ScsiCommand) == 202, "ScsiCommand must be 202 bytes");
static_assert(offsetof(ScsiCommand, data_length) == 12, "data_length offset");
static_assert(offsetof(ScsiCommand, data_buffer) == 16, "data_buffer offset");
static_assert(offsetof(ScsiCommand, sense_length) == 24, "sense_length offset");
static_assert(offsetof(ScsiCommand, target_status) == 27, "target_status offset");
static_assert(offsetof(ScsiCommand, completion_event) == 28, "completion_event offset");
static_assert(offsetof(ScsiCommand, reserved3) == 36, "reserved3 offset");
static_assert(offsetof(ScsiCommand, cdb) == 56, "cdb offset");
static_assert(offsetof(ScsiCommand, sense_area) == 72, "sense_area offset");
#endif

// The pass-through request: SCSI_PASS_THROUGH_DIRECT (44 bytes on 32-bit
// Windows, 56 on 64-bit), four zero bytes, and a 32-byte sense buffer behind
// them (at 48, or 60 on 64-bit). Natural alignment, as the operating system
// declares it.
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

// What the request says of itself: the system checks Length and writes the
// sense data SenseInfoOffset bytes from the request's start.
constexpr uint16_t kPassThroughDirectLength = sizeof(PassThroughDirect);
constexpr uint32_t kPassThroughSenseOffset = offsetof(PassThroughRequest, sense);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PassThroughDirect) == 44, "SCSI_PASS_THROUGH_DIRECT is 44 bytes");
static_assert(offsetof(PassThroughRequest, sense) == 48, "sense buffer at 48");
static_assert(sizeof(PassThroughRequest) == 80, "pass-through request is 80 bytes");
#elif defined(_WIN64)
static_assert(offsetof(PassThroughDirect, DataTransferLength) == 12, "DataTransferLength at 12");
static_assert(offsetof(PassThroughDirect, TimeOutValue) == 16, "TimeOutValue at 16");
static_assert(offsetof(PassThroughDirect, DataBuffer) == 24, "DataBuffer at 24");
static_assert(offsetof(PassThroughDirect, SenseInfoOffset) == 32, "SenseInfoOffset at 32");
static_assert(offsetof(PassThroughDirect, Cdb) == 36, "Cdb at 36");
static_assert(sizeof(PassThroughDirect) == 56, "SCSI_PASS_THROUGH_DIRECT is 56 bytes");
static_assert(offsetof(PassThroughRequest, filler) == 56, "zero bytes at 56");
static_assert(offsetof(PassThroughRequest, sense) == 60, "sense buffer at 60");
static_assert(sizeof(PassThroughRequest) == 96, "pass-through request is 96 bytes");
#endif
