// The five commands spoken to a drive: INQUIRY and the vendor commands with
// operation code 33h. Each is built into a cleared record and dispatched.
#include "drive/commands.h"

#include "scsi/dispatcher.h"
#include "scsi/scsi_command.h"

namespace {

constexpr uint8_t kVendorOpcode = 0x33;
constexpr uint8_t kVendorByte1 = 0x6C;
constexpr uint8_t kFunctionIdentify = 0xF0;
constexpr uint8_t kFunctionWrite = 0xF1;
constexpr uint8_t kFunctionRead = 0xF2;

// The buffer commands carry a 24-bit offset and a 16-bit length.
constexpr uint32_t kMaxOffset = 0xFFFFFFu;
constexpr uint32_t kMaxLength = 0xFFFFu;

void Clear(ScsiCommand& command) { command = ScsiCommand{}; }

// 33 6C fn o2 o1 o0 mode l1 l0 'K' 'V' 'D'
void FillBufferCdb(ScsiCommand& command, uint8_t function, uint32_t offset, uint32_t length,
                   uint8_t mode) {
  uint8_t* cdb = command.cdb;
  cdb[0] = kVendorOpcode;
  cdb[1] = kVendorByte1;
  cdb[2] = function;
  cdb[3] = static_cast<uint8_t>(offset >> 16);
  cdb[4] = static_cast<uint8_t>(offset >> 8);
  cdb[5] = static_cast<uint8_t>(offset);
  cdb[6] = mode;
  cdb[7] = static_cast<uint8_t>(length >> 8);
  cdb[8] = static_cast<uint8_t>(length);
  cdb[9] = 'K';
  cdb[10] = 'V';
  cdb[11] = 'D';
}

// An offset or length that does not fit its CDB field would address other
// bytes of the drive's buffer than the caller meant: such a command is
// refused rather than sent truncated. So is a data phase without a buffer.
bool BufferArgumentsFit(const void* buffer, uint32_t offset, uint32_t length) {
  if (offset > kMaxOffset || length > kMaxLength) return false;
  if (length != 0 && buffer == nullptr) return false;
  return true;
}

}  // namespace

int Inquiry(void* reply, uint32_t allocation_length) {
  if (allocation_length != 0 && reply == nullptr) return 0;
  ScsiCommand command;
  Clear(command);
  command.cdb[0] = 0x12;
  command.cdb[4] = static_cast<uint8_t>(allocation_length);
  command.direction = ScsiDirection::kIn;
  command.data_buffer = reply;
  command.data_length = allocation_length;
  return SendScsiCommand(command, kInquiryTimeoutMs);
}

int IdentifyModel(void* reply, uint32_t reply_length) {
  const uint8_t length = static_cast<uint8_t>(reply_length);
  if (length != 0 && reply == nullptr) return 0;
  ScsiCommand command;
  Clear(command);
  command.cdb[0] = kVendorOpcode;
  command.cdb[1] = kVendorByte1;
  command.cdb[2] = kFunctionIdentify;
  command.cdb[8] = length;
  command.direction = ScsiDirection::kIn;
  command.data_buffer = reply;
  command.data_length = length;
  return SendScsiCommand(command, kIdentifyTimeoutMs);
}

int WriteBuffer(const void* data, uint32_t offset, uint32_t length, uint8_t mode) {
  ScsiCommand command;
  Clear(command);
  if (mode == kUpdateModeDefault || mode == kUpdateMode4k) {
    // Update Firmware: the drive programs what its buffer holds; no data
    // phase, so no length may promise one.
    if (offset > kMaxOffset || length != 0) return 0;
    FillBufferCdb(command, kFunctionWrite, offset, length, mode);
    command.direction = ScsiDirection::kNone;
    command.data_buffer = nullptr;
    command.data_length = 0;
    // Sent again only when the drive says it did not carry it out: after a
    // lost answer it may be programming its flash already.
    return SendScsiCommand(command, kBufferTimeoutMs, Completion::kCarriedOutAtMostOnce);
  }
  // Every other mode is a plain buffer write (mode byte 00h).
  if (!BufferArgumentsFit(data, offset, length)) return 0;
  FillBufferCdb(command, kFunctionWrite, offset, length, 0x00);
  command.direction = ScsiDirection::kOut;
  // The record's buffer pointer is not const: the same field carries the
  // data in both directions. Data out is only ever read by the transport.
  command.data_buffer = const_cast<void*>(data);
  command.data_length = length;
  return SendScsiCommand(command, kBufferTimeoutMs, Completion::kCarriedOut);
}

int ReadBuffer(void* buffer, uint32_t offset, uint32_t length, uint8_t mode) {
  if (!BufferArgumentsFit(buffer, offset, length)) return 0;
  ScsiCommand command;
  Clear(command);
  FillBufferCdb(command, kFunctionRead, offset, length, mode);
  command.direction = ScsiDirection::kIn;
  command.data_buffer = buffer;
  command.data_length = length;
  return SendScsiCommand(command, kBufferTimeoutMs, Completion::kCarriedOut);
}
