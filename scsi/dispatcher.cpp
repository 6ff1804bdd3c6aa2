// Addressing state and the dispatcher: every drive command goes through
// SendScsiCommand, which sends it through the transport of the current mode,
// repeats failed attempts and turns the drive's sense data into a text.
#include "scsi/dispatcher.h"

#include <cstring>

#include "base/host.h"
#include "scsi/sense_text.h"

bool g_pass_through_mode = false;
DriveEntry DriveTable[kDriveTableSize] = {};
uint8_t g_drive_table_count = 0;
CurrentDrive g_current_drive = {};
bool g_abandon_command = false;

namespace {

constexpr int kMaxDepth = 6;
constexpr int kAttempts = 5;
constexpr uint8_t kCheckCondition = 2;
// ASPI request status SS_ERR: the target ended the command with the status
// in the record (anything else is the library's or the adapter's doing).
constexpr int kAspiTargetError = 0x04;
constexpr uint32_t kBecomingReadyWaitMs = 3000;

constexpr uint16_t kSensePowerOnReset = 0x2900;
constexpr uint16_t kSenseMediumChanged = 0x2800;
constexpr uint16_t kSense3A13 = 0x3A13;
constexpr uint16_t kSenseBecomingReady = 0x0401;

// Commands in progress, one counter per transport mode.
int g_depth_pass_through = 0;
int g_depth_aspi = 0;
std::string g_last_failure_text;

int NoPassThrough(PassThroughRequest&, uint32_t) { return -1; }
int NoAspi(ScsiCommand&, uint32_t) { return 0; }
// A token that stands for an event where no real events exist.
char g_dummy_event;
void* DummyEvent() { return &g_dummy_event; }
void NoClose(void*) {}

TransportSeams DefaultTransports() {
  return TransportSeams{NoPassThrough, NoAspi, DummyEvent, NoClose};
}
TransportSeams g_transports = DefaultTransports();

// Holds one slot of a mode's depth counter for the length of a dispatch.
class DepthSlot {
 public:
  explicit DepthSlot(int& counter) : counter_(counter) {
    if (counter_ < kMaxDepth) {
      ++counter_;
      taken_ = true;
    }
  }
  ~DepthSlot() {
    if (taken_) --counter_;
  }
  DepthSlot(const DepthSlot&) = delete;
  DepthSlot& operator=(const DepthSlot&) = delete;
  bool taken() const { return taken_; }

 private:
  int& counter_;
  bool taken_ = false;
};

// Closes the dispatch's completion event on every way out and leaves no
// stale handle in the record.
class EventGuard {
 public:
  EventGuard(ScsiCommand& command, void* event) : command_(command), event_(event) {}
  ~EventGuard() {
    if (!event_) return;
    if (command_.completion_event == event_) command_.completion_event = nullptr;
    if (g_transports.close_event) g_transports.close_event(event_);
  }
  EventGuard(const EventGuard&) = delete;
  EventGuard& operator=(const EventGuard&) = delete;

 private:
  ScsiCommand& command_;
  void* event_;
};

// What a failed attempt with sense data means for the dispatch.
enum class AfterFailure { kRetry, kSucceeded, kAbandoned, kGiveUp };

bool IsUnitAttention(uint16_t code) {
  return code == kSensePowerOnReset || code == kSenseMediumChanged || code == kSense3A13;
}

// The drive's answer says it did not carry the command out.
bool NotCarriedOut(uint16_t code) { return IsUnitAttention(code) || code == kSenseBecomingReady; }

// drive_answered: the attempt ended in the drive's CHECK CONDITION, so the
// sense code is its answer; otherwise the code may be stale or made up.
AfterFailure HandleSense(uint16_t code, int transport_result, Completion completion, bool drive_answered) {
  if (IsUnitAttention(code) && completion == Completion::kAnswered) return AfterFailure::kSucceeded;
  if (code == 0) code = static_cast<uint16_t>(static_cast<uint32_t>(transport_result) & 0xFFFFu);
  const char* text = SenseText(code);
  g_last_failure_text = text ? text : "";
  if (g_abandon_command) {
    if (Host().message_box) Host().message_box(g_last_failure_text.c_str());
    g_abandon_command = false;
    return AfterFailure::kAbandoned;
  }
  if (completion == Completion::kCarriedOutAtMostOnce && !(drive_answered && NotCarriedOut(code)))
    return AfterFailure::kGiveUp;
  if (code == kSenseBecomingReady && Host().sleep_ms) Host().sleep_ms(kBecomingReadyWaitMs);
  return AfterFailure::kRetry;
}

int SendPassThrough(ScsiCommand& command, uint32_t timeout_ms, Completion completion) {
  DepthSlot slot(g_depth_pass_through);
  if (!slot.taken()) return 0;
  PassThroughRequest built;
  BuildPassThroughRequest(command, built);
  PassThroughRequest request;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // The system writes back what moved, the status and the sense length it
    // filled: every attempt goes out as the request was built.
    request = built;
    const int result =
        g_transports.pass_through_attempt ? g_transports.pass_through_attempt(request, timeout_ms) : -1;
    if (result == 1) {
      // A data phase that moved fewer bytes than asked left part of a chunk
      // behind: that is no success for a command that must be carried out.
      if (completion == Completion::kCarriedOut &&
          request.sptd.DataTransferLength < built.sptd.DataTransferLength)
        continue;
      return 1;
    }
    // A request the system rejected carries no status of this attempt;
    // anything but CHECK CONDITION has no sense data to look at.
    if (result == -1 || request.sptd.ScsiStatus != kCheckCondition) {
      if (completion == Completion::kCarriedOutAtMostOnce) return 0;
      continue;
    }
    switch (HandleSense(SenseCodeOf(request.sense, sizeof request.sense), 0, completion, true)) {
      case AfterFailure::kSucceeded: return 1;
      case AfterFailure::kAbandoned:
      case AfterFailure::kGiveUp: return 0;
      case AfterFailure::kRetry: break;
    }
  }
  return 0;
}

int SendAspi(ScsiCommand& command, uint32_t timeout_ms, Completion completion) {
  void* event = g_transports.create_event ? g_transports.create_event() : nullptr;
  if (!event) return 0;
  EventGuard event_guard(command, event);
  command.command_code = 2;
  command.sense_length = 128;
  command.cdb_length = 12;
  command.completion_event = event;

  DepthSlot slot(g_depth_aspi);
  if (!slot.taken()) return 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int result = g_transports.aspi_attempt ? g_transports.aspi_attempt(command, timeout_ms) : 0;
    if (result == 1) return 1;
    const bool drive_answered = result == kAspiTargetError && command.target_status == kCheckCondition;
    const uint16_t code = SenseCodeOf(command.sense_area, sizeof command.sense_area);
    switch (HandleSense(code, result, completion, drive_answered)) {
      case AfterFailure::kSucceeded: return 1;
      case AfterFailure::kAbandoned:
      case AfterFailure::kGiveUp: return 0;
      case AfterFailure::kRetry: break;
    }
  }
  return 0;
}

}  // namespace

int SelectDrive(uint8_t index) {
  if (index >= g_drive_table_count) return 0;
  const DriveEntry& entry = DriveTable[index];
  if (g_pass_through_mode) {
    g_current_drive.device_handle = entry.device_handle;
    g_current_drive.path_id = entry.path_id;
    g_current_drive.lun = entry.lun;
    g_current_drive.target_id = entry.target_id;
  } else {
    g_current_drive.host_adapter_id = entry.host_adapter_id;
    g_current_drive.target_id = entry.target_id;
  }
  g_current_drive.index = index;
  return 1;
}

TransportSeams& Transports() { return g_transports; }
void ResetTransports() { g_transports = DefaultTransports(); }

void BuildPassThroughRequest(ScsiCommand& command, PassThroughRequest& request) {
  command.flags = static_cast<uint8_t>(command.flags & ~kFlagPostEvent);
  std::memset(&request, 0, sizeof request);
  PassThroughDirect& d = request.sptd;
  d.Length = kPassThroughDirectLength;
  d.CdbLength = 12;
  d.SenseInfoLength = 32;
  d.DataIn = command.flags == kFlagDataOut ? 0 : 1;
  d.DataTransferLength = command.data_length;
  d.DataBuffer = command.data_buffer;
  d.SenseInfoOffset = kPassThroughSenseOffset;
  std::memcpy(d.Cdb, command.cdb, sizeof d.Cdb);
}

void PreparePassThroughAttempt(PassThroughRequest& request, uint32_t timeout_ms) {
  PassThroughDirect& d = request.sptd;
  if (d.Cdb[0] == 0x33 && d.Cdb[1] == 0x6C) d.Cdb[1] = 0x0C;
  d.PathId = g_current_drive.path_id;
  d.TargetId = g_current_drive.target_id;
  d.Lun = g_current_drive.lun;
  d.TimeOutValue = timeout_ms / 1000;
}

int SendScsiCommand(ScsiCommand& command, uint32_t timeout_ms, Completion completion) {
  return g_pass_through_mode ? SendPassThrough(command, timeout_ms, completion)
                             : SendAspi(command, timeout_ms, completion);
}

const std::string& LastFailureText() { return g_last_failure_text; }

void ResetScsiState() {
  g_pass_through_mode = false;
  std::memset(DriveTable, 0, sizeof DriveTable);
  g_drive_table_count = 0;
  g_current_drive = CurrentDrive{};
  g_depth_pass_through = 0;
  g_depth_aspi = 0;
  g_last_failure_text.clear();
  g_abandon_command = false;
}
