// ASPI for Win32 transport: the drives are found through WNASPI32.DLL's host
// adapter inquiry and get-device-type requests; each command attempt is one
// execute request with event notification, built from the neutral request
// and answered with a neutral outcome. The execute request and its
// completion event are this transport's alone: each attempt creates its
// event and closes it again, unless the library may still post it.
//
// The library may still hold an execute request after we stopped waiting for
// it, and it writes into the request block and the data buffer from its own
// thread. So the library never sees the caller's record or buffer: each
// attempt hands it a heap copy of both. After a time-out the transport asks
// the library to abort the request and waits, bounded, for it to let go
// (status no longer pending). Copies of a request the library had past its
// time-out are never freed, whether it let go later or never, and neither is
// the completion event it may still post: a small, bounded leak, and nothing
// is ever written into freed or reused memory, nor is a later command woken
// by an earlier one's completion.
#include <cstdlib>
#include <cstring>

#include "base/host.h"
#include "scsi/aspi_win32.h"
#include "scsi/dispatcher.h"
#include "scsi/trace.h"
#include "scsi/platform_win32.h"

namespace {

constexpr int kFirstTargetNotAsked = 7;

struct AspiLibrary {
  HMODULE module = nullptr;
  GetAspi32SupportInfoFn get_support_info = nullptr;
  SendAspi32CommandFn send_command = nullptr;
  GetAspi32DllVersionFn get_dll_version = nullptr;
  GetAspi32BufferFn get_buffer = nullptr;
  FreeAspi32BufferFn free_buffer = nullptr;
  TranslateAspi32AddressFn translate_address = nullptr;
  bool usable = false;
};
AspiLibrary g_aspi;
int g_abandoned_requests = 0;
int g_kept_requests = 0;

// Completion events a library may still post. Past the table's room every
// event is kept: never closing one is always safe.
constexpr int kMaxKeptEvents = 64;
void* g_kept_events[kMaxKeptEvents];
int g_kept_event_count = 0;
bool g_keep_every_event = false;

void KeepEvent(void* event) {
  if (!event || AspiEventKept(event)) return;
  if (g_kept_event_count < kMaxKeptEvents) {
    g_kept_events[g_kept_event_count++] = event;
  } else {
    g_keep_every_event = true;
  }
}

// How many times a wait may be woken by a post that is not this request's
// (an earlier attempt's late completion) before it counts as a time-out.
constexpr int kMaxStrayWakeUps = 8;

// One attempt's memory as the library sees it. The abort request lives here
// too: a library that keeps the abort keeps this block with it.
struct InFlight {
  AspiExecRequest request;
  AspiAbortRequest abort;
  uint8_t* data;  // null without a data buffer
};

template <typename Fn>
Fn Lookup(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(Platform().GetProcAddress(g_aspi.module, name)));
}

bool LoadLibraryOnce() {
  if (g_aspi.module) return true;
  g_aspi.module = Platform().LoadLibraryA("WNASPI32.DLL");
  if (!g_aspi.module) return false;
  g_aspi.get_support_info = Lookup<GetAspi32SupportInfoFn>("GetASPI32SupportInfo");
  g_aspi.send_command = Lookup<SendAspi32CommandFn>("SendASPI32Command");
  g_aspi.get_dll_version = Lookup<GetAspi32DllVersionFn>("GetASPI32DLLVersion");
  g_aspi.get_buffer = Lookup<GetAspi32BufferFn>("GetASPI32Buffer");
  g_aspi.free_buffer = Lookup<FreeAspi32BufferFn>("FreeASPI32Buffer");
  g_aspi.translate_address = Lookup<TranslateAspi32AddressFn>("TranslateASPI32Address");
  // A library without either called entry point is not used at all.
  g_aspi.usable = g_aspi.get_support_info && g_aspi.send_command;
  return true;
}

uint8_t VolatileStatus(const AspiExecRequest& request) {
  return *static_cast<const volatile uint8_t*>(&request.status);
}

bool Released(const InFlight& f) {
  const bool released = VolatileStatus(f.request) != kAspiPending;
  if (released) MemoryBarrier();  // read what the library wrote before its status
  return released;
}

InFlight* MakeInFlight(const AspiExecRequest& command) {
  InFlight* f = static_cast<InFlight*>(std::calloc(1, sizeof(InFlight)));
  if (!f) return nullptr;
  std::memcpy(&f->request, &command, sizeof command);
  if (command.data_buffer) {
    // Data out goes in before the request; data in starts as the caller's
    // buffer, so bytes the drive does not return stay as they were.
    f->data = static_cast<uint8_t*>(std::malloc(command.data_length ? command.data_length : 1));
    if (!f->data) {
      std::free(f);
      return nullptr;
    }
    if (command.data_length) std::memcpy(f->data, command.data_buffer, command.data_length);
  }
  f->request.data_buffer = f->data;
  return f;
}

void FreeInFlight(InFlight* f) {
  std::free(f->data);
  std::free(f);
}

// What the library reports about a request goes back into the attempt's
// own request block, from which the outcome is read.
void CopyResultsBack(const InFlight& f, AspiExecRequest& command) {
  command.status = f.request.status;
  command.adapter_status = f.request.adapter_status;
  command.target_status = f.request.target_status;
  std::memcpy(command.sense_area, f.request.sense_area, sizeof command.sense_area);
}

// The library has not let go of the request: ask it to abort the request and
// wait, bounded, until it does. True when it let go (the copy is then ours
// again); false when it still holds it.
bool AbortAndWaitForLetGo(InFlight& f) {
  if (Released(f)) return true;
  f.abort.command_code = kAspiAbortRequest;
  f.abort.adapter_id = f.request.adapter_id;
  f.abort.request = &f.request;
  g_aspi.send_command(&f.abort);
  for (int poll = 0; poll < kAspiLetGoPolls; ++poll) {
    if (Released(f)) return true;
    Platform().Sleep(kAspiLetGoPollMs);
  }
  return Released(f);
}

// Ends an attempt whose request the library had past its time-out: the
// copies and the event stay the library's for good.
void Retire(InFlight* f, AspiExecRequest& command, HANDLE event) {
  ++g_kept_requests;
  KeepEvent(event);
  if (AbortAndWaitForLetGo(*f)) {
    CopyResultsBack(*f, command);
    return;
  }
  // Still held: the dispatcher stops trying this command. It shows the text
  // of the outcome's sense code; the drive sent none, so the block says
  // what happened (ASC 08h, ASCQ 01h: communication time-out) rather than
  // keep a stale or empty code that reads as success.
  command.status = kAspiPending;
  std::memset(command.sense_area, 0, sizeof command.sense_area);
  command.sense_area[0] = 0x70;   // current error, fixed format
  command.sense_area[2] = 0x0B;   // sense key: aborted command
  command.sense_area[7] = 10;     // additional sense length
  command.sense_area[12] = 0x08;
  command.sense_area[13] = 0x01;
  ++g_abandoned_requests;
  g_abandon_command = true;
}

enum class WaitEnd { kReleased, kTimedOut, kFailed };

// Waits for the library to finish the request. A post that comes while the
// request is still pending is not this request's (an earlier attempt's late
// completion on the same event): the wait goes on for the time left.
WaitEnd WaitForRelease(InFlight& f, HANDLE event, uint32_t timeout_ms) {
  Win32Platform& p = Platform();
  const DWORD start = p.GetTickCount();
  for (int wake_ups = 0; wake_ups <= kMaxStrayWakeUps; ++wake_ups) {
    const DWORD spent = p.GetTickCount() - start;
    const DWORD left = spent < timeout_ms ? timeout_ms - spent : 0;
    const DWORD waited = p.WaitForSingleObject(event, left);
    if (waited == WAIT_TIMEOUT) return WaitEnd::kTimedOut;
    if (waited != WAIT_OBJECT_0) return Released(f) ? WaitEnd::kReleased : WaitEnd::kFailed;
    if (Released(f)) return WaitEnd::kReleased;
  }
  return WaitEnd::kTimedOut;
}

// The execute request for one attempt of the neutral request on the current
// drive, posting `event` when it ends.
AspiExecRequest BuildExecRequest(const ScsiRequest& request, HANDLE event) {
  AspiExecRequest block;
  std::memset(&block, 0, sizeof block);
  block.command_code = kAspiExecuteScsiCommand;
  block.adapter_id = g_current_drive.host_adapter_id;
  block.target_id = g_current_drive.target_id;
  block.flags = kAspiFlagPostEvent;
  if (request.direction == ScsiDirection::kIn) block.flags |= kAspiFlagDataIn;
  if (request.direction == ScsiDirection::kOut) block.flags |= kAspiFlagDataOut;
  block.data_length = request.data_length;
  block.data_buffer = request.data_buffer;
  block.sense_length = kAspiSenseLength;
  block.cdb_length = request.cdb_length;
  block.completion_event = event;
  std::memcpy(block.cdb, request.cdb, sizeof block.cdb);
  return block;
}

// The outcome of a request the library finished with request status
// `status`. A request the library refused keeps its code; so does every
// failure, for the text when no sense code names it.
ScsiOutcome OutcomeOf(const AspiExecRequest& block, uint8_t status) {
  if (status == kAspiCompleted) return GoodOutcome(block.data_length);  // ASPI reports no residue
  if (status == kAspiError && block.target_status != kScsiStatusGood) {
    const bool check = block.target_status == kScsiStatusCheckCondition;
    ScsiOutcome outcome = DriveStatusOutcome(block.target_status, block.sense_area, check ? kScsiSenseCapacity : 0);
    outcome.transport_code = status;
    return outcome;
  }
  return LostOutcome(status);
}

// A request given up with the library still holding it: the transport's own
// sense data names what happened (Retire wrote it).
ScsiOutcome AbandonedOutcome(const AspiExecRequest& block) {
  ScsiOutcome outcome = LostOutcome(block.status);
  std::memcpy(outcome.sense, block.sense_area, kScsiSenseCapacity);
  outcome.sense_length = static_cast<uint8_t>(kScsiSenseCapacity);
  return outcome;
}

void TraceBlock(const AspiExecRequest& block, const void* data) {
  TraceAttempt(block.cdb, block.status, data, block.data_length, true, block.sense_area);
}

// One execute request: handed to the library as heap copies, waited for,
// aborted after the time-out; `block` ends with what the library reported.
ScsiOutcome ExecuteOnce(AspiExecRequest& block, uint32_t timeout_ms, HANDLE event) {
  Win32Platform& p = Platform();
  void* const caller_data = block.data_buffer;
  if (!p.ResetEvent(event)) {
    Host().message_box("Event Reset Failure !");
    return RejectedOutcome();
  }

  InFlight* f = MakeInFlight(block);
  if (!f) return RejectedOutcome();
  const uint32_t sent = g_aspi.send_command(&f->request);

  if (sent != kAspiPending && sent != kAspiCompleted && VolatileStatus(f->request) == kAspiPending) {
    // Refused outright: the library neither took the request in nor wrote a
    // status. This attempt has failed; nothing is left to wait for.
    FreeInFlight(f);
    block.status = static_cast<uint8_t>(sent);
    TraceBlock(block, caller_data);
    return RejectedOutcome(block.status);
  }

  // A request the library took in as pending is finished on the library's
  // own thread, which writes the status first and then reads the block once
  // more to post its event: then the event, not the status, tells that the
  // library is done with the block.
  if (sent == kAspiPending || !Released(*f)) {
    const int abandoned_before = g_abandoned_requests;
    switch (WaitForRelease(*f, event, timeout_ms)) {
      case WaitEnd::kTimedOut:
        if (!p.SetEvent(event)) Host().message_box("Event Set Failure !");
        Retire(f, block, event);
        // No status of the drive: what the library reported after the
        // abort is no answer to the command.
        return g_abandoned_requests != abandoned_before ? AbandonedOutcome(block) : LostOutcome();
      case WaitEnd::kFailed:
        // The wait itself failed: the library may hold the request still.
        Retire(f, block, event);
        TraceBlock(block, caller_data);
        return g_abandoned_requests != abandoned_before ? AbandonedOutcome(block) : LostOutcome(block.status);
      case WaitEnd::kReleased:
        break;
    }
  }

  CopyResultsBack(*f, block);
  // Data in only: the library has no business changing the caller's
  // data-out bytes, and they may be the image itself.
  if (caller_data && block.data_length && !(block.flags & kAspiFlagDataOut))
    std::memcpy(caller_data, f->data, block.data_length);
  FreeInFlight(f);
  TraceBlock(block, caller_data);
  return OutcomeOf(block, block.status);
}

}  // namespace

int AspiEnumerateDrives() {
  g_drive_table_count = 0;
  if (!LoadLibraryOnce()) return 0;
  // Never called through a missing entry point.
  if (!g_aspi.usable) return 0;

  const uint32_t info = g_aspi.get_support_info();
  const int adapters = AspiAdapterCount(info);
  if (AspiSupportStatus(info) != kAspiCompleted || adapters == 0) return 0;

  for (int adapter = 0; adapter < adapters; ++adapter) {
    AspiHostAdapterInquiry inquiry;
    std::memset(&inquiry, 0, sizeof inquiry);
    inquiry.command_code = kAspiHostAdapterInquiry;
    inquiry.adapter_id = static_cast<uint8_t>(adapter);
    if (g_aspi.send_command(&inquiry) != kAspiCompleted) continue;

    for (int target = 0; target < kFirstTargetNotAsked; ++target) {
      AspiGetDeviceType device;
      std::memset(&device, 0, sizeof device);
      device.command_code = kAspiGetDeviceType;
      device.adapter_id = static_cast<uint8_t>(adapter);
      device.target_id = static_cast<uint8_t>(target);
      device.lun = 0;
      if (g_aspi.send_command(&device) != kAspiCompleted) continue;
      if (device.device_type != kPeripheralCdrom) continue;
      if (g_drive_table_count >= kDriveTableSize) continue;
      DriveEntry& entry = DriveTable[g_drive_table_count];
      std::memset(&entry, 0, sizeof entry);
      entry.host_adapter_id = static_cast<uint8_t>(adapter);
      entry.target_id = static_cast<uint8_t>(target);
      ++g_drive_table_count;
    }
  }
  return g_drive_table_count;
}

ScsiOutcome AspiAttempt(const ScsiRequest& request) {
  if (!g_aspi.usable) return RejectedOutcome();
  Win32Platform& p = Platform();
  HANDLE event = p.CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!event) return RejectedOutcome();
  AspiExecRequest block = BuildExecRequest(request, event);
  const ScsiOutcome outcome = ExecuteOnce(block, request.timeout_ms, event);
  // An event the library may still post is never closed: the system would
  // hand its value to a later command, which that late post would wake.
  if (!AspiEventKept(event)) p.CloseHandle(event);
  return outcome;
}

int AspiAbandonedRequests() { return g_abandoned_requests; }

int AspiKeptRequests() { return g_kept_requests; }

bool AspiEventKept(void* event) {
  if (g_keep_every_event) return event != nullptr;
  for (int i = 0; i < g_kept_event_count; ++i)
    if (g_kept_events[i] == event) return true;
  return false;
}

void ResetAspiTransport() {
  g_aspi = AspiLibrary{};
  g_abandoned_requests = 0;
  g_kept_requests = 0;
  g_kept_event_count = 0;
  g_keep_every_event = false;
}
