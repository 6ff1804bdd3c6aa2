// Stand-ins for the platform behind the transports: SetupAPI and the
// pass-through driver, the ASPI library, the event calls and Sleep. Each test
// fills g_world, installs it with InstallWorld() and reads what was called.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/app_state.h"
#include "scsi/aspi_win32.h"
#include "scsi/passthrough_win32.h"
#include "scsi/trace.h"
#include "scsi/platform_win32.h"

struct FakeInterface {
  std::string path;
  bool open_fails = false;
  bool detail_fails = false;
};

struct FakeAspiDevice {
  uint8_t adapter, target, lun, type;
};

struct CreateFileCall {
  std::string name;
  DWORD access, share, disposition, flags;
  bool security_null, template_null;
};

struct IoctlCall {
  HANDLE device;
  DWORD code, in_size, out_size;
  bool same_buffer, overlapped_null;
  PassThroughRequest request;  // as it went out
};

struct ExecCall {
  AspiExecRequest block;           // as the library received it
  AspiExecRequest* address;        // where it lives
  std::vector<uint8_t> data;   // the data buffer's contents at send time
};

struct World {
  // SetupAPI.
  bool class_devs_fail = false;
  std::vector<FakeInterface> interfaces;
  GUID class_guid{};
  DWORD class_flags = 0;
  bool class_enumerator_null = false, class_window_null = false;
  std::vector<DWORD> enum_cb_sizes;
  std::vector<DWORD> enum_indices;
  int detail_size_queries = 0;
  std::vector<DWORD> detail_cb_sizes;
  int destroyed_sets = 0;
  std::vector<CreateFileCall> opens;

  // Pass-through driver.
  std::vector<IoctlCall> ioctls;
  BOOL ioctl_result = TRUE;
  uint8_t ioctl_scsi_status = 0;
  std::vector<uint8_t> ioctl_sense;  // written into the sense buffer
  // What did not move (-1: nothing moved on CHECK CONDITION, all of it else).
  // Like the system (Wine over SG_IO included), every call writes back the
  // status, DataTransferLength minus this and the sense bytes it filled.
  int32_t ioctl_resid = -1;

  // Version.
  DWORD platform_id = VER_PLATFORM_WIN32_NT;
  DWORD version_info_size = 0;
  int version_queries = 0;

  // ASPI library.
  bool library_present = true;
  std::vector<std::string> loaded;
  std::vector<std::string> looked_up;
  std::vector<std::string> missing_entry_points;
  uint32_t support_info = 0x0101;
  int support_calls = 0;
  std::vector<uint8_t> failing_adapters;   // host adapter inquiry fails
  std::vector<uint8_t> inquired_adapters;
  std::vector<FakeAspiDevice> devices;
  std::vector<AspiGetDeviceType> device_queries;
  // Execute requests: what the library does with each.
  std::function<void(AspiExecRequest&)> on_execute;
  bool send_returns_pending = false;       // SendASPI32Command says pending whatever the status
  uint32_t send_result_override = 0;       // when set, what SendASPI32Command returns for execute
  std::vector<ExecCall> executes;
  std::vector<AspiAbortRequest> aborts;
  std::vector<void*> abort_addresses;      // where each abort block lived
  std::function<void()> on_abort;

  // Events and sleeping.
  std::vector<HANDLE> reset_events, set_events;
  BOOL reset_result = TRUE, set_result = TRUE;
  struct Wait { HANDLE handle; DWORD ms; };
  std::vector<Wait> waits;
  std::function<DWORD(HANDLE, DWORD)> on_wait;  // default: time-out
  std::vector<DWORD> sleeps;
  std::function<void(int)> on_sleep;            // called with the sleep's number (0-based)
  int events_created = 0;
  std::vector<HANDLE> closed;
  // As the real system does, a closed handle's value is handed out again by
  // the next CreateEvent. Posts are remembered until a wait takes them or a
  // reset clears them (auto-reset events); on_wait, when set, decides alone.
  std::vector<HANDLE> free_handles;
  std::vector<HANDLE> signalled;
  struct EventArgs { bool security_null, manual, initial, name_null; };
  std::vector<EventArgs> event_args;

  // Messages.
  std::vector<std::string> messages;
};

extern World g_world;

HANDLE FakeHandleFor(size_t interface_index);
constexpr uintptr_t kFakeModule = 0x5A5A0000;

// Installs the stand-ins (fresh g_world contents are the test's business),
// resets the dispatcher, the ASPI transport and the trace.
void InstallWorld();
void UninstallWorld();

// Captures the trace as it reaches the debug window's control.
class CapturedTrace : public TraceWindowOutput {
 public:
  void Append(const char* text, size_t length) override { text_.append(text, length); }
  const std::string& text() const { return text_; }
  std::vector<std::string> Lines() const;

 private:
  std::string text_;
};

// Binds a window trace writer as the sink and turns the trace on.
struct TraceOn {
  UpdateState state;
  CommandTrace writer;
  CapturedTrace captured;
  TraceOn();
  ~TraceOn();
};

// Captures the trace as it reaches the log file (94-character lines).
struct FileTraceOn {
  UpdateState state;
  std::unique_ptr<CommandTrace> writer;
  FileTraceOn();
  ~FileTraceOn();
  static std::string& Written();
};
