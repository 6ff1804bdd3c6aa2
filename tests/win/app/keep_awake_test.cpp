// The computer is kept awake while the drive is written and flashed: the
// request goes through the platform table on the transfer's own thread, and
// is cleared on every way out. Where the system has no such call (Windows
// 95), the transfer runs all the same.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "base/app_state.h"
#include "base/exe_file.h"
#include "base/host.h"
#include "app/host_win32.h"
#include "base/payload.h"
#include "base/payload_pack.h"
#include "drive/identify.h"
#include "drive/transfer.h"
#include "scsi/dispatcher.h"
#include "scsi/platform_win32.h"
#include "sim/sim_drive.h"
#include "tests/support/sim_install.h"

namespace {

struct Request {
  DWORD flags;
  DWORD thread;
  size_t commands_before;  // commands the drive had received
};
std::vector<Request> g_requests;
SimDrives* g_drives = nullptr;

DWORD WINAPI RecordRequest(DWORD flags) {
  g_requests.push_back({flags, GetCurrentThreadId(), g_drives->Log().size()});
  return ES_CONTINUOUS;
}

class KeepAwake : public ::testing::Test {
 protected:
  void SetUp() override {
    g_requests.clear();
    g_drives = &drives_;
    ResetScsiState();
    SetAppState(&state_);
    InstallWin32Host();
    Host().sleep_ms = [](uint32_t) {};
    Host().ask_yes_no = [](const char*, const char*) { return true; };
    Platform().SetThreadExecutionState = RecordRequest;
  }
  void TearDown() override {
    SimUninstall();
    ResetPlatform();
    ResetHost();
    SetAppState(nullptr);
    ResetScsiState();
  }
  // One drive, one fitting image, accepted; ready to transfer.
  SimDrive& Prepare() {
    SimIdentity id;
    id.model = "K53R-TX   ";
    id.version = "208W";
    SimDrive& drive = drives_.Add(id);
    SimInstall(drives_);
    state_.drive_count = 1;
    state_.drive_identity_table.reset(new DriveIdentity[1]());
    std::vector<uint8_t> program(0x200, 0x90), packed;
    std::string error;
    EXPECT_TRUE(PackPayload(program, {MakeSampleFirmware("K53R-TX   ", "209A", 0x1000, 3)}, &packed, &error));
    file_ = MemoryExeFile(packed);
    state_.executable_file = &file_;
    EXPECT_EQ(LoadAndCheck(file_), LoadResult::Intact);
    state_.image_count = ReadImageDirectory();
    IdentifyDrives();
    EXPECT_EQ(AcceptStep(0, 0, "fwupdate").outcome, AcceptOutcome::Ask);
    drives_.ClearLog();
    return drive;
  }

  UpdateState state_;
  SimDrives drives_{SimDrives::Mode::PassThrough};
  MemoryExeFile file_;
};

TEST_F(KeepAwake, TheSleepRequestIsMadeBeforeTheFirstBufferCommandAndClearedAfterTheFlash) {
  SimDrive& drive = Prepare();
  ASSERT_EQ(RunTransfer(), TransferOk);
  ASSERT_EQ(g_requests.size(), 2u);
  EXPECT_EQ(g_requests[0].flags, static_cast<DWORD>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
  EXPECT_EQ(g_requests[0].commands_before, 0u);
  EXPECT_EQ(g_requests[1].flags, static_cast<DWORD>(ES_CONTINUOUS));
  EXPECT_EQ(g_requests[1].commands_before, drives_.Log().size()) << "cleared after the last command";
  EXPECT_EQ(g_requests[0].thread, g_requests[1].thread) << "the request belongs to the thread that made it";
  EXPECT_EQ(drive.flash_count(), 1);
}

TEST_F(KeepAwake, AFailedTransferClearsTheRequestToo) {
  SimDrive& drive = Prepare();
  drive.AddFault(SimFaultRule{SimKind::UpdateFirmware, 1, 1000, SimFaultKind::CheckCondition, 0x4400, -1});
  ASSERT_EQ(RunTransfer(), FlashFailed);
  ASSERT_EQ(g_requests.size(), 2u);
  EXPECT_EQ(g_requests[1].flags, static_cast<DWORD>(ES_CONTINUOUS));
}

TEST_F(KeepAwake, WithoutTheCallTheTransferRunsAllTheSame) {
  Platform().SetThreadExecutionState = nullptr;
  SimDrive& drive = Prepare();
  EXPECT_EQ(RunTransfer(), TransferOk);
  EXPECT_EQ(drive.flash_count(), 1);
}

}  // namespace
