#include "tests/win/transports/stand_ins.h"

#include <algorithm>
#include <cstring>

#include "base/host.h"
#include "scsi/dispatcher.h"

World g_world;

namespace {

const HDEVINFO kFakeSet = reinterpret_cast<HDEVINFO>(0x00DE0000);

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCSTR enumerator, HWND window, DWORD flags) {
  g_world.class_guid = guid ? *guid : GUID{};
  g_world.class_flags = flags;
  g_world.class_enumerator_null = enumerator == nullptr;
  g_world.class_window_null = window == nullptr;
  return g_world.class_devs_fail ? INVALID_HANDLE_VALUE : kFakeSet;
}

BOOL WINAPI FakeEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
  g_world.enum_cb_sizes.push_back(data->cbSize);
  g_world.enum_indices.push_back(index);
  if (set != kFakeSet || index >= g_world.interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->Reserved = index + 1;  // tells the detail call which interface it is
  return TRUE;
}

BOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                          PSP_DEVINFO_DATA) {
  const size_t i = data->Reserved - 1;
  if (i >= g_world.interfaces.size()) return FALSE;
  const FakeInterface& f = g_world.interfaces[i];
  const DWORD need = static_cast<DWORD>(sizeof(DWORD) + f.path.size() + 1);
  if (!detail) {
    ++g_world.detail_size_queries;
    if (required) *required = need;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  g_world.detail_cb_sizes.push_back(detail->cbSize);
  if (f.detail_fails || size < need) return FALSE;
  std::memcpy(detail->DevicePath, f.path.c_str(), f.path.size() + 1);
  return TRUE;
}

BOOL WINAPI FakeDestroy(HDEVINFO set) {
  if (set == kFakeSet) ++g_world.destroyed_sets;
  return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                             DWORD disposition, DWORD flags, HANDLE templ) {
  g_world.opens.push_back({name, access, share, disposition, flags, sa == nullptr, templ == nullptr});
  for (size_t i = 0; i < g_world.interfaces.size(); ++i) {
    if (g_world.interfaces[i].path == name)
      return g_world.interfaces[i].open_fails ? INVALID_HANDLE_VALUE : FakeHandleFor(i);
  }
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeIoctl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                      DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
  IoctlCall call{};
  call.device = device;
  call.code = code;
  call.in_size = in_size;
  call.out_size = out_size;
  call.same_buffer = in == out;
  call.overlapped_null = overlapped == nullptr;
  std::memcpy(&call.request, in, sizeof call.request);
  g_world.ioctls.push_back(call);
  auto* request = static_cast<PassThroughRequest*>(out);
  const bool check = g_world.ioctl_scsi_status == kScsiStatusCheckCondition;
  const uint32_t asked = request->sptd.DataTransferLength;
  const uint32_t resid = g_world.ioctl_resid >= 0 ? static_cast<uint32_t>(g_world.ioctl_resid) : check ? asked : 0;
  request->sptd.ScsiStatus = g_world.ioctl_scsi_status;
  request->sptd.DataTransferLength = resid < asked ? asked - resid : 0;
  request->sptd.SenseInfoLength = check ? static_cast<UCHAR>(g_world.ioctl_sense.size()) : 0;
  std::copy(g_world.ioctl_sense.begin(), g_world.ioctl_sense.end(), request->sense);
  if (returned) *returned = g_world.ioctl_result ? out_size : 0;
  return g_world.ioctl_result;
}

BOOL WINAPI FakeGetVersion(LPOSVERSIONINFOA info) {
  ++g_world.version_queries;
  g_world.version_info_size = info->dwOSVersionInfoSize;
  info->dwPlatformId = g_world.platform_id;
  info->dwMajorVersion = g_world.platform_id == VER_PLATFORM_WIN32_NT ? 5 : 4;
  return TRUE;
}

// The stand-in ASPI library.
uint32_t __cdecl FakeSupportInfo() {
  ++g_world.support_calls;
  return g_world.support_info;
}

uint32_t __cdecl FakeSend(void* block) {
  auto* header = static_cast<AspiRequestHeader*>(block);
  switch (header->command_code) {
    case kAspiHostAdapterInquiry: {
      auto* inquiry = static_cast<AspiHostAdapterInquiry*>(block);
      g_world.inquired_adapters.push_back(inquiry->adapter_id);
      const auto& failing = g_world.failing_adapters;
      const bool fails = std::find(failing.begin(), failing.end(), inquiry->adapter_id) != failing.end();
      inquiry->status = fails ? kAspiInvalidAdapter : kAspiCompleted;
      return inquiry->status;
    }
    case kAspiGetDeviceType: {
      auto* query = static_cast<AspiGetDeviceType*>(block);
      g_world.device_queries.push_back(*query);
      for (const FakeAspiDevice& d : g_world.devices) {
        if (d.adapter == query->adapter_id && d.target == query->target_id && d.lun == query->lun) {
          query->device_type = d.type;
          return query->status = kAspiCompleted;
        }
      }
      return query->status = kAspiNoDevice;
    }
    case kAspiExecuteScsiCommand: {
      auto* command = static_cast<AspiExecRequest*>(block);
      ExecCall call{};
      call.block = *command;
      call.address = command;
      if (command->data_buffer) {
        const auto* bytes = static_cast<const uint8_t*>(command->data_buffer);
        call.data.assign(bytes, bytes + command->data_length);
      }
      g_world.executes.push_back(call);
      if (g_world.on_execute) {
        g_world.on_execute(*command);
      } else {
        command->status = kAspiCompleted;
      }
      if (g_world.send_result_override) return g_world.send_result_override;
      return g_world.send_returns_pending ? kAspiPending : command->status;
    }
    case kAspiAbortRequest: {
      auto* abort = static_cast<AspiAbortRequest*>(block);
      g_world.aborts.push_back(*abort);
      g_world.abort_addresses.push_back(abort);
      if (g_world.on_abort) g_world.on_abort();
      return abort->status = kAspiCompleted;
    }
    default:
      return header->status = kAspiInvalidCommand;
  }
}

uint32_t __cdecl FakeDllVersion() { return 0x0400; }
int __cdecl FakeGetBuffer(void*) { return 0; }
int __cdecl FakeFreeBuffer(void*) { return 0; }
int __cdecl FakeTranslate(void*, void*) { return 0; }

HMODULE WINAPI FakeLoadLibrary(LPCSTR name) {
  g_world.loaded.push_back(name);
  return g_world.library_present ? reinterpret_cast<HMODULE>(kFakeModule) : nullptr;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  g_world.looked_up.push_back(name);
  if (module != reinterpret_cast<HMODULE>(kFakeModule)) return nullptr;
  const auto& missing = g_world.missing_entry_points;
  if (std::find(missing.begin(), missing.end(), name) != missing.end()) return nullptr;
  const std::string n = name;
  void* f = nullptr;
  if (n == "GetASPI32SupportInfo") f = reinterpret_cast<void*>(FakeSupportInfo);
  if (n == "SendASPI32Command") f = reinterpret_cast<void*>(FakeSend);
  if (n == "GetASPI32DLLVersion") f = reinterpret_cast<void*>(FakeDllVersion);
  if (n == "GetASPI32Buffer") f = reinterpret_cast<void*>(FakeGetBuffer);
  if (n == "FreeASPI32Buffer") f = reinterpret_cast<void*>(FakeFreeBuffer);
  if (n == "TranslateASPI32Address") f = reinterpret_cast<void*>(FakeTranslate);
  return reinterpret_cast<FARPROC>(f);
}

HANDLE WINAPI FakeCreateEvent(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) {
  g_world.event_args.push_back({sa == nullptr, manual != FALSE, initial != FALSE, name == nullptr});
  ++g_world.events_created;
  if (!g_world.free_handles.empty()) {
    const HANDLE reused = g_world.free_handles.back();
    g_world.free_handles.pop_back();
    return reused;
  }
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xE0000 + g_world.events_created));
}
bool TakeSignal(HANDLE h) {
  auto it = std::find(g_world.signalled.begin(), g_world.signalled.end(), h);
  if (it == g_world.signalled.end()) return false;
  g_world.signalled.erase(it);
  return true;
}
BOOL WINAPI FakeResetEvent(HANDLE h) {
  g_world.reset_events.push_back(h);
  TakeSignal(h);
  return g_world.reset_result;
}
BOOL WINAPI FakeSetEvent(HANDLE h) {
  g_world.set_events.push_back(h);
  if (g_world.set_result && !std::count(g_world.signalled.begin(), g_world.signalled.end(), h))
    g_world.signalled.push_back(h);
  return g_world.set_result;
}
DWORD WINAPI FakeWait(HANDLE h, DWORD ms) {
  g_world.waits.push_back({h, ms});
  if (g_world.on_wait) return g_world.on_wait(h, ms);
  return TakeSignal(h) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}
BOOL WINAPI FakeCloseHandle(HANDLE h) {
  g_world.closed.push_back(h);
  TakeSignal(h);
  if (reinterpret_cast<uintptr_t>(h) >= 0xE0000) g_world.free_handles.push_back(h);
  return TRUE;
}
void WINAPI FakeSleep(DWORD ms) {
  g_world.sleeps.push_back(ms);
  if (g_world.on_sleep) g_world.on_sleep(static_cast<int>(g_world.sleeps.size()) - 1);
}

void RecordMessage(const char* text) { g_world.messages.push_back(text ? text : ""); }

}  // namespace

HANDLE FakeHandleFor(size_t interface_index) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7000 + 4 * interface_index));
}

void InstallWorld() {
  Win32Platform& p = Platform();
  p.SetupDiGetClassDevsA = FakeGetClassDevs;
  p.SetupDiEnumDeviceInterfaces = FakeEnumInterfaces;
  p.SetupDiGetDeviceInterfaceDetailA = FakeGetDetail;
  p.SetupDiDestroyDeviceInfoList = FakeDestroy;
  p.CreateFileA = FakeCreateFile;
  p.DeviceIoControl = FakeIoctl;
  p.LoadLibraryA = FakeLoadLibrary;
  p.GetProcAddress = FakeGetProcAddress;
  p.GetVersionExA = FakeGetVersion;
  p.CreateEventA = FakeCreateEvent;
  p.ResetEvent = FakeResetEvent;
  p.SetEvent = FakeSetEvent;
  p.WaitForSingleObject = FakeWait;
  p.CloseHandle = FakeCloseHandle;
  p.Sleep = FakeSleep;
  ResetScsiState();
  ResetTransports();
  ResetAspiTransport();
  ResetHost();
  Host().message_box = RecordMessage;
}

void UninstallWorld() {
  ResetPlatform();
  ResetScsiState();
  ResetTransports();
  ResetAspiTransport();
  ResetHost();
  g_world = World{};
}

std::vector<std::string> CapturedTrace::Lines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text_.size()) {
    const size_t end = text_.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text_.substr(start));
      break;
    }
    lines.push_back(text_.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

TraceOn::TraceOn() {
  writer.Bind(&captured, "CRichEditCtrl");
  state.trace_on = 1;
  state.trace_sink = &writer;
  SetAppState(&state);
}

TraceOn::~TraceOn() {
  state.trace_sink = nullptr;
  SetAppState(nullptr);
}

namespace {
char g_fake_file;
void* OpenCapture(const char*) {
  FileTraceOn::Written().clear();
  return &g_fake_file;
}
bool WriteCapture(void*, const void* bytes, size_t n) {
  FileTraceOn::Written().append(static_cast<const char*>(bytes), n);
  return true;
}
void CloseCapture(void*) {}
}  // namespace

std::string& FileTraceOn::Written() {
  static std::string written;
  return written;
}

FileTraceOn::FileTraceOn() {
  TraceFiles() = TraceFileOps{OpenCapture, WriteCapture, CloseCapture};
  writer = std::make_unique<CommandTrace>("trace.log");
  state.trace_on = 1;
  state.trace_sink = writer.get();
  SetAppState(&state);
}

FileTraceOn::~FileTraceOn() {
  state.trace_sink = nullptr;
  writer.reset();
  SetAppState(nullptr);
  ResetTraceFiles();
}
