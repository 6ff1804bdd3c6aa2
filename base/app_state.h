// The state of one update run, shared by every layer. The Windows
// application object (CUpdateApp) derives from it; tests make their own.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class CommandTrace;
class ExeFile;

constexpr int kMaxDirectoryEntries = 100;
constexpr int kMaxListedDrives = 20;

// Drive identity record: narrow strings, each copied at its full width from
// the drive's reply and ended at the first zero byte.
struct DriveIdentity {
  char product_identification[16 + 1];
  char vendor_identification[8 + 1];
  char model_name[10 + 1];
  char firmware_version[4 + 1];
  char product_revision[4 + 1];
};

struct ImageDirectoryEntry {
  uint32_t image_offset;  // absolute position in the executable file
  uint32_t image_size;
  char image_name[14 + 1];
};

// Where the transfer shows its status text and progress position; null in
// the state when no progress dialog exists.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void SetStatus(const char* text) = 0;
  virtual void SetPosition(int position) = 0;
};

// How the drive is told to program its flash (the Update Firmware mode byte).
enum class FlashMode : uint8_t { kDefault = 0x80, k4k = 0x40 };

// What a run varies on, filled by each front end from its own command line
// before the run starts; the layers below read only this record.
struct UpdateOptions {
  // Every image is offered for every drive, whatever its model, and the
  // question names both firmwares in full.
  bool every_image_offered = false;
  FlashMode flash_mode = FlashMode::kDefault;
};

struct UpdateState {
  // Transfer display.
  std::string status_text;
  ProgressSink* progress_sink = nullptr;   // the status line and progress bar, published together

  // Command trace.
  CommandTrace* trace_sink = nullptr;
  int trace_on = 0;

  // Drives and images.
  int drive_count = 0;
  int image_count = 0;
  int listed_drive_indices[kMaxListedDrives] = {};
  int current_drive_index = 0;
  std::unique_ptr<DriveIdentity[]> drive_identity_table;
  ImageDirectoryEntry image_directory[kMaxDirectoryEntries] = {};

  // Executable and payload. The contents are the copy that was checked;
  // after the check nothing reads the file itself.
  std::unique_ptr<uint8_t[]> executable_contents;
  uint32_t executable_size = 0;
  ExeFile* executable_file = nullptr;

  // Choice and transfer.
  UpdateOptions options;
  int target_image_entry = -1;   // the directory entry the accept step chose; -1 none
  std::string target_image_name; // its name, for the question and the report
  bool read_back_verification = false;
  uint8_t result = 0;
  std::atomic<int> done{0};
  double progress_position = 0.0;
  int progress_total = 120;
};

// The state of this process's run. SetAppState registers the owner (the
// application object, or a test fixture); until then a built-in instance.
UpdateState& AppState();
void SetAppState(UpdateState* state);
