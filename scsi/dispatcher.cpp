// Addressing state and the dispatcher: every drive command goes through
// SendScsiCommand, which sends it through the transport of the current mode,
// judges each attempt's neutral outcome, repeats failed attempts and turns
// the drive's sense data into a text.
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
constexpr uint32_t kBecomingReadyWaitMs = 3000;

constexpr uint16_t kSensePowerOnReset = 0x2900;
constexpr uint16_t kSenseMediumChanged = 0x2800;
constexpr uint16_t kSense3A13 = 0x3A13;
constexpr uint16_t kSenseBecomingReady = 0x0401;

// Commands in progress, one counter per transport mode.
int g_depth_pass_through = 0;
int g_depth_aspi = 0;
std::string g_last_failure_text;

ScsiOutcome Refuse(const ScsiRequest&) { return RejectedOutcome(); }

TransportSeams DefaultTransports() { return TransportSeams{Refuse, Refuse}; }
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

// What one attempt means for the dispatch.
enum class AfterAttempt { kRetry, kSucceeded, kAbandoned, kGiveUp };

bool IsUnitAttention(uint16_t code) {
  return code == kSensePowerOnReset || code == kSenseMediumChanged || code == kSense3A13;
}

// The drive's answer says it did not carry the command out.
bool NotCarriedOut(uint16_t code) { return IsUnitAttention(code) || code == kSenseBecomingReady; }

// drive_answered: the attempt ended in the drive's CHECK CONDITION, so the
// sense code is its answer; otherwise the code is the transport's.
AfterAttempt HandleSense(uint16_t code, uint32_t transport_code, Completion completion, bool drive_answered) {
  if (IsUnitAttention(code) && completion == Completion::kAnswered) return AfterAttempt::kSucceeded;
  if (code == 0) code = static_cast<uint16_t>(transport_code & 0xFFFFu);
  const char* text = SenseText(code);
  g_last_failure_text = text ? text : "";
  if (g_abandon_command) {
    if (Host().message_box) Host().message_box(g_last_failure_text.c_str());
    g_abandon_command = false;
    return AfterAttempt::kAbandoned;
  }
  if (completion == Completion::kCarriedOutAtMostOnce && !(drive_answered && NotCarriedOut(code)))
    return AfterAttempt::kGiveUp;
  if (code == kSenseBecomingReady && Host().sleep_ms) Host().sleep_ms(kBecomingReadyWaitMs);
  return AfterAttempt::kRetry;
}

// The dispatcher's reading of one outcome (the rules in dispatcher.h).
AfterAttempt Judge(const ScsiOutcome& outcome, const ScsiRequest& request, Completion completion) {
  if (outcome.category == ScsiCategory::kGood) {
    // A data phase that moved fewer bytes than asked left part of a chunk
    // behind: that is no success for a command that must be carried out.
    const bool short_transfer = request.direction != ScsiDirection::kNone && outcome.transferred < request.data_length;
    if (completion == Completion::kCarriedOut && short_transfer) return AfterAttempt::kRetry;
    return AfterAttempt::kSucceeded;
  }
  const bool drive_answered =
      outcome.category == ScsiCategory::kDriveStatus && outcome.status == kScsiStatusCheckCondition;
  const size_t sense_length = outcome.sense_length < sizeof outcome.sense ? outcome.sense_length : sizeof outcome.sense;
  if (!drive_answered && sense_length == 0 && outcome.transport_code == 0) {
    // Nothing to read: no status of this attempt, or one without sense data.
    return completion == Completion::kCarriedOutAtMostOnce ? AfterAttempt::kGiveUp : AfterAttempt::kRetry;
  }
  return HandleSense(SenseCodeOf(outcome.sense, sense_length), outcome.transport_code, completion, drive_answered);
}

// A command in one mode: its depth slot, then up to five attempts.
int Dispatch(int& depth, ScsiAttempt attempt, const ScsiRequest& request, Completion completion) {
  DepthSlot slot(depth);
  if (!slot.taken() || !attempt) return 0;
  for (int i = 0; i < kAttempts; ++i) {
    switch (Judge(attempt(request), request, completion)) {
      case AfterAttempt::kSucceeded: return 1;
      case AfterAttempt::kAbandoned:
      case AfterAttempt::kGiveUp: return 0;
      case AfterAttempt::kRetry: break;
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

int SendScsiCommand(const ScsiCommand& command, uint32_t timeout_ms, Completion completion) {
  if (command.cdb_length == 0 || command.cdb_length > kScsiCdbCapacity) return 0;
  ScsiRequest request;
  static_cast<ScsiCommand&>(request) = command;
  request.timeout_ms = timeout_ms;
  return g_pass_through_mode ? Dispatch(g_depth_pass_through, g_transports.pass_through_attempt, request, completion)
                             : Dispatch(g_depth_aspi, g_transports.aspi_attempt, request, completion);
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
