// WNASPI32.DLL of the simulated drive: the drives of sim/sim_drive behind the
// ASPI for Win32 interface, for running the real program without hardware.
//
// Configuration: the file named by the environment variable FWSIM_CONFIG
// (sim/sim_config.h has every setting), read once, at the first call into
// the library. Without FWSIM_CONFIG the library has one adapter with one
// default drive at adapter 0, target 0, LUN 0. A file that cannot be read
// gives no adapter at all. Lines the library does not understand are
// reported in the wire log and on standard error and skipped.
//
// Wire log: one line per request, flushed at once:
//   srb=02 ha=0 target=0 lun=0 flags=0x48 length=56 cdb=12 00 00 00 38 00 00 00 00 00 00 00 result=01 scsi=00 sense=0000
// srb is the request code; for requests without a CDB cdb is "-". result is
// the request status in hex, or "pending" (async, logged again when done:
// the line then ends with "done"), or "never". Abort requests show the
// outcome as "abort=found" or "abort=unknown". Support queries log as
// "support=0xSSCC".
//
// Flashed images: after each Update Firmware the drive's flash contents are
// written to OUT/flash-A-T-N.bin (A adapter, T target, N the drive's count of
// updates so far).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/scsi_status.h"
#include "scsi/aspi_win32.h"
#include "sim/sim_config.h"
#include "sim/sim_drive.h"

namespace {

constexpr uint8_t kHostAdapterSelectionTimeout = 0x11;
constexpr size_t kSenseBytes = 18;

using Drive = SimDriveConfig;

struct Pending {
  AspiExecRequest* request;
  Drive* drive;
  DWORD due;
  uint32_t delay;
};

struct Library {
  bool configured = false;
  SimConfig config;
  SimWireLog log;
  std::vector<Pending> queue;          // async requests, completed by the worker
  std::vector<Pending> held;           // requests that never complete
  HANDLE worker = nullptr;
  HANDLE wake = nullptr;
};

CRITICAL_SECTION g_lock;
Library g_lib;

class Locked {
 public:
  Locked() { EnterCriticalSection(&g_lock); }
  ~Locked() { LeaveCriticalSection(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

std::string Env(const char* name) {
  char value[1024];
  const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return (n > 0 && n < sizeof value) ? std::string(value, n) : std::string();
}

void LogLine(const std::string& line) { g_lib.log.Line(line); }

void Configure() {
  if (g_lib.configured) return;
  g_lib.configured = true;
  LoadSimConfig(Env("FWSIM_CONFIG"), Env("FWSIM_LOG"), Env("FWSIM_OUT"), g_lib.config);
  g_lib.log.Open(g_lib.config.log_path);
  for (const std::string& e : g_lib.config.errors) {
    LogLine(e);
    std::fprintf(stderr, "WNASPI32 (simulated): %s\n", e.c_str());
  }
}

// Requests -----------------------------------------------------------------------

Drive* FindDrive(uint8_t adapter, uint8_t target, uint8_t lun) { return g_lib.config.Find(adapter, target, lun); }

std::string Hex2(unsigned v) { return SimHex2(v); }

std::string Address(const AspiRequestHeader& h, int target, int lun) {
  std::string s = "srb=" + Hex2(h.command_code) + " ha=" + std::to_string(h.adapter_id);
  s += " target=" + (target < 0 ? std::string("-") : std::to_string(target));
  s += " lun=" + (lun < 0 ? std::string("-") : std::to_string(lun));
  char flags[16];
  std::snprintf(flags, sizeof flags, " flags=0x%02X", h.flags);
  return s + flags;
}

std::string ExecuteLine(const AspiExecRequest& c, const char* result_override) {
  std::string s = Address(*reinterpret_cast<const AspiRequestHeader*>(&c), c.target_id, c.lun);
  s += " length=" + std::to_string(c.data_length) + " cdb=";
  s += SimHexBytes(c.cdb, 12);
  if (result_override) return s + " result=" + result_override;
  s += " result=" + Hex2(c.status) + " scsi=" + Hex2(c.target_status);
  s += " sense=" + Hex2(c.sense_area[12]) + Hex2(c.sense_area[13]);
  return s;
}

void Signal(const AspiExecRequest& c) {
  if ((c.flags & kAspiFlagPostEvent) && c.completion_event) SetEvent(static_cast<HANDLE>(c.completion_event));
}

void SaveFlash(Drive& d) {
  const std::string error = SaveSimFlash(d, g_lib.config.out_dir, '\\');
  if (!error.empty()) LogLine(error);
}

// Runs the command on the drive and finishes the request, unless the drive
// never completes it. Called with the lock held.
void Run(AspiExecRequest& c, Drive& d, const char* suffix) {
  SimRequest request;
  request.cdb = c.cdb;
  request.direction = (c.flags & kAspiFlagDataIn) ? SimDirection::In
                      : (c.flags & kAspiFlagDataOut) ? SimDirection::Out : SimDirection::None;
  request.buffer = c.data_buffer;
  request.length = c.data_length;
  request.flags = c.flags;
  const SimReply reply = d.sim->Execute(request);

  if (reply.outcome == SimOutcome::NoCompletion) {
    // Carried out with its completion lost: the flash it programmed is kept.
    if (SimDrive::Classify(c.cdb) == SimKind::UpdateFirmware) SaveFlash(d);
    g_lib.held.push_back({&c, &d, 0, 0});
    LogLine(ExecuteLine(c, "never"));
    return;
  }
  c.adapter_status = 0;
  c.target_status = 0;
  if (reply.outcome == SimOutcome::Rejected) {
    c.adapter_status = kHostAdapterSelectionTimeout;
    c.status = kAspiError;
  } else if (reply.scsi_status == kScsiStatusGood) {
    c.status = kAspiCompleted;
  } else {
    c.target_status = reply.scsi_status;
    const size_t n = c.sense_length < kSenseBytes ? c.sense_length : kSenseBytes;
    std::memcpy(c.sense_area, reply.sense, n);
    c.status = kAspiError;
  }
  if (SimDrive::Classify(c.cdb) == SimKind::UpdateFirmware) SaveFlash(d);
  LogLine(ExecuteLine(c, nullptr) + suffix);
  Signal(c);
}

DWORD WINAPI Worker(void*) {
  for (;;) {
    DWORD wait = INFINITE;
    {
      Locked lock;
      if (!g_lib.queue.empty()) {
        // The queue is in due order: requests come one at a time.
        Pending p = g_lib.queue.front();
        const LONG left = static_cast<LONG>(p.due - GetTickCount());
        if (left <= 0) {
          g_lib.queue.erase(g_lib.queue.begin());
          Run(*p.request, *p.drive, " done");
          continue;
        }
        wait = static_cast<DWORD>(left);
      }
    }
    WaitForSingleObject(g_lib.wake, wait);
  }
}

bool StartWorker() {
  if (g_lib.worker) return true;
  // The worker lives as long as the process: the library stays loaded.
  HMODULE pinned = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&Worker), &pinned);
  g_lib.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!g_lib.wake) return false;
  g_lib.worker = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
  return g_lib.worker != nullptr;
}

uint32_t Execute(AspiExecRequest& c) {
  c.status = kAspiPending;
  if (c.adapter_id >= g_lib.config.adapters) {
    c.status = kAspiInvalidAdapter;
  } else if (Drive* d = FindDrive(c.adapter_id, c.target_id, c.lun)) {
    const uint32_t delay = d->DelayFor(c.cdb);
    if (delay > 0 && StartWorker()) {
      g_lib.queue.push_back({&c, d, GetTickCount() + delay, delay});
      LogLine(ExecuteLine(c, "pending") + " async=" + std::to_string(delay));
      SetEvent(g_lib.wake);
      return kAspiPending;
    }
    Run(c, *d, "");
    return c.status;
  } else {
    c.status = kAspiNoDevice;
  }
  LogLine(ExecuteLine(c, nullptr));
  return c.status;
}

bool TakeFrom(std::vector<Pending>& list, const void* request) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].request == request) {
      AspiExecRequest& c = *list[i].request;
      list.erase(list.begin() + static_cast<long>(i));
      c.status = kAspiAborted;
      Signal(c);
      return true;
    }
  }
  return false;
}

uint32_t Abort(AspiAbortRequest& a) {
  bool found = false;
  if (!g_lib.config.ignore_abort) found = TakeFrom(g_lib.queue, a.request) || TakeFrom(g_lib.held, a.request);
  a.status = found ? kAspiCompleted : kAspiAbortFailed;
  LogLine(Address(*reinterpret_cast<AspiRequestHeader*>(&a), -1, -1) + " length=0 cdb=- result=" +
          Hex2(a.status) + (found ? " abort=found" : " abort=unknown"));
  return a.status;
}

uint32_t HostAdapterInquiry(AspiHostAdapterInquiry& q) {
  if (q.adapter_id < g_lib.config.adapters) {
    q.adapter_count = static_cast<uint8_t>(g_lib.config.adapters);
    q.adapter_scsi_id = 7;
    std::memcpy(q.manager_id, "FWSIM ASPI32    ", 16);
    std::memcpy(q.adapter_identifier, "FWSIM ADAPTER   ", 16);
    q.status = kAspiCompleted;
  } else {
    q.status = kAspiInvalidAdapter;
  }
  LogLine(Address(*reinterpret_cast<AspiRequestHeader*>(&q), -1, -1) + " length=0 cdb=- result=" +
          Hex2(q.status));
  return q.status;
}

uint32_t GetDeviceType(AspiGetDeviceType& q) {
  Drive* d = q.adapter_id < g_lib.config.adapters ? FindDrive(q.adapter_id, q.target_id, q.lun) : nullptr;
  if (q.adapter_id >= g_lib.config.adapters) {
    q.status = kAspiInvalidAdapter;
  } else if (d) {
    q.device_type = d->type;
    q.status = kAspiCompleted;
  } else {
    q.status = kAspiNoDevice;
  }
  LogLine(Address(*reinterpret_cast<AspiRequestHeader*>(&q), q.target_id, q.lun) +
          " length=0 cdb=- result=" + Hex2(q.status) + " type=" + Hex2(q.device_type));
  return q.status;
}

}  // namespace

extern "C" {

uint32_t __cdecl GetASPI32SupportInfo(void) {
  Locked lock;
  Configure();
  const uint32_t info = g_lib.config.adapters == 0
                            ? static_cast<uint32_t>(kAspiNoAdapters) << 8
                            : static_cast<uint32_t>(g_lib.config.support_status) << 8 | static_cast<uint8_t>(g_lib.config.adapters);
  char line[32];
  std::snprintf(line, sizeof line, "support=0x%04X", static_cast<unsigned>(info));
  LogLine(line);
  return info;
}

uint32_t __cdecl SendASPI32Command(void* block) {
  if (!block) return kAspiInvalidRequest;
  Locked lock;
  Configure();
  auto* header = static_cast<AspiRequestHeader*>(block);
  switch (header->command_code) {
    case kAspiHostAdapterInquiry: return HostAdapterInquiry(*static_cast<AspiHostAdapterInquiry*>(block));
    case kAspiGetDeviceType: return GetDeviceType(*static_cast<AspiGetDeviceType*>(block));
    case kAspiExecuteScsiCommand: return Execute(*static_cast<AspiExecRequest*>(block));
    case kAspiAbortRequest: return Abort(*static_cast<AspiAbortRequest*>(block));
    default:
      header->status = kAspiInvalidCommand;
      LogLine(Address(*header, -1, -1) + " length=0 cdb=- result=" + Hex2(header->status));
      return header->status;
  }
}

uint32_t __cdecl GetASPI32DLLVersion(void) { return 0x00000004; }
int __cdecl GetASPI32Buffer(void*) { return FALSE; }
int __cdecl FreeASPI32Buffer(void*) { return FALSE; }
int __cdecl TranslateASPI32Address(void*, void*) { return FALSE; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    InitializeCriticalSection(&g_lock);
  }
  return TRUE;
}

}  // extern "C"
