// The ASPI for Win32 interface as this program and the simulated library use
// it: request codes, status values, the request blocks (the execute request
// among them), and the entry points of WNASPI32.DLL. All entry points are
// cdecl. Nothing else of the program sees these layouts: the ASPI transport
// turns the neutral request (scsi/scsi_command.h) into an execute request and
// its answer into an outcome.
#pragma once
#include <cstddef>
#include <cstdint>

// Request codes (byte 0 of every request block).
constexpr uint8_t kAspiHostAdapterInquiry = 0;  // SC_HA_INQUIRY
constexpr uint8_t kAspiGetDeviceType = 1;       // SC_GET_DEV_TYPE
constexpr uint8_t kAspiExecuteScsiCommand = 2;  // SC_EXEC_SCSI_CMD
constexpr uint8_t kAspiAbortRequest = 3;        // SC_ABORT_SRB
constexpr uint8_t kAspiResetDevice = 4;         // SC_RESET_DEV

// Request status (byte 1, and the result of SendASPI32Command).
constexpr uint8_t kAspiPending = 0x00;          // SS_PENDING
constexpr uint8_t kAspiCompleted = 0x01;        // SS_COMP
constexpr uint8_t kAspiAborted = 0x02;          // SS_ABORTED
constexpr uint8_t kAspiAbortFailed = 0x03;      // SS_ABORT_FAIL
constexpr uint8_t kAspiError = 0x04;            // SS_ERR
constexpr uint8_t kAspiInvalidCommand = 0x80;   // SS_INVALID_CMD
constexpr uint8_t kAspiInvalidAdapter = 0x81;   // SS_INVALID_HA
constexpr uint8_t kAspiNoDevice = 0x82;         // SS_NO_DEVICE
constexpr uint8_t kAspiInvalidRequest = 0xE0;   // SS_INVALID_SRB
constexpr uint8_t kAspiNoAdapters = 0xE8;       // SS_NO_ADAPTERS

constexpr uint8_t kPeripheralCdrom = 5;         // device type of a CD-ROM device

// Execute request flags (byte 3).
constexpr uint8_t kAspiFlagDataIn = 0x08;       // SRB_DIR_IN
constexpr uint8_t kAspiFlagDataOut = 0x10;      // SRB_DIR_OUT
constexpr uint8_t kAspiFlagPostEvent = 0x40;    // SRB_EVENT_NOTIFY
// Sense bytes the program asks the library for, and the room behind the CDB.
constexpr uint8_t kAspiSenseLength = 128;
constexpr size_t kAspiSenseArea = 130;

#pragma pack(push, 1)
// SRB_ExecSCSICmd with a 130-byte sense area: the library reads and writes
// it in place, from its own thread until it sets a final status.
struct AspiExecRequest {
  uint8_t command_code;       // 2
  uint8_t status;             // written by the library: 0 pending, 1 done, else error
  uint8_t adapter_id;         // host adapter of the current drive
  uint8_t flags;              // kAspiFlagDataIn / kAspiFlagDataOut, kAspiFlagPostEvent
  uint32_t reserved1;
  uint8_t target_id;          // target of the current drive
  uint8_t lun;                // always 0
  uint16_t reserved2;
  uint32_t data_length;       // bytes to transfer
  void* data_buffer;          // null without a data phase
  uint8_t sense_length;       // kAspiSenseLength
  uint8_t cdb_length;         // 12
  uint8_t adapter_status;     // written by the library
  uint8_t target_status;      // SCSI status byte, written by the library
  void* completion_event;     // event the library signals when the command ends
  uint32_t reserved3;
  uint8_t reserved4[16];
  uint8_t cdb[16];
  uint8_t sense_area[kAspiSenseArea];  // fixed-format sense: [12] ASC, [13] ASCQ
};

// SRB_HAInquiry, 60 bytes.
struct AspiHostAdapterInquiry {
  uint8_t command_code;        // 0
  uint8_t status;
  uint8_t adapter_id;
  uint8_t flags;
  uint32_t reserved1;
  uint8_t adapter_count;
  uint8_t adapter_scsi_id;
  char manager_id[16];
  char adapter_identifier[16];
  uint8_t adapter_unique[16];
  uint16_t reserved2;
};

// SRB_GDEVBlock, 12 bytes.
struct AspiGetDeviceType {
  uint8_t command_code;        // 1
  uint8_t status;
  uint8_t adapter_id;
  uint8_t flags;
  uint32_t reserved1;
  uint8_t target_id;
  uint8_t lun;
  uint8_t device_type;         // peripheral device type, returned
  uint8_t reserved2;
};

// SRB_Abort: asks the library to abort the execute request at `request`
// (12 bytes; 16 on 64-bit Windows).
struct AspiAbortRequest {
  uint8_t command_code;        // 3
  uint8_t status;
  uint8_t adapter_id;
  uint8_t flags;
  uint32_t reserved1;
  void* request;
};

// The header every request block starts with.
struct AspiRequestHeader {
  uint8_t command_code;
  uint8_t status;
  uint8_t adapter_id;
  uint8_t flags;
  uint32_t reserved1;
};
#pragma pack(pop)

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(AspiExecRequest) == 194, "SRB_ExecSCSICmd is 194 bytes");
static_assert(offsetof(AspiExecRequest, data_length) == 12, "data_length offset");
static_assert(offsetof(AspiExecRequest, data_buffer) == 16, "data_buffer offset");
static_assert(offsetof(AspiExecRequest, sense_length) == 20, "sense_length offset");
static_assert(offsetof(AspiExecRequest, completion_event) == 24, "completion_event offset");
static_assert(offsetof(AspiExecRequest, cdb) == 48, "cdb offset");
static_assert(offsetof(AspiExecRequest, sense_area) == 64, "sense_area offset");
static_assert(sizeof(AspiHostAdapterInquiry) == 60, "SRB_HAInquiry is 60 bytes");
static_assert(sizeof(AspiGetDeviceType) == 12, "SRB_GDEVBlock is 12 bytes");
static_assert(offsetof(AspiGetDeviceType, device_type) == 10, "device type at 10");
static_assert(sizeof(AspiAbortRequest) == 12, "SRB_Abort is 12 bytes");
#elif defined(_WIN64)
// 64-bit: the same packed blocks with 8-byte pointers. In the execute
// request the 20 reserved bytes behind the completion event stay 20 bytes,
// so everything from there on moves by the 8 bytes the two pointers grew.
static_assert(sizeof(AspiExecRequest) == 202, "SRB_ExecSCSICmd is 202 bytes");
static_assert(offsetof(AspiExecRequest, data_length) == 12, "data_length offset");
static_assert(offsetof(AspiExecRequest, data_buffer) == 16, "data_buffer offset");
static_assert(offsetof(AspiExecRequest, sense_length) == 24, "sense_length offset");
static_assert(offsetof(AspiExecRequest, target_status) == 27, "target_status offset");
static_assert(offsetof(AspiExecRequest, completion_event) == 28, "completion_event offset");
static_assert(offsetof(AspiExecRequest, reserved3) == 36, "reserved3 offset");
static_assert(offsetof(AspiExecRequest, cdb) == 56, "cdb offset");
static_assert(offsetof(AspiExecRequest, sense_area) == 72, "sense_area offset");
// Only the abort request's pointer grows among the others.
static_assert(sizeof(AspiHostAdapterInquiry) == 60, "SRB_HAInquiry is 60 bytes");
static_assert(sizeof(AspiGetDeviceType) == 12, "SRB_GDEVBlock is 12 bytes");
static_assert(offsetof(AspiGetDeviceType, device_type) == 10, "device type at 10");
static_assert(offsetof(AspiAbortRequest, request) == 8, "aborted request at 8");
static_assert(sizeof(AspiAbortRequest) == 16, "SRB_Abort is 16 bytes");
#endif

// GetASPI32SupportInfo: bits 8-15 status (1 = ready), bits 0-7 adapter count.
inline uint8_t AspiSupportStatus(uint32_t info) { return static_cast<uint8_t>(info >> 8); }
inline uint8_t AspiAdapterCount(uint32_t info) { return static_cast<uint8_t>(info); }

extern "C" {
typedef uint32_t(__cdecl* GetAspi32SupportInfoFn)(void);
typedef uint32_t(__cdecl* SendAspi32CommandFn)(void* request);
typedef uint32_t(__cdecl* GetAspi32DllVersionFn)(void);
typedef int(__cdecl* GetAspi32BufferFn)(void* buffer_descriptor);
typedef int(__cdecl* FreeAspi32BufferFn)(void* buffer_descriptor);
typedef int(__cdecl* TranslateAspi32AddressFn)(void* path, void* device_node);
}
