#include "sim/sim_drive.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kVendorOpcode = 0x33;
constexpr uint8_t kInquiryOpcode = 0x12;
constexpr uint8_t kAspiLunByte = 0x6C;
constexpr uint8_t kPassThroughLunByte = 0x0C;
constexpr uint32_t kMaxChunk = 1024;
constexpr uint32_t kInquirySize = 56;
constexpr uint32_t kIdentifySize = 16;

constexpr uint16_t kInvalidOpcode = 0x2000;
constexpr uint16_t kInvalidField = 0x2400;
constexpr uint16_t kSequenceError = 0x2C00;
constexpr uint16_t kNoMedium = 0x3A00;

// Where a vendor image keeps its name block.
constexpr uint32_t kVendorProbeAt = 0xFFD0;
constexpr uint32_t kNameBlockAt = 0xFFE0;

uint8_t SenseKeyFor(uint16_t code) {
  switch (code >> 8) {
    case 0x00: return 0x00;
    case 0x04: case 0x3A: return 0x02;  // not ready
    case 0x28: case 0x29: return 0x06;  // unit attention
    case 0x1A: case 0x20: case 0x21: case 0x24: case 0x26: case 0x2C: return 0x05;  // illegal request
    case 0x0C: case 0x11: return 0x03;  // medium error
    default: return 0x04;               // hardware error
  }
}

void PutPadded(uint8_t* dst, const std::string& text, size_t width) {
  std::memset(dst, ' ', width);
  std::memcpy(dst, text.data(), std::min(text.size(), width));
}

// The "KVD" signature at bytes 9..11, as far as the drive could see it.
bool HasSignature(const SimRequest& request) {
  static const char kSignature[] = "KVD";
  for (unsigned i = 0; i < 3; ++i) {
    if (9u + i < request.cdb_bytes && request.cdb[9 + i] != kSignature[i]) return false;
  }
  return true;
}

// Opcodes a drive with an empty tray answers NOT READY, no medium.
bool NeedsMedium(uint8_t opcode) {
  switch (opcode) {
    case 0x00:  // TEST UNIT READY
    case 0x25:  // READ CAPACITY
    case 0x28:  // READ(10)
    case 0x43:  // READ TOC/PMA/ATIP
    case 0x51:  // READ DISC INFORMATION
    case 0xA8:  // READ(12)
      return true;
    default:
      return false;
  }
}

// Copies a reply into the host's buffer: never more than the host asked for,
// the buffer holds or the reply has.
uint32_t Deliver(const SimRequest& request, uint32_t asked, const uint8_t* reply, size_t reply_size) {
  if (!request.buffer) return 0;
  uint32_t n = std::min<uint32_t>(asked, request.length);
  n = std::min<uint32_t>(n, static_cast<uint32_t>(reply_size));
  if (n) std::memcpy(request.buffer, reply, n);
  return n;
}

}  // namespace

const char* SimKindName(SimKind kind) {
  switch (kind) {
    case SimKind::Inquiry: return "Inquiry";
    case SimKind::IdentifyModel: return "IdentifyModel";
    case SimKind::WriteBuffer: return "WriteBuffer";
    case SimKind::ReadBuffer: return "ReadBuffer";
    case SimKind::UpdateFirmware: return "UpdateFirmware";
    case SimKind::Other: break;
  }
  return "Other";
}

SimReply SimCheckCondition(uint16_t sense_code) {
  SimReply reply;
  reply.outcome = SimOutcome::Completed;
  reply.scsi_status = kScsiStatusCheckCondition;
  reply.sense[0] = 0x70;
  reply.sense[2] = SenseKeyFor(sense_code);
  reply.sense[7] = 10;
  reply.sense[12] = static_cast<uint8_t>(sense_code >> 8);
  reply.sense[13] = static_cast<uint8_t>(sense_code);
  return reply;
}

SimDrive::SimDrive(SimIdentity identity) : identity_(std::move(identity)) {}

SimKind SimDrive::Classify(const uint8_t* cdb) {
  if (!cdb) return SimKind::Other;
  if (cdb[0] == kInquiryOpcode) return SimKind::Inquiry;
  if (cdb[0] != kVendorOpcode) return SimKind::Other;
  switch (cdb[2]) {
    case 0xF0: return SimKind::IdentifyModel;
    case 0xF1: return (cdb[6] == 0x80 || cdb[6] == 0x40) ? SimKind::UpdateFirmware : SimKind::WriteBuffer;
    case 0xF2: return SimKind::ReadBuffer;
    default: return SimKind::Other;
  }
}

SimDirection SimDrive::DirectionOf(const uint8_t* cdb) {
  switch (Classify(cdb)) {
    case SimKind::WriteBuffer: return SimDirection::Out;
    case SimKind::UpdateFirmware: return SimDirection::None;
    default: return SimDirection::In;
  }
}

SimReply SimDrive::Execute(const SimRequest& request) {
  const SimKind kind = Classify(request.cdb);
  ++counters_[static_cast<int>(kind)];
  const uint32_t offset =
      request.cdb ? static_cast<uint32_t>(request.cdb[3]) << 16 | request.cdb[4] << 8 | request.cdb[5] : 0;

  const SimFaultRule* fault = nullptr;
  for (SimFaultRule& rule : faults_) {
    if (rule.kind != kind || (rule.at_offset >= 0 && static_cast<uint32_t>(rule.at_offset) != offset)) continue;
    const uint32_t n = ++rule.seen;
    if (!fault && n >= rule.nth && n - rule.nth < rule.count) fault = &rule;
  }

  SimReply reply;
  if (fault && fault->fault == SimFaultKind::OsRejection) {
    reply.outcome = SimOutcome::Rejected;
  } else if (fault && fault->fault == SimFaultKind::NeverComplete) {
    reply.outcome = SimOutcome::NoCompletion;
  } else if (fault && fault->fault == SimFaultKind::CheckCondition) {
    reply = SimCheckCondition(fault->sense);
  } else if (fault && fault->fault == SimFaultKind::SilentSuccess && request.direction != SimDirection::None) {
    reply = SimReply{};
  } else if (fault && fault->fault == SimFaultKind::ShortTransfer && request.direction != SimDirection::None) {
    reply = ShortRun(request, kind, offset);
  } else if (fault && fault->fault == SimFaultKind::KeepFirmware && kind == SimKind::UpdateFirmware) {
    reply = SimReply{};
  } else if (fault && fault->fault == SimFaultKind::LostCompletion) {
    Run(request, kind);
    reply.outcome = SimOutcome::NoCompletion;
  } else {
    reply = Run(request, kind);
    if (fault && fault->fault == SimFaultKind::CorruptData && reply.scsi_status == kScsiStatusGood && reply.transferred > 0) {
      if (request.direction == SimDirection::In) {
        static_cast<uint8_t*>(request.buffer)[reply.transferred / 2] ^= 0x5A;
      } else if (request.direction == SimDirection::Out) {
        buffer_[offset + reply.transferred / 2] ^= 0x5A;
      }
    }
  }

  if (recording_) {
    SimLogEntry entry;
    entry.drive = index_;
    entry.kind = kind;
    if (request.cdb) std::memcpy(entry.cdb, request.cdb, sizeof entry.cdb);
    entry.cdb_bytes = request.cdb_bytes;
    entry.flags = request.flags;
    entry.direction = request.direction;
    entry.length = request.length;
    if (request.direction == SimDirection::Out && request.buffer && request.length) {
      const uint8_t* data = static_cast<const uint8_t*>(request.buffer);
      entry.data_out.assign(data, data + std::min(request.length, kMaxChunk * 64));
    }
    entry.outcome = reply.outcome;
    entry.scsi_status = reply.scsi_status;
    entry.sense = reply.scsi_status == kScsiStatusCheckCondition ? reply.SenseCode() : 0;
    log_->push_back(std::move(entry));
  }
  return reply;
}

// Runs the command, then takes back the second half of what moved: the host
// sees only half of a read, the drive keeps only half of a write.
SimReply SimDrive::ShortRun(const SimRequest& request, SimKind kind, uint32_t offset) {
  const size_t before = buffer_.size();
  std::vector<uint8_t> kept;
  if (request.direction == SimDirection::Out && offset < before)
    kept.assign(buffer_.begin() + offset, buffer_.begin() + std::min<size_t>(before, size_t{offset} + request.length));
  SimReply reply = Run(request, kind);
  if (reply.scsi_status != kScsiStatusGood || reply.transferred == 0) return reply;
  const uint32_t half = reply.transferred / 2;
  if (request.direction == SimDirection::In) {
    std::memset(static_cast<uint8_t*>(request.buffer) + half, 0, reply.transferred - half);
  } else {
    for (uint32_t i = half; i < reply.transferred; ++i) {
      const size_t at = size_t{offset} + i;
      buffer_[at] = (at < before && i < kept.size()) ? kept[i] : 0;
    }
  }
  reply.transferred = half;
  return reply;
}

SimReply SimDrive::Run(const SimRequest& request, SimKind kind) {
  if (!request.cdb) return SimCheckCondition(kInvalidOpcode);
  if (request.cdb[0] == kVendorOpcode) {
    const uint8_t expected = request.pass_through ? kPassThroughLunByte : kAspiLunByte;
    if (request.cdb[1] != expected) return SimCheckCondition(kInvalidField);
  }
  switch (kind) {
    case SimKind::Inquiry: return Inquiry(request);
    case SimKind::IdentifyModel: return Identify(request);
    case SimKind::WriteBuffer:
    case SimKind::ReadBuffer: return BufferCommand(request, kind);
    case SimKind::UpdateFirmware: return Update(request);
    case SimKind::Other: break;
  }
  return SimCheckCondition(NeedsMedium(request.cdb[0]) ? kNoMedium : kInvalidOpcode);
}

SimReply SimDrive::Inquiry(const SimRequest& request) {
  // No vital product data pages (EVPD) and no command support data (CmdDt).
  if (request.direction != SimDirection::In || (request.cdb[1] & 0x03) != 0) return SimCheckCondition(kInvalidField);
  SimReply reply;
  const uint32_t asked = request.cdb[4];
  if (identity_.has_raw_inquiry) {
    reply.transferred = Deliver(request, asked, identity_.raw_inquiry.data(), identity_.raw_inquiry.size());
    return reply;
  }
  uint8_t data[kInquirySize] = {};
  data[0] = 0x05;  // CD-ROM device
  data[1] = 0x80;  // removable medium
  data[3] = 0x21;  // ATAPI, response data format 1
  data[4] = kInquirySize - 5;
  PutPadded(data + 8, identity_.vendor, 8);
  PutPadded(data + 16, identity_.product, 16);
  PutPadded(data + 32, identity_.revision, 4);
  reply.transferred = Deliver(request, asked, data, sizeof data);
  return reply;
}

SimReply SimDrive::Identify(const SimRequest& request) {
  if (request.direction != SimDirection::In) return SimCheckCondition(kInvalidField);
  SimReply reply;
  const uint32_t asked = request.cdb[8];
  if (identity_.has_raw_identify) {
    reply.transferred = Deliver(request, asked, identity_.raw_identify.data(), identity_.raw_identify.size());
    return reply;
  }
  uint8_t data[kIdentifySize] = {};
  PutPadded(data + 2, identity_.model, 10);
  PutPadded(data + 12, identity_.version, 4);
  reply.transferred = Deliver(request, asked, data, sizeof data);
  return reply;
}

SimReply SimDrive::BufferCommand(const SimRequest& request, SimKind kind) {
  const uint8_t* cdb = request.cdb;
  if (!HasSignature(request) || cdb[6] != 0x00) return SimCheckCondition(kInvalidField);
  const uint32_t offset = static_cast<uint32_t>(cdb[3]) << 16 | cdb[4] << 8 | cdb[5];
  const uint32_t length = static_cast<uint32_t>(cdb[7]) << 8 | cdb[8];
  const SimDirection wanted = kind == SimKind::WriteBuffer ? SimDirection::Out : SimDirection::In;
  if (request.direction != wanted || length == 0 || length > kMaxChunk || length != request.length ||
      !request.buffer || offset + length > kBufferSpan) {
    return SimCheckCondition(kInvalidField);
  }
  SimReply reply;
  if (kind == SimKind::WriteBuffer) {
    if (buffer_.size() < offset + length) buffer_.resize(offset + length, 0);
    std::memcpy(buffer_.data() + offset, request.buffer, length);
  } else {
    uint8_t* out = static_cast<uint8_t*>(request.buffer);
    std::memset(out, 0, length);
    if (offset < buffer_.size()) {
      std::memcpy(out, buffer_.data() + offset, std::min<size_t>(length, buffer_.size() - offset));
    }
  }
  reply.transferred = length;
  return reply;
}

SimReply SimDrive::Update(const SimRequest& request) {
  const uint8_t* cdb = request.cdb;
  const bool zero_fields = cdb[3] == 0 && cdb[4] == 0 && cdb[5] == 0 && cdb[7] == 0 && cdb[8] == 0;
  if (!HasSignature(request) || !zero_fields || request.length != 0 || request.direction == SimDirection::Out) {
    return SimCheckCondition(kInvalidField);
  }
  // Nothing in the buffer: a careful drive refuses to program an empty image.
  if (buffer_.empty()) return SimCheckCondition(kSequenceError);
  flashed_ = buffer_;
  flash_mode_ = cdb[6];
  ++flash_count_;
  TakeNameFromFlash();
  return SimReply{};
}

void SimDrive::TakeNameFromFlash() {
  if (flashed_.size() < kNameBlockAt + 16) return;
  if (std::memcmp(flashed_.data() + kVendorProbeAt, "Korvadyn", 8) != 0) return;
  const char* name = reinterpret_cast<const char*>(flashed_.data() + kNameBlockAt + 2);
  identity_.model.assign(name, 10);
  identity_.version.assign(name + 10, 4);
  identity_.has_raw_identify = false;
}

// ---------------------------------------------------------------------------

SimDrive& SimDrives::Add(SimIdentity identity, bool open_failed) {
  const size_t i = drives_.size();
  Slot slot;
  slot.drive = std::make_unique<SimDrive>(std::move(identity));
  slot.drive->UseLog(&log_, static_cast<int>(i));
  slot.adapter = static_cast<uint8_t>(i / 7);
  slot.target = static_cast<uint8_t>(i % 7);
  slot.open_failed = open_failed;
  if (mode_ == Mode::PassThrough && !open_failed) {
    slot.handle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5100 + 0x10 * i));
  }
  drives_.push_back(std::move(slot));
  return *drives_.back().drive;
}

SimDrive* SimDrives::FindByHandle(void* handle) {
  if (!handle) return nullptr;
  for (Slot& s : drives_) {
    if (s.handle == handle) return s.drive.get();
  }
  return nullptr;
}

SimDrive* SimDrives::FindByAddress(uint8_t adapter, uint8_t target) {
  for (Slot& s : drives_) {
    if (s.adapter == adapter && s.target == target) return s.drive.get();
  }
  return nullptr;
}

std::vector<const SimLogEntry*> SimDrives::Commands(SimKind kind) const {
  std::vector<const SimLogEntry*> out;
  for (const SimLogEntry& e : log_) {
    if (e.kind == kind) out.push_back(&e);
  }
  return out;
}
