// The ASPI transport against a stand-in library: discovery over adapters and
// targets, one attempt with its event handling, and the rule that the library
// never writes into memory the program has freed or reused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "drive/commands.h"
#include "scsi/discovery.h"
#include "scsi/dispatcher.h"
#include "tests/win/transports/stand_ins.h"

namespace {

class Aspi : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallWorld();
    g_world.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  }
  void TearDown() override { UninstallWorld(); }

  // The library with one CD-ROM device at adapter 1, target 3, selected.
  void OneDriveSelected() {
    g_world.support_info = 0x0102;
    g_world.devices = {{1, 3, 0, 5}};
    ASSERT_EQ(DiscoverDrives(), 1);
    ASSERT_EQ(SelectDrive(0), 1);
  }
  // A request as the dispatcher hands it to the transport.
  static ScsiRequest Prepared(void* data = nullptr, uint32_t length = 0,
                              ScsiDirection direction = ScsiDirection::kIn, uint32_t timeout_ms = 1000) {
    ScsiRequest r;
    r.direction = direction;
    r.timeout_ms = timeout_ms;
    r.cdb[0] = 0x33;
    r.cdb[1] = 0x6C;
    r.cdb[2] = 0xF0;
    r.data_buffer = data;
    r.data_length = length;
    return r;
  }
  static ScsiRequest Timed(uint32_t timeout_ms) { return Prepared(nullptr, 0, ScsiDirection::kIn, timeout_ms); }
  // The completion event of the attempt (the first one reset).
  static HANDLE AttemptEvent(size_t attempt = 0) { return g_world.reset_events.at(attempt); }
  // The library keeps execute requests pending (it answers nothing itself).
  static void LibraryHoldsRequests() {
    g_world.on_execute = [](AspiExecRequest& c) { c.status = kAspiPending; };
  }
  static AspiExecRequest* Held() { return g_world.executes.back().address; }
};

// Discovery --------------------------------------------------------------------

TEST_F(Aspi, TheLibraryIsLoadedOnceAndItsSixEntryPointsLookedUp) {
  EXPECT_EQ(AspiEnumerateDrives(), 0);
  EXPECT_EQ(AspiEnumerateDrives(), 0);
  EXPECT_EQ(g_world.loaded, (std::vector<std::string>{"WNASPI32.DLL"}));
  EXPECT_EQ(g_world.looked_up,
            (std::vector<std::string>{"GetASPI32SupportInfo", "SendASPI32Command", "GetASPI32DLLVersion",
                                      "GetASPI32Buffer", "FreeASPI32Buffer", "TranslateASPI32Address"}));
}

TEST_F(Aspi, AMissingLibraryGivesNoDrive) {
  g_world.library_present = false;
  EXPECT_EQ(AspiEnumerateDrives(), 0);
  // And an attempt has nothing to call: nothing went out.
  EXPECT_EQ(AspiAttempt(Prepared()).category, ScsiCategory::kRejected);
  EXPECT_TRUE(g_world.reset_events.empty());
  EXPECT_EQ(g_world.events_created, 0);
}

TEST_F(Aspi, ALibraryWithoutEitherCalledEntryPointIsNeverCalled) {
  for (const char* missing : {"GetASPI32SupportInfo", "SendASPI32Command"}) {
    SCOPED_TRACE(missing);
    ResetAspiTransport();
    g_world = World{};
    g_world.devices = {{0, 0, 0, 5}};
    g_world.missing_entry_points = {missing};
    EXPECT_EQ(AspiEnumerateDrives(), 0);
    EXPECT_EQ(g_world.support_calls, 0);
    EXPECT_TRUE(g_world.inquired_adapters.empty());
    EXPECT_EQ(AspiAttempt(Prepared()).category, ScsiCategory::kRejected);
    EXPECT_TRUE(g_world.executes.empty());
  }
}

TEST_F(Aspi, SupportInfoMustSayReadyWithAtLeastOneAdapter) {
  g_world.devices = {{0, 0, 0, 5}};
  for (uint32_t info : {0x0100u, 0x0003u, 0x0203u, 0xE800u, 0x0403u}) {
    SCOPED_TRACE(info);
    ResetAspiTransport();
    g_world.inquired_adapters.clear();
    g_world.support_info = info;
    EXPECT_EQ(AspiEnumerateDrives(), 0);
    EXPECT_TRUE(g_world.inquired_adapters.empty());
  }
  ResetAspiTransport();
  g_world.support_info = 0x0101;
  EXPECT_EQ(AspiEnumerateDrives(), 1);
}

TEST_F(Aspi, OnlyCdromDevicesAtTargetsZeroToSixOnLunZeroAreFound) {
  g_world.support_info = 0x0102;
  g_world.devices = {{0, 7, 0, 5}, {0, 2, 1, 5}, {0, 4, 0, 1}, {1, 6, 0, 5}, {0, 3, 0, 5}};
  EXPECT_EQ(AspiEnumerateDrives(), 2);
  EXPECT_EQ(DriveTable[0].host_adapter_id, 0);
  EXPECT_EQ(DriveTable[0].target_id, 3);
  EXPECT_EQ(DriveTable[1].host_adapter_id, 1);
  EXPECT_EQ(DriveTable[1].target_id, 6);
  EXPECT_EQ(DriveTable[1].device_handle, nullptr);
  ASSERT_EQ(g_world.device_queries.size(), 14u);
  for (const AspiGetDeviceType& q : g_world.device_queries) {
    EXPECT_EQ(q.command_code, 1);
    EXPECT_LT(q.target_id, 7);
    EXPECT_EQ(q.lun, 0);
  }
  EXPECT_EQ(g_world.inquired_adapters, (std::vector<uint8_t>{0, 1}));
}

TEST_F(Aspi, AnAdapterThatDoesNotAnswerItsInquiryIsSkipped) {
  g_world.support_info = 0x0103;
  g_world.failing_adapters = {1};
  g_world.devices = {{0, 0, 0, 5}, {1, 0, 0, 5}, {2, 0, 0, 5}};
  EXPECT_EQ(AspiEnumerateDrives(), 2);
  EXPECT_EQ(DriveTable[1].host_adapter_id, 2);
  for (const AspiGetDeviceType& q : g_world.device_queries) EXPECT_NE(q.adapter_id, 1);
}

TEST_F(Aspi, TheTableKeepsTheFirstTwoHundredInAdapterThenTargetOrder) {
  // 28 full adapters (196 devices) and 5 more on the 29th: 201.
  g_world.support_info = 0x0100 | 29;
  for (uint8_t a = 0; a < 29; ++a)
    for (uint8_t t = 0; t < 7; ++t)
      if (a < 28 || t < 5) g_world.devices.push_back({a, t, 0, 5});
  ASSERT_EQ(g_world.devices.size(), 201u);
  std::reverse(g_world.devices.begin(), g_world.devices.end());  // the library's order is not ours
  EXPECT_EQ(AspiEnumerateDrives(), 200);
  EXPECT_EQ(g_drive_table_count, 200);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(DriveTable[i].host_adapter_id, i / 7);
    EXPECT_EQ(DriveTable[i].target_id, i % 7);
  }
}

// One attempt ------------------------------------------------------------------

TEST_F(Aspi, ARequestCompletedBeforeSendReturnsIsNotWaitedFor) {
  OneDriveSelected();
  g_world.on_execute = [](AspiExecRequest& c) {
    c.status = kAspiError;
    c.target_status = 2;
    c.sense_area[12] = 0x24;
  };
  const ScsiOutcome o = AspiAttempt(Timed(10000));
  EXPECT_TRUE(g_world.waits.empty());
  EXPECT_EQ(o.category, ScsiCategory::kDriveStatus);
  EXPECT_EQ(o.status, kScsiStatusCheckCondition);
  EXPECT_EQ(o.transport_code, kAspiError);
  EXPECT_EQ(o.sense[12], 0x24);  // where the dispatcher reads it
}

TEST_F(Aspi, ARequestTakenInAsPendingIsWaitedForEvenWhenItsStatusIsAlreadyFinal) {
  OneDriveSelected();
  // The library queued the request and its own thread finished it before
  // the transport looked, but has not posted the event yet: it still reads
  // the block for that, so the block must not be freed before the event.
  g_world.send_returns_pending = true;
  g_world.on_execute = [](AspiExecRequest& c) { c.status = kAspiCompleted; };
  static AspiExecRequest* held_at_wait;
  held_at_wait = nullptr;
  g_world.on_wait = [](HANDLE, DWORD) {
    held_at_wait = Held();
    return static_cast<DWORD>(WAIT_OBJECT_0);
  };
  EXPECT_EQ(AspiAttempt(Timed(10000)).category, ScsiCategory::kGood);
  ASSERT_EQ(g_world.waits.size(), 1u);
  EXPECT_EQ(g_world.waits[0].ms, 10000u);
  EXPECT_EQ(held_at_wait, g_world.executes[0].address);
  EXPECT_TRUE(g_world.aborts.empty());
  EXPECT_TRUE(g_world.set_events.empty());
}

TEST_F(Aspi, TheRequestCarriesTheCurrentDrivesAddressAndItsOwnEvent) {
  OneDriveSelected();
  uint8_t reply[56];
  EXPECT_EQ(Inquiry(reply, sizeof reply), 1);
  ASSERT_EQ(g_world.executes.size(), 1u);
  const AspiExecRequest& sent = g_world.executes[0].block;
  EXPECT_EQ(sent.command_code, 2);
  EXPECT_EQ(sent.adapter_id, 1);
  EXPECT_EQ(sent.target_id, 3);
  EXPECT_EQ(sent.flags, 0x48);
  EXPECT_EQ(sent.sense_length, 128);
  EXPECT_EQ(sent.cdb_length, 12);
  EXPECT_EQ(sent.data_length, 56u);
  EXPECT_EQ(sent.cdb[0], 0x12);
  EXPECT_EQ(sent.cdb[4], 0x38);
  ASSERT_EQ(g_world.reset_events.size(), 1u);
  EXPECT_EQ(sent.completion_event, g_world.reset_events[0]);
  // The event came from CreateEventA(NULL, FALSE, FALSE, NULL) and was closed.
  ASSERT_EQ(g_world.event_args.size(), 1u);
  EXPECT_TRUE(g_world.event_args[0].security_null && g_world.event_args[0].name_null);
  EXPECT_FALSE(g_world.event_args[0].manual || g_world.event_args[0].initial);
  EXPECT_EQ(g_world.closed, (std::vector<HANDLE>{g_world.reset_events[0]}));
}

// The execute request's flags say the direction and ask for the event; each
// attempt creates its own event and closes it on every way out.
TEST_F(Aspi, FlagsFollowTheDirectionAndEveryAttemptClosesItsOwnEvent) {
  OneDriveSelected();
  const struct {
    ScsiDirection direction;
    uint8_t flags;
  } cases[] = {{ScsiDirection::kIn, 0x48}, {ScsiDirection::kOut, 0x50}, {ScsiDirection::kNone, 0x40}};
  uint8_t data[8] = {};
  for (const auto& k : cases) {
    g_world.executes.clear();
    AspiAttempt(Prepared(k.direction == ScsiDirection::kNone ? nullptr : data,
                         k.direction == ScsiDirection::kNone ? 0 : sizeof data, k.direction));
    ASSERT_EQ(g_world.executes.size(), 1u);
    EXPECT_EQ(g_world.executes[0].block.flags, k.flags) << static_cast<int>(k.direction);
  }

  // A command that fails five times: five events, each closed, none kept.
  g_world = World{};
  g_world.platform_id = VER_PLATFORM_WIN32_WINDOWS;
  OneDriveSelected();
  g_world.on_execute = [](AspiExecRequest& c) {
    c.status = kAspiError;
    c.target_status = kScsiStatusCheckCondition;
    c.sense_area[12] = 0x24;
  };
  uint8_t reply[16];
  EXPECT_EQ(IdentifyModel(reply, sizeof reply), 0);
  EXPECT_EQ(g_world.executes.size(), 5u);
  EXPECT_EQ(g_world.events_created, 5);
  EXPECT_EQ(g_world.closed.size(), 5u);
  EXPECT_EQ(LastFailureText(), "Invalid field in command packet");
  for (const ExecCall& call : g_world.executes) EXPECT_NE(call.block.completion_event, nullptr);
}

HANDLE WINAPI NoEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR) { return nullptr; }

TEST_F(Aspi, NoEventMeansNoRequest) {
  OneDriveSelected();
  Platform().CreateEventA = NoEvent;
  EXPECT_EQ(AspiAttempt(Prepared()).category, ScsiCategory::kRejected);
  EXPECT_TRUE(g_world.executes.empty());
  EXPECT_TRUE(g_world.closed.empty());
}

TEST_F(Aspi, DataGoesInBeforeTheRequestAndComesBackAfterCompletion) {
  OneDriveSelected();
  uint8_t out[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  g_world.on_execute = [](AspiExecRequest& c) {
    std::memset(c.data_buffer, 0xEE, c.data_length);  // a library scribbling on data out
    c.status = kAspiCompleted;
  };
  EXPECT_EQ(AspiAttempt(Prepared(out, sizeof out, ScsiDirection::kOut, 30000)).category, ScsiCategory::kGood);
  EXPECT_EQ(g_world.executes[0].data, std::vector<uint8_t>(out, out + 8));
  EXPECT_NE(g_world.executes[0].block.data_buffer, static_cast<void*>(out));
  EXPECT_EQ(out[0], 1);  // the caller's data-out bytes are never written

  uint8_t in[16] = {};
  g_world.on_execute = [](AspiExecRequest& c) {
    for (uint32_t i = 0; i < c.data_length; ++i) static_cast<uint8_t*>(c.data_buffer)[i] = uint8_t(0xA0 + i);
    c.status = kAspiCompleted;
  };
  const ScsiOutcome o = AspiAttempt(Prepared(in, sizeof in, ScsiDirection::kIn, 30000));
  EXPECT_EQ(o.category, ScsiCategory::kGood);
  EXPECT_EQ(o.transferred, 16u);  // ASPI tells no residue: all of it
  EXPECT_EQ(in[0], 0xA0);
  EXPECT_EQ(in[15], 0xAF);
}

TEST_F(Aspi, ACompletionSignalledDuringTheWaitIsTracedWithTheCharacterColumn) {
  OneDriveSelected();
  FileTraceOn trace;
  LibraryHoldsRequests();
  g_world.on_wait = [](HANDLE, DWORD) {
    AspiExecRequest* held = Held();
    const uint8_t reply[4] = {'A', 'B', 0x7E, 0};
    std::memcpy(held->data_buffer, reply, 4);
    held->sense_area[0] = 0x70;
    held->status = kAspiCompleted;
    return static_cast<DWORD>(WAIT_OBJECT_0);
  };
  uint8_t in[16] = {};
  EXPECT_EQ(AspiAttempt(Prepared(in, sizeof in, ScsiDirection::kIn, 10000)).category, ScsiCategory::kGood);
  ASSERT_EQ(g_world.waits.size(), 1u);
  EXPECT_EQ(g_world.waits[0].handle, AttemptEvent());
  EXPECT_EQ(g_world.waits[0].ms, 10000u);
  EXPECT_TRUE(g_world.set_events.empty());
  EXPECT_TRUE(g_world.aborts.empty());

  const std::string& w = FileTraceOn::Written();
  ASSERT_EQ(w.size(), 4u * 94 + 4);
  EXPECT_EQ(w.substr(0, 31), "Command       :       33 6C F0 ");  // as built, no rewrite
  EXPECT_EQ(w.substr(94, 25), "ASPI Status   :       01 ");
  EXPECT_EQ(w.substr(188, 34), "DataBuf       :       41 42 7E 00 ");
  EXPECT_EQ(w.substr(188 + 76, 16), "AB..............");
  EXPECT_EQ(w.substr(282, 25), "Sense Code    :       70 ");
}

TEST_F(Aspi, ANeverSignalledRequestEndsAfterExactlyItsTimeOutWithoutATrace) {
  OneDriveSelected();
  TraceOn trace;
  LibraryHoldsRequests();
  g_world.on_abort = [] { Held()->status = kAspiAborted; };
  const ScsiOutcome o = AspiAttempt(Timed(30000));
  EXPECT_EQ(o.category, ScsiCategory::kLost);
  EXPECT_EQ(o.sense_length, 0);  // what the library wrote after the abort is no answer
  ASSERT_EQ(g_world.waits.size(), 1u);
  EXPECT_EQ(g_world.waits[0].ms, 30000u);
  EXPECT_EQ(g_world.set_events, (std::vector<HANDLE>{AttemptEvent()}));
  EXPECT_TRUE(trace.captured.text().empty());
  EXPECT_TRUE(g_world.messages.empty());
}

TEST_F(Aspi, EventFailuresShowTheirMessageAndFailTheAttempt) {
  OneDriveSelected();
  g_world.reset_result = FALSE;
  EXPECT_EQ(AspiAttempt(Prepared()).category, ScsiCategory::kRejected);
  EXPECT_EQ(g_world.messages, (std::vector<std::string>{"Event Reset Failure !"}));
  EXPECT_TRUE(g_world.executes.empty());
  EXPECT_EQ(g_world.closed, g_world.reset_events);  // its event is closed all the same

  g_world.reset_result = TRUE;
  g_world.set_result = FALSE;
  g_world.messages.clear();
  LibraryHoldsRequests();
  g_world.on_abort = [] { Held()->status = kAspiAborted; };
  EXPECT_EQ(AspiAttempt(Prepared()).category, ScsiCategory::kLost);
  EXPECT_EQ(g_world.messages, (std::vector<std::string>{"Event Set Failure !"}));
}

// Time-outs and the library's late writes -----------------------------------------

TEST_F(Aspi, AfterATimeOutTheRequestIsAbortedAndWaitedForUntilTheLibraryLetsGo) {
  OneDriveSelected();
  LibraryHoldsRequests();
  // The library finishes the aborted request while the transport polls: it
  // writes its block and the data buffer late, then lets go.
  g_world.on_sleep = [](int n) {
    if (n != 2) return;
    AspiExecRequest* held = Held();
    std::memset(held->data_buffer, 0xDD, held->data_length);
    held->sense_area[12] = 0x3E;
    held->adapter_status = 0x09;
    held->status = kAspiAborted;
  };
  uint8_t in[16] = {};
  const ScsiOutcome o = AspiAttempt(Prepared(in, sizeof in));

  ASSERT_EQ(g_world.aborts.size(), 1u);
  EXPECT_EQ(g_world.aborts[0].command_code, 3);
  EXPECT_EQ(g_world.aborts[0].adapter_id, 1);
  EXPECT_EQ(g_world.aborts[0].request, static_cast<void*>(Held()));
  EXPECT_EQ(g_world.sleeps, (std::vector<DWORD>{50, 50, 50}));  // three polls, no guessed grace
  // The library wrote into its own copies, never into the caller's memory.
  EXPECT_EQ(in[0], 0);
  // What it reported after the abort is no answer of the drive: the
  // attempt was lost, and the dispatcher reads nothing of it.
  EXPECT_EQ(o.category, ScsiCategory::kLost);
  EXPECT_EQ(o.sense_length, 0);
  EXPECT_EQ(o.transport_code, 0u);
  EXPECT_FALSE(g_abandon_command);
  EXPECT_EQ(AspiAbandonedRequests(), 0);
  // It had the request past the time-out: its copies and the event stay.
  EXPECT_EQ(AspiKeptRequests(), 1);
  EXPECT_TRUE(AspiEventKept(AttemptEvent()));
  EXPECT_TRUE(g_world.closed.empty());
  std::memset(Held()->data_buffer, 0xEE, 16);  // a late write lands in kept memory
}

TEST_F(Aspi, ALibraryThatNeverLetsGoKeepsItsCopiesAndTheCommandIsAbandoned) {
  OneDriveSelected();
  LibraryHoldsRequests();
  uint8_t* reply = new uint8_t[16]();
  EXPECT_EQ(IdentifyModel(reply, 16), 0);
  // One attempt only: the dispatcher stops at the abandon flag and shows the
  // last failure text.
  ASSERT_EQ(g_world.executes.size(), 1u);
  EXPECT_EQ(g_world.sleeps.size(), static_cast<size_t>(kAspiLetGoPolls));
  // It tells why it stopped, not the "Successful" of an empty sense code.
  EXPECT_EQ(g_world.messages, (std::vector<std::string>{"Communication time-out"}));
  EXPECT_EQ(LastFailureText(), "Communication time-out");
  EXPECT_FALSE(g_abandon_command);  // lowered again by the dispatcher
  EXPECT_EQ(AspiAbandonedRequests(), 1);
  delete[] reply;

  // Much later the library completes the request it kept: it writes into the
  // block and buffer it was given, which are still ours to lose. The caller's
  // record and reply buffer are long gone; a new command reuses the heap.
  uint8_t* reused = new uint8_t[16]();
  AspiExecRequest* held = Held();
  std::memset(held->data_buffer, 0xDD, 16);
  held->status = kAspiCompleted;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(reused[i], 0);
  delete[] reused;

  // The next command is tried normally again.
  g_world.on_execute = nullptr;
  uint8_t again[16];
  EXPECT_EQ(IdentifyModel(again, 16), 1);
}

TEST_F(Aspi, AnEventWithoutCompletionIsTreatedAsCompletedOnlyOnceTheLibraryLetsGo) {
  OneDriveSelected();
  LibraryHoldsRequests();
  g_world.on_wait = [](HANDLE, DWORD) { return static_cast<DWORD>(WAIT_FAILED); };
  g_world.on_abort = [] { Held()->status = kAspiAborted; };
  const ScsiOutcome o = AspiAttempt(Prepared());
  EXPECT_EQ(o.category, ScsiCategory::kLost);
  EXPECT_EQ(o.transport_code, kAspiAborted);
  EXPECT_EQ(g_world.aborts.size(), 1u);
  EXPECT_TRUE(g_world.set_events.empty());
  EXPECT_EQ(AspiAbandonedRequests(), 0);
}

// A real event, a real wait and a library that completes on its own thread
// after the time-out: the caller's record and buffer are made inaccessible as
// soon as the attempt returns, so a late write into them would crash.
struct LateLibrary {
  static AspiExecRequest* held;
  static HANDLE thread;
  static DWORD WINAPI Complete(void*) {
    ::Sleep(150);
    std::memset(held->data_buffer, 0x5A, held->data_length);
    held->sense_area[12] = 0x11;
    held->status = kAspiCompleted;
    ::SetEvent(static_cast<HANDLE>(held->completion_event));
    return 0;
  }
};
AspiExecRequest* LateLibrary::held = nullptr;
HANDLE LateLibrary::thread = nullptr;

TEST_F(Aspi, ALateCompletionOnTheLibrarysThreadNeverTouchesTheCallersMemory) {
  OneDriveSelected();
  Platform().CreateEventA = ::CreateEventA;
  Platform().CloseHandle = ::CloseHandle;
  Platform().ResetEvent = ::ResetEvent;
  Platform().SetEvent = ::SetEvent;
  Platform().WaitForSingleObject = ::WaitForSingleObject;
  Platform().Sleep = ::Sleep;
  g_world.on_execute = [](AspiExecRequest& c) {
    c.status = kAspiPending;
    LateLibrary::held = &c;
    LateLibrary::thread = ::CreateThread(nullptr, 0, LateLibrary::Complete, nullptr, 0, nullptr);
  };
  const SIZE_T page = 4096;
  auto* memory = static_cast<uint8_t*>(::VirtualAlloc(nullptr, 2 * page, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(memory, nullptr);
  auto* request = reinterpret_cast<ScsiRequest*>(memory);
  uint8_t* buffer = memory + page;
  *request = Prepared(buffer, 1024, ScsiDirection::kIn, 20);

  EXPECT_EQ(AspiAttempt(*request).category, ScsiCategory::kLost);
  EXPECT_EQ(buffer[0], 0);
  DWORD old = 0;
  ASSERT_TRUE(::VirtualProtect(memory, 2 * page, PAGE_NOACCESS, &old));
  ASSERT_NE(LateLibrary::thread, nullptr);
  EXPECT_EQ(::WaitForSingleObject(LateLibrary::thread, 5000), WAIT_OBJECT_0);
  ::CloseHandle(LateLibrary::thread);
  ::VirtualFree(memory, 0, MEM_RELEASE);
  EXPECT_EQ(AspiAbandonedRequests(), 0);
}

// Late completions and reused event handles ---------------------------------------

TEST_F(Aspi, ALateCompletionOfAnAbandonedRequestWakesNoLaterCommand) {
  OneDriveSelected();
  LibraryHoldsRequests();
  uint8_t reply[16];
  EXPECT_EQ(IdentifyModel(reply, 16), 0);
  ASSERT_EQ(AspiAbandonedRequests(), 1);
  AspiExecRequest* abandoned = Held();
  const HANDLE kept = static_cast<HANDLE>(abandoned->completion_event);
  EXPECT_TRUE(AspiEventKept(kept));
  EXPECT_EQ(std::count(g_world.closed.begin(), g_world.closed.end(), kept), 0);

  // The next commands: the library takes each in as pending and finishes it
  // while the transport waits; meanwhile it completes the abandoned request
  // and posts that request's event.
  std::vector<HANDLE> waited_on;
  g_world.on_wait = [&](HANDLE h, DWORD) -> DWORD {
    waited_on.push_back(h);
    abandoned->status = kAspiCompleted;
    Platform().SetEvent(kept);
    AspiExecRequest* current = Held();
    if (h == kept) return WAIT_OBJECT_0;  // woken by the other request's post
    current->status = kAspiCompleted;
    return WAIT_OBJECT_0;
  };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(IdentifyModel(reply, 16), 1);
  for (HANDLE h : waited_on) EXPECT_NE(h, kept);
  EXPECT_EQ(g_world.aborts.size(), 1u);  // only the abandoned request's
}

TEST_F(Aspi, AnEarlierAttemptsLatePostDoesNotAbortTheNextAttempt) {
  OneDriveSelected();
  LibraryHoldsRequests();
  // Attempt 1 times out; the library lets go when asked to abort, but posts
  // the event only later, while attempt 2 waits. Attempt 2 then completes.
  int waits = 0;
  g_world.on_abort = [] { Held()->status = kAspiAborted; };
  g_world.on_wait = [&](HANDLE, DWORD) -> DWORD {
    switch (++waits) {
      case 1: return WAIT_TIMEOUT;
      case 2: return WAIT_OBJECT_0;  // attempt 1's late post; attempt 2 still pending
      default:
        Held()->status = kAspiCompleted;
        return WAIT_OBJECT_0;
    }
  };
  uint8_t reply[16];
  EXPECT_EQ(IdentifyModel(reply, 16), 1);
  EXPECT_EQ(g_world.executes.size(), 2u);
  EXPECT_EQ(g_world.aborts.size(), 1u);
  EXPECT_EQ(waits, 3);
  EXPECT_EQ(AspiKeptRequests(), 1);
}

TEST_F(Aspi, ARequestTheLibraryRefusesWithoutAStatusFailsThatAttemptAtOnce) {
  OneDriveSelected();
  g_world.on_execute = [](AspiExecRequest& c) { c.status = kAspiPending; };
  g_world.send_returns_pending = false;
  g_world.send_result_override = kAspiInvalidRequest;
  const ScsiOutcome o = AspiAttempt(Prepared());
  EXPECT_EQ(o.category, ScsiCategory::kRejected);
  EXPECT_EQ(o.transport_code, kAspiInvalidRequest);
  EXPECT_TRUE(g_world.waits.empty());
  EXPECT_TRUE(g_world.aborts.empty());
  EXPECT_EQ(AspiKeptRequests(), 0);
  EXPECT_FALSE(g_abandon_command);
}

}  // namespace
