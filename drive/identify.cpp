// Which drives are attached, which images the program carries, and what may
// be written where.
#include "drive/identify.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/host.h"
#include "base/payload.h"
#include "drive/commands.h"
#include "scsi/dispatcher.h"

namespace {

constexpr uint32_t kInquiryReplySize = 56;
constexpr uint32_t kIdentifyReplySize = 16;
constexpr size_t kModelNameWidth = 10;

constexpr const char* kDosOnlyModels[] = {"K53R-T    ", "K53R-TX   "};
constexpr const char* kDosOnlyThreshold = "208W";
constexpr const char* kModelWithoutReadBack = "K53R-PX   ";

// Every image for every drive, and full names in the question.
bool EveryImageOffered() { return AppState().options.every_image_offered; }

// Copies a fixed-width field of a reply: the full width, ended at the first
// zero byte (trailing spaces stay). dst has room for width + 1 characters.
void CopyField(char* dst, const uint8_t* src, size_t width) {
  std::memcpy(dst, src, width);
  dst[width] = '\0';
}

int DirectoryCount() {
  const int n = AppState().image_count;
  if (n < 0) return 0;
  return n < kMaxDirectoryEntries ? n : kMaxDirectoryEntries;
}

// The identity record of a drive, or null when the index names no drive.
DriveIdentity* Identity(int drive) {
  UpdateState& state = AppState();
  if (!state.drive_identity_table || drive < 0 || drive >= state.drive_count) return nullptr;
  return &state.drive_identity_table[drive];
}

bool EntryValid(int entry) { return entry >= 0 && entry < DirectoryCount(); }

// The last four characters of a text, or the whole text when shorter.
std::string LastFour(const std::string& text) { return text.size() > 4 ? text.substr(text.size() - 4) : text; }

}  // namespace

void IdentifyDrives() {
  UpdateState& state = AppState();
  if (!state.drive_identity_table) return;
  const int n = state.drive_count < kDriveTableSize ? state.drive_count : kDriveTableSize;
  for (int i = 0; i < n; ++i) {
    DriveIdentity& record = state.drive_identity_table[i];
    std::memset(&record, 0, sizeof record);
    // A drive that cannot be selected would leave the previous drive current:
    // its answers must not end up in this record.
    if (!SelectDrive(static_cast<uint8_t>(i))) continue;

    uint8_t inquiry[kInquiryReplySize] = {};
    uint8_t identify[kIdentifyReplySize] = {};
    Inquiry(inquiry, sizeof inquiry);
    IdentifyModel(identify, sizeof identify);

    CopyField(record.vendor_identification, inquiry + 8, 8);
    CopyField(record.product_identification, inquiry + 16, 16);
    CopyField(record.product_revision, inquiry + 32, 4);
    CopyField(record.model_name, identify + 2, 10);
    CopyField(record.firmware_version, identify + 12, 4);
  }
}

int ReadImageDirectory() {
  UpdateState& state = AppState();
  for (ImageDirectoryEntry& entry : state.image_directory) entry = ImageDirectoryEntry{};
  ByteViewFile copy = PayloadCopy();
  if (!copy.IsOpen()) return 0;

  std::vector<ImageSpan> spans;
  const int found = WalkImages(copy, &spans);
  int n = found < 0 ? 0 : found;
  if (n > static_cast<int>(spans.size())) n = static_cast<int>(spans.size());
  if (n > kMaxDirectoryEntries) n = kMaxDirectoryEntries;
  for (int i = 0; i < n; ++i) {
    ImageDirectoryEntry& entry = state.image_directory[i];
    entry.image_offset = spans[i].offset;
    entry.image_size = spans[i].size;
    ReadImageName(copy, spans[i], entry.image_name);
  }
  return n;
}

bool ImageAppliesToDrive(int entry, int drive) {
  const DriveIdentity* identity = Identity(drive);
  if (!identity || !EntryValid(entry)) return false;
  if (EveryImageOffered()) return true;
  // A drive that answered nothing has no model name and takes no image.
  if (identity->model_name[0] == '\0') return false;
  const char* name = AppState().image_directory[entry].image_name;
  const std::string model_part(name, strnlen(name, kModelNameWidth));
  return model_part == identity->model_name;
}

int CountImagesForDrive(int drive) {
  int count = 0;
  for (int e = 0; e < DirectoryCount(); ++e) {
    if (ImageAppliesToDrive(e, drive)) ++count;
  }
  return count;
}

ModelVerdict ApplyModelRules(int drive) {
  const DriveIdentity* identity = Identity(drive);
  if (!identity) return {ModelRule::NoSuchDrive, nullptr};
  for (const char* model : kDosOnlyModels) {
    if (std::strcmp(identity->model_name, model) == 0 &&
        std::strcmp(identity->firmware_version, kDosOnlyThreshold) < 0) {
      return {ModelRule::DosOnly, kDosOnlyText};
    }
  }
  UpdateState& state = AppState();
  state.read_back_verification = true;
  if (std::strcmp(identity->model_name, kModelWithoutReadBack) == 0) state.read_back_verification = false;
  return {ModelRule::GoOn, nullptr};
}

ModelVerdict StartupModelChecks() {
  UpdateState& state = AppState();
  int m = 1;
  if (!EveryImageOffered()) {
    m = 0;
    for (int d = 0; d < state.drive_count; ++d) m += CountImagesForDrive(d);
  }
  if (state.drive_count == 1) {
    const ModelVerdict rules = ApplyModelRules(0);
    if (!rules.go_on()) return rules;
  }
  if (m == 0) return {ModelRule::Mismatch, nullptr};
  return {ModelRule::GoOn, nullptr};
}

AcceptVerdict AcceptStep(uint8_t drive, int entry, const char* caption) {
  UpdateState& state = AppState();
  AcceptVerdict verdict;
  const DriveIdentity* identity = Identity(drive);
  if (!identity || !EntryValid(entry)) return verdict;
  // The transfer goes to whatever drive is current: never confirm a drive
  // that could not be made current.
  if (!SelectDrive(drive)) return verdict;
  state.current_drive_index = drive;
  // The entry itself goes to the transfer: images may share a name.
  state.target_image_entry = entry;
  state.target_image_name = state.image_directory[entry].image_name;
  const ModelVerdict rules = ApplyModelRules(drive);
  if (!rules.go_on()) {
    if (rules.refusal) {
      verdict.outcome = AcceptOutcome::Refused;
      verdict.text = rules.refusal;
    }
    return verdict;
  }

  const std::string current = std::string(identity->model_name) + identity->firmware_version;
  const std::string& next = state.target_image_name;
  char question[128];
  if (EveryImageOffered()) {
    std::snprintf(question, sizeof question, "Are you sure to update firmware from\n%s to %s", current.c_str(),
                  next.c_str());
  } else {
    std::snprintf(question, sizeof question, "Are you sure to update firmware from\nVer %s to Ver %s",
                  LastFour(current).c_str(), LastFour(next).c_str());
  }
  verdict.outcome = AcceptOutcome::Ask;
  verdict.text = question;
  verdict.caption = caption ? caption : "";
  return verdict;
}

FirmwareCheck ConfirmFirmware(uint8_t drive, const std::string& image_name, int rounds, uint32_t pause_ms) {
  FirmwareCheck check;
  for (int round = 0; round < rounds && !check.confirmed; ++round) {
    if (round > 0 && Host().sleep_ms) Host().sleep_ms(pause_ms);
    if (!SelectDrive(drive)) break;
    uint8_t identify[kIdentifyReplySize] = {};
    if (!IdentifyModel(identify, sizeof identify) || identify[2] == 0) continue;
    check.answered = true;
    CopyField(check.model_name, identify + 2, 10);
    CopyField(check.firmware_version, identify + 12, 4);
    check.confirmed = image_name == std::string(check.model_name) + check.firmware_version;
  }
  return check;
}
