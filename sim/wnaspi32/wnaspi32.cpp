// WNASPI32.DLL of the simulated drive: the drives of sim/sim_drive behind the
// ASPI for Win32 interface, for running the real program without hardware.
//
// Configuration: a text file named by the environment variable FWSIM_CONFIG,
// read once, at the first call into the library. One setting per line; blank
// lines and lines starting with '#' are ignored. Without FWSIM_CONFIG the
// library has one adapter with one default drive at adapter 0, target 0,
// LUN 0. A file that cannot be read gives no adapter at all.
//
//   adapters N            number of host adapters (default: highest adapter
//                         of any drive + 1, at least 1; 0 = none)
//   support HH            status byte GetASPI32SupportInfo reports (hex,
//                         default 01 = ready)
//   log PATH              wire log (the environment variable FWSIM_LOG wins)
//   out DIR               folder for flashed images (FWSIM_OUT wins)
//   abort honour|ignore   ignore: abort requests fail and the request stays
//                         held (default honour)
//   drive A T L           starts a drive at adapter A, target T, LUN L; the
//                         settings below apply to the latest drive
//     type N              peripheral device type (default 5, CD-ROM)
//     vendor TEXT         INQUIRY vendor identification (8 characters)
//     product TEXT        INQUIRY product identification (16)
//     revision TEXT       INQUIRY product revision (4)
//     model TEXT          Identify Model model name (10)
//     version TEXT        Identify Model firmware version (4)
//     delay MS            every command completes MS ms after it was sent,
//                         on the library's thread (slows a transfer)
//     fault KIND NTH COUNT ACTION [ARG]
//                         on the NTH command of KIND (counting from 1; every
//                         attempt counts) and the COUNT-1 after it:
//                           check HHHH   CHECK CONDITION with sense code HHHH
//                           corrupt      one byte of the data is wrong
//                           reject       the request fails at the adapter
//                           never        the command never completes
//                           async MS     completes MS ms later on the
//                                        library's thread, then signals
//                         KIND: inquiry identify write read update other
//
// TEXT is the rest of the line; put it in double quotes to keep leading or
// trailing spaces. Lines the library does not understand are reported in the
// wire log and on standard error as "config error: line N: ..." and skipped.
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

#include "scsi/aspi_win32.h"
#include "scsi/scsi_command.h"
#include "sim/sim_drive.h"

namespace {

constexpr uint8_t kHostAdapterSelectionTimeout = 0x11;
constexpr size_t kSenseBytes = 18;

struct AsyncRule {
  SimKind kind;
  uint32_t nth;
  uint32_t count;
  uint32_t ms;
  uint32_t seen = 0;
};

struct Drive {
  uint8_t adapter = 0, target = 0, lun = 0, type = kPeripheralCdrom;
  uint32_t delay_ms = 0;
  std::vector<AsyncRule> async;
  std::unique_ptr<SimDrive> sim = std::make_unique<SimDrive>();
  int flashes_saved = 0;
};

struct Pending {
  ScsiCommand* request;
  Drive* drive;
  DWORD due;
  uint32_t delay;
};

struct Library {
  bool configured = false;
  int adapters = 0;
  uint8_t support_status = kAspiCompleted;
  bool ignore_abort = false;
  std::vector<std::unique_ptr<Drive>> drives;
  std::string log_path, out_dir;
  FILE* log = nullptr;
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

void LogLine(const std::string& line) {
  if (g_lib.log) {
    std::fputs(line.c_str(), g_lib.log);
    std::fputc('\n', g_lib.log);
    std::fflush(g_lib.log);
  }
}

// Configuration ----------------------------------------------------------------

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return s.substr(b, e - b);
}

std::string TextValue(const std::string& rest) {
  const std::string t = Trim(rest);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t.substr(1, t.size() - 2);
  return t;
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
    if (j > i) words.push_back(s.substr(i, j - i));
    i = j;
  }
  return words;
}

bool Number(const std::string& word, int base, unsigned long max, unsigned long* out) {
  if (word.empty()) return false;
  char* end = nullptr;
  const unsigned long v = std::strtoul(word.c_str(), &end, base);
  if (*end != '\0' || v > max || word[0] == '-') return false;
  *out = v;
  return true;
}

bool KindOf(const std::string& word, SimKind* kind) {
  static const struct { const char* name; SimKind kind; } kKinds[] = {
      {"inquiry", SimKind::Inquiry}, {"identify", SimKind::IdentifyModel},
      {"write", SimKind::WriteBuffer}, {"read", SimKind::ReadBuffer},
      {"update", SimKind::UpdateFirmware}, {"other", SimKind::Other}};
  for (const auto& k : kKinds) {
    if (word == k.name) {
      *kind = k.kind;
      return true;
    }
  }
  return false;
}

// Applies one "fault" line to a drive; an error text when it is not valid.
std::string ParseFault(const std::vector<std::string>& w, Drive& drive) {
  if (w.size() < 5) return "fault needs KIND NTH COUNT ACTION";
  SimKind kind;
  if (!KindOf(w[1], &kind)) return "unknown command kind '" + w[1] + "'";
  unsigned long nth = 0, count = 0;
  if (!Number(w[2], 10, 0xFFFFFFFFul, &nth) || nth == 0) return "NTH must be a number from 1";
  if (!Number(w[3], 10, 0xFFFFFFFFul, &count) || count == 0) return "COUNT must be a number from 1";
  const std::string& action = w[4];
  if (action == "async") {
    unsigned long ms = 0;
    if (w.size() != 6 || !Number(w[5], 10, 600000, &ms)) return "async needs a delay in ms (up to 600000)";
    drive.async.push_back({kind, static_cast<uint32_t>(nth), static_cast<uint32_t>(count),
                           static_cast<uint32_t>(ms)});
    return "";
  }
  SimFaultRule rule;
  rule.kind = kind;
  rule.nth = static_cast<uint32_t>(nth);
  rule.count = static_cast<uint32_t>(count);
  if (action == "check") {
    unsigned long sense = 0;
    if (w.size() != 6 || !Number(w[5], 16, 0xFFFF, &sense)) return "check needs a 4-digit hex sense code";
    rule.fault = SimFaultKind::CheckCondition;
    rule.sense = static_cast<uint16_t>(sense);
  } else if (action == "corrupt" && w.size() == 5) {
    rule.fault = SimFaultKind::CorruptData;
  } else if (action == "reject" && w.size() == 5) {
    rule.fault = SimFaultKind::OsRejection;
  } else if (action == "never" && w.size() == 5) {
    rule.fault = SimFaultKind::NeverComplete;
  } else {
    return "unknown fault action '" + action + "'";
  }
  drive.sim->AddFault(rule);
  return "";
}

// One line of the file; an error text when it is not valid.
std::string ParseLine(const std::string& line, int* adapters_setting) {
  const std::vector<std::string> w = Words(line);
  const std::string& key = w[0];
  const size_t key_end = line.find(key) + key.size();
  const std::string rest = line.substr(key_end);
  Drive* drive = g_lib.drives.empty() ? nullptr : g_lib.drives.back().get();
  unsigned long v = 0;

  if (key == "adapters") {
    if (w.size() != 2 || !Number(w[1], 10, 255, &v)) return "adapters needs a number 0..255";
    *adapters_setting = static_cast<int>(v);
  } else if (key == "support") {
    if (w.size() != 2 || !Number(w[1], 16, 0xFF, &v)) return "support needs a hex status byte";
    g_lib.support_status = static_cast<uint8_t>(v);
  } else if (key == "log") {
    g_lib.log_path = TextValue(rest);
  } else if (key == "out") {
    g_lib.out_dir = TextValue(rest);
  } else if (key == "abort") {
    if (w.size() != 2 || (w[1] != "honour" && w[1] != "ignore")) return "abort is honour or ignore";
    g_lib.ignore_abort = w[1] == "ignore";
  } else if (key == "drive") {
    unsigned long a = 0, t = 0, l = 0;
    if (w.size() != 4 || !Number(w[1], 10, 255, &a) || !Number(w[2], 10, 255, &t) ||
        !Number(w[3], 10, 255, &l))
      return "drive needs ADAPTER TARGET LUN (0..255 each)";
    auto d = std::make_unique<Drive>();
    d->adapter = static_cast<uint8_t>(a);
    d->target = static_cast<uint8_t>(t);
    d->lun = static_cast<uint8_t>(l);
    g_lib.drives.push_back(std::move(d));
  } else if (!drive) {
    return "'" + key + "' before the first drive line, or unknown";
  } else if (key == "type") {
    if (w.size() != 2 || !Number(w[1], 10, 31, &v)) return "type needs a number 0..31";
    drive->type = static_cast<uint8_t>(v);
  } else if (key == "vendor") {
    drive->sim->identity().vendor = TextValue(rest);
  } else if (key == "product") {
    drive->sim->identity().product = TextValue(rest);
  } else if (key == "revision") {
    drive->sim->identity().revision = TextValue(rest);
  } else if (key == "model") {
    drive->sim->identity().model = TextValue(rest);
  } else if (key == "version") {
    drive->sim->identity().version = TextValue(rest);
  } else if (key == "delay") {
    if (w.size() != 2 || !Number(w[1], 10, 600000, &v)) return "delay needs ms (up to 600000)";
    drive->delay_ms = static_cast<uint32_t>(v);
  } else if (key == "fault") {
    return ParseFault(w, *drive);
  } else {
    return "unknown setting '" + key + "'";
  }
  return "";
}

void Configure() {
  if (g_lib.configured) return;
  g_lib.configured = true;
  std::vector<std::string> errors;
  int adapters_setting = -1;
  const std::string path = Env("FWSIM_CONFIG");
  if (path.empty()) {
    g_lib.drives.push_back(std::make_unique<Drive>());
  } else if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buffer[1024];
    int number = 0;
    while (std::fgets(buffer, sizeof buffer, f)) {
      ++number;
      const std::string line = Trim(buffer);
      if (line.empty() || line[0] == '#') continue;
      const std::string error = ParseLine(line, &adapters_setting);
      if (!error.empty()) errors.push_back("config error: line " + std::to_string(number) + ": " + error);
    }
    std::fclose(f);
  } else {
    errors.push_back("config error: cannot read '" + path + "'; no adapter");
    adapters_setting = 0;
  }

  if (adapters_setting >= 0) {
    g_lib.adapters = adapters_setting;
  } else {
    int highest = 0;
    for (const auto& d : g_lib.drives) highest = d->adapter > highest ? d->adapter : highest;
    g_lib.adapters = highest + 1;
  }
  const std::string log = Env("FWSIM_LOG");
  if (!log.empty()) g_lib.log_path = log;
  const std::string out = Env("FWSIM_OUT");
  if (!out.empty()) g_lib.out_dir = out;
  if (!g_lib.log_path.empty()) g_lib.log = std::fopen(g_lib.log_path.c_str(), "wb");
  for (const std::string& e : errors) {
    LogLine(e);
    std::fprintf(stderr, "WNASPI32 (simulated): %s\n", e.c_str());
  }
}

// Requests -----------------------------------------------------------------------

Drive* FindDrive(uint8_t adapter, uint8_t target, uint8_t lun) {
  for (const auto& d : g_lib.drives)
    if (d->adapter == adapter && d->target == target && d->lun == lun) return d.get();
  return nullptr;
}

std::string Hex2(unsigned v) {
  char b[4];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

std::string Address(const AspiRequestHeader& h, int target, int lun) {
  std::string s = "srb=" + Hex2(h.command_code) + " ha=" + std::to_string(h.adapter_id);
  s += " target=" + (target < 0 ? std::string("-") : std::to_string(target));
  s += " lun=" + (lun < 0 ? std::string("-") : std::to_string(lun));
  char flags[16];
  std::snprintf(flags, sizeof flags, " flags=0x%02X", h.flags);
  return s + flags;
}

std::string ExecuteLine(const ScsiCommand& c, const char* result_override) {
  std::string s = Address(*reinterpret_cast<const AspiRequestHeader*>(&c), c.target_id, c.lun);
  s += " length=" + std::to_string(c.data_length) + " cdb=";
  for (int i = 0; i < 12; ++i) s += (i ? " " : "") + Hex2(c.cdb[i]);
  if (result_override) return s + " result=" + result_override;
  s += " result=" + Hex2(c.status) + " scsi=" + Hex2(c.target_status);
  s += " sense=" + Hex2(c.sense_area[12]) + Hex2(c.sense_area[13]);
  return s;
}

void Signal(const ScsiCommand& c) {
  if ((c.flags & kFlagPostEvent) && c.completion_event) SetEvent(static_cast<HANDLE>(c.completion_event));
}

void SaveFlash(Drive& d) {
  if (g_lib.out_dir.empty() || d.sim->flash_count() == d.flashes_saved) return;
  d.flashes_saved = d.sim->flash_count();
  const std::string name = g_lib.out_dir + "\\flash-" + std::to_string(d.adapter) + "-" +
                           std::to_string(d.target) + "-" + std::to_string(d.flashes_saved) + ".bin";
  if (FILE* f = std::fopen(name.c_str(), "wb")) {
    const std::vector<uint8_t>& image = d.sim->Flashed();
    if (!image.empty()) std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  } else {
    LogLine("out error: cannot write '" + name + "'");
  }
}

// Runs the command on the drive and finishes the request, unless the drive
// never completes it. Called with the lock held.
void Run(ScsiCommand& c, Drive& d, const char* suffix) {
  SimRequest request;
  request.cdb = c.cdb;
  request.direction = (c.flags & kFlagDataIn) ? SimDirection::In
                      : (c.flags & kFlagDataOut) ? SimDirection::Out : SimDirection::None;
  request.buffer = c.data_buffer;
  request.length = c.data_length;
  request.flags = c.flags;
  const SimReply reply = d.sim->Execute(request);

  if (reply.outcome == SimOutcome::NoCompletion) {
    g_lib.held.push_back({&c, &d, 0, 0});
    LogLine(ExecuteLine(c, "never"));
    return;
  }
  c.adapter_status = 0;
  c.target_status = 0;
  if (reply.outcome == SimOutcome::Rejected) {
    c.adapter_status = kHostAdapterSelectionTimeout;
    c.status = kAspiError;
  } else if (reply.scsi_status == 0) {
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

uint32_t AsyncDelay(Drive& d, const ScsiCommand& c) {
  uint32_t ms = d.delay_ms;
  const SimKind kind = SimDrive::Classify(c.cdb);
  for (AsyncRule& rule : d.async) {
    if (rule.kind != kind) continue;
    const uint32_t n = ++rule.seen;
    if (n >= rule.nth && n - rule.nth < rule.count) ms = rule.ms;
  }
  return ms;
}

uint32_t Execute(ScsiCommand& c) {
  c.status = kAspiPending;
  if (c.adapter_id >= g_lib.adapters) {
    c.status = kAspiInvalidAdapter;
  } else if (Drive* d = FindDrive(c.adapter_id, c.target_id, c.lun)) {
    const uint32_t delay = AsyncDelay(*d, c);
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
      ScsiCommand& c = *list[i].request;
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
  if (!g_lib.ignore_abort) found = TakeFrom(g_lib.queue, a.request) || TakeFrom(g_lib.held, a.request);
  a.status = found ? kAspiCompleted : kAspiAbortFailed;
  LogLine(Address(*reinterpret_cast<AspiRequestHeader*>(&a), -1, -1) + " length=0 cdb=- result=" +
          Hex2(a.status) + (found ? " abort=found" : " abort=unknown"));
  return a.status;
}

uint32_t HostAdapterInquiry(AspiHostAdapterInquiry& q) {
  if (q.adapter_id < g_lib.adapters) {
    q.adapter_count = static_cast<uint8_t>(g_lib.adapters);
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
  Drive* d = q.adapter_id < g_lib.adapters ? FindDrive(q.adapter_id, q.target_id, q.lun) : nullptr;
  if (q.adapter_id >= g_lib.adapters) {
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
  const uint32_t info = g_lib.adapters == 0
                            ? static_cast<uint32_t>(kAspiNoAdapters) << 8
                            : static_cast<uint32_t>(g_lib.support_status) << 8 | static_cast<uint8_t>(g_lib.adapters);
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
    case kAspiExecuteScsiCommand: return Execute(*static_cast<ScsiCommand*>(block));
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
