// A simulated ATAPI CD-ROM/RW drive that speaks the updater's five commands:
// INQUIRY, Identify Model, Write Buffer, Read Buffer and Update Firmware.
//
// The core (SimDrive::Execute) knows nothing about the transport seams: it
// takes one request (CDB, direction, buffer, length) and returns a SCSI status
// with fixed-format sense data, so the same drive can sit behind a WNASPI32.DLL,
// the SG_IO preload, the TCMU handler or, in the unit tests, the dispatcher's
// transport seams (tests/support/sim_install.h).
//
// What the drive does:
//  - INQUIRY (12h): 56 bytes of standard inquiry data, vendor at 8, product at
//    16, revision at 32 (a raw reply can be set instead, see SimIdentity).
//    Version 0, as ATAPI drives report it (a Linux initiator then leaves CDB
//    byte 1 alone). No vital product data pages.
//  - Identify Model (33 xx F0): 16 bytes, model name at 2..11, firmware
//    version at 12..15.
//  - Write Buffer / Read Buffer (33 xx F1 / F2, mode 0): 24-bit offset, 16-bit
//    length, "KVD" at bytes 9..11; the buffer covers the whole 24-bit range.
//  - Update Firmware (33 xx F1, mode 80h or 40h, length 0, no data): programs
//    the buffer, that is everything written so far from offset 0 up to the
//    highest byte written, into the flash (Flashed()). When the programmed
//    image carries the vendor name block ("Korvadyn" at 0xFFD0 and the name at
//    0xFFE2), the drive then reports that model name and firmware version.
//  - Byte 1 of a vendor CDB must be 6Ch through ASPI and 0Ch through the
//    pass-through, as a real drive sees them.
//  - The drive holds no medium: TEST UNIT READY and the medium reads (READ
//    CAPACITY, READ TOC, READ(10)/(12), READ DISC INFORMATION) answer NOT
//    READY, sense 3A00h, as a drive with an empty tray does.
//  - Anything else: CHECK CONDITION, sense 2000h (invalid operation code) or
//    2400h (invalid field in the command packet).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/scsi_status.h"

enum class SimKind : uint8_t { Inquiry, IdentifyModel, WriteBuffer, ReadBuffer, UpdateFirmware, Other };
const char* SimKindName(SimKind kind);

enum class SimDirection : uint8_t { None, In, Out };

// How one request ended.
enum class SimOutcome : uint8_t {
  Completed,      // the drive answered: see scsi_status and sense
  Rejected,       // the operating system refused the request (never reached the drive)
  NoCompletion,   // the drive never finished the command
};

enum class SimFaultKind : uint8_t {
  CheckCondition,  // CHECK CONDITION with the rule's sense code; the command is not executed
  CorruptData,     // the command runs, but one byte is wrong: of the data returned (data in)
                   // or of the data the drive keeps (data out)
  OsRejection,     // the request is refused before it reaches the drive
  NeverComplete,   // the command never completes (a time-out for the host)
  SilentSuccess,   // GOOD status, but no data moves either way (commands with data)
  ShortTransfer,   // GOOD status, but only the first half of the data moves (commands with data)
  LostCompletion,  // the command is carried out, but its completion never reaches the host
                   // (a time-out for the host, as NeverComplete)
  KeepFirmware,    // Update Firmware answers GOOD, but the flash keeps the old firmware
};

// "On the nth command this rule matches (counting from 1; every attempt
// counts), and on the count-1 matching commands after it, do this."
// A rule matches commands of its kind, and with at_offset >= 0 only those
// whose CDB offset is at_offset.
struct SimFaultRule {
  SimKind kind = SimKind::WriteBuffer;
  uint32_t nth = 1;
  uint32_t count = 1;
  SimFaultKind fault = SimFaultKind::CheckCondition;
  uint16_t sense = 0x4400;  // ASC in the high byte, ASCQ in the low byte
  int32_t at_offset = -1;
  uint32_t seen = 0;        // matching commands so far (kept by the drive)
};

struct SimRequest {
  const uint8_t* cdb = nullptr;  // 12 bytes are read
  // How many CDB bytes the transport delivered. A carrier that cuts a
  // command to its operation code group's length (a Linux target core gives
  // a 33h command 10 bytes) hides the rest: bytes from here on are neither
  // checked nor trusted, and the transport fills them with zeros.
  uint8_t cdb_bytes = 12;
  SimDirection direction = SimDirection::None;
  void* buffer = nullptr;
  uint32_t length = 0;
  bool pass_through = false;  // the vendor CDB byte 1 the drive expects: 0Ch, else 6Ch
  uint8_t flags = 0;          // the transport's own flags, recorded as they came
};

struct SimReply {
  SimOutcome outcome = SimOutcome::Completed;
  uint8_t scsi_status = kScsiStatusGood;  // GOOD, or CHECK CONDITION with sense
  uint8_t sense[18] = {};   // fixed format: [2] key, [12] ASC, [13] ASCQ
  uint32_t transferred = 0; // data bytes moved
  uint16_t SenseCode() const { return static_cast<uint16_t>(sense[12] << 8 | sense[13]); }
};

// One command as the drive received it.
struct SimLogEntry {
  int drive = 0;
  SimKind kind = SimKind::Other;
  uint8_t cdb[12] = {};
  uint8_t cdb_bytes = 12;  // how many of them the transport delivered
  uint8_t flags = 0;
  SimDirection direction = SimDirection::None;
  uint32_t length = 0;
  std::vector<uint8_t> data_out;  // copy of the data written (data-out commands)
  SimOutcome outcome = SimOutcome::Completed;
  uint8_t scsi_status = kScsiStatusGood;
  uint16_t sense = 0;
  // Decoded vendor fields (0 for INQUIRY).
  uint32_t offset() const { return static_cast<uint32_t>(cdb[3]) << 16 | cdb[4] << 8 | cdb[5]; }
  uint8_t mode() const { return cdb[6]; }
  uint32_t cdb_length() const { return static_cast<uint32_t>(cdb[7]) << 8 | cdb[8]; }
};

struct SimIdentity {
  std::string vendor = "KORVADYN";         // INQUIRY bytes 8..15 (space padded to 8)
  std::string product = "CD-RW K53R      ";// INQUIRY bytes 16..31 (padded to 16)
  std::string revision = "1.00";           // INQUIRY bytes 32..35 (padded to 4)
  std::string model = "K53R-TX   ";        // identify bytes 2..11 (padded to 10)
  std::string version = "209A";            // identify bytes 12..15 (padded to 4)
  // When set, replaces the reply the drive builds (any length; bytes beyond
  // what the host asked for are not delivered). Lets tests feed garbage.
  std::vector<uint8_t> raw_inquiry;
  std::vector<uint8_t> raw_identify;
  bool has_raw_inquiry = false;
  bool has_raw_identify = false;
};

class SimDrive {
 public:
  static constexpr uint32_t kBufferSpan = 1u << 24;  // the 24-bit offset range

  explicit SimDrive(SimIdentity identity = {});

  // Executes one request. Every request is counted, checked against the
  // fault rules and recorded, whatever its outcome.
  SimReply Execute(const SimRequest& request);

  SimIdentity& identity() { return identity_; }
  void AddFault(const SimFaultRule& rule) { faults_.push_back(rule); }
  void ClearFaults() { faults_.clear(); }

  // The drive's buffer as written so far (up to the highest byte written).
  const std::vector<uint8_t>& BufferContents() const { return buffer_; }
  // What the last Update Firmware programmed, and with which mode.
  const std::vector<uint8_t>& Flashed() const { return flashed_; }
  uint8_t flash_mode() const { return flash_mode_; }
  int flash_count() const { return flash_count_; }

  // The log of received commands. When the drive belongs to a SimDrives the
  // log is the shared one of all drives.
  std::vector<SimLogEntry>& Log() { return *log_; }
  void UseLog(std::vector<SimLogEntry>* log, int index) { log_ = log ? log : &own_log_; index_ = index; }
  // Recording the written data (and the entries themselves) costs time;
  // benchmarks switch it off.
  void set_recording(bool on) { recording_ = on; }
  uint32_t Received(SimKind kind) const { return counters_[static_cast<int>(kind)]; }

  static SimKind Classify(const uint8_t* cdb);
  // The data direction of a command, as the drive knows it from the CDB
  // (for carriers that deliver data without saying which way it goes).
  // Commands the drive does not know count as data in.
  static SimDirection DirectionOf(const uint8_t* cdb);

 private:
  SimReply Run(const SimRequest& request, SimKind kind);
  SimReply ShortRun(const SimRequest& request, SimKind kind, uint32_t offset);
  SimReply Inquiry(const SimRequest& request);
  SimReply Identify(const SimRequest& request);
  SimReply BufferCommand(const SimRequest& request, SimKind kind);
  SimReply Update(const SimRequest& request);
  void TakeNameFromFlash();

  SimIdentity identity_;
  std::vector<SimFaultRule> faults_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> flashed_;
  uint8_t flash_mode_ = 0;
  int flash_count_ = 0;
  uint32_t counters_[6] = {};
  std::vector<SimLogEntry> own_log_;
  std::vector<SimLogEntry>* log_ = &own_log_;
  int index_ = 0;
  bool recording_ = true;
};

// Builds a CHECK CONDITION reply with fixed-format sense for a sense code.
SimReply SimCheckCondition(uint16_t sense_code);

// A set of simulated drives behind one transport mode.
class SimDrives {
 public:
  enum class Mode { Aspi, PassThrough };
  explicit SimDrives(Mode mode = Mode::Aspi) : mode_(mode) {}
  // The drives point at this object's log: it stays where it is.
  SimDrives(const SimDrives&) = delete;
  SimDrives& operator=(const SimDrives&) = delete;
  // Removes every drive and the log; the mode stays.
  void Clear() {
    drives_.clear();
    log_.clear();
  }

  // Adds a drive. ASPI: adapter index / 7, target index % 7. Pass-through: a
  // device handle of its own; open_failed leaves the drive without a handle
  // (the operating system then rejects every request for it).
  SimDrive& Add(SimIdentity identity = {}, bool open_failed = false);
  SimDrive& drive(size_t i) { return *drives_[i].drive; }
  size_t size() const { return drives_.size(); }
  Mode mode() const { return mode_; }

  void* HandleOf(size_t i) const { return drives_[i].handle; }
  uint8_t AdapterOf(size_t i) const { return drives_[i].adapter; }
  uint8_t TargetOf(size_t i) const { return drives_[i].target; }

  SimDrive* FindByHandle(void* handle);
  SimDrive* FindByAddress(uint8_t adapter, uint8_t target);

  std::vector<SimLogEntry>& Log() { return log_; }
  // Entries of one kind, in order.
  std::vector<const SimLogEntry*> Commands(SimKind kind) const;
  void ClearLog() { log_.clear(); }

 private:
  struct Slot {
    std::unique_ptr<SimDrive> drive;
    void* handle = nullptr;
    uint8_t adapter = 0;
    uint8_t target = 0;
    bool open_failed = false;
  };
  Mode mode_;
  std::vector<Slot> drives_;
  std::vector<SimLogEntry> log_;
};
