// The update run's last stretch when its main dialog cannot be made: no
// transfer, no message.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <vector>

#include "base/exe_file.h"
#include "app/update_app_win32.h"
#include "drive/identify.h"
#include "sim/sim_drive.h"
#include "tests/support/sim_install.h"
#include "ui/update_dlg.h"
#include "ui/winapp.h"

namespace {

struct Attempt {
  CUpdateApp* app;
  RunEnding ending = RunEnding::Updated;
};

// The run's last stretch as InitInstance reaches it: its main dialog set.
DWORD WINAPI Confirm(void* param) {
  auto* attempt = static_cast<Attempt*>(param);
  CUpdateDlg dialog;
  attempt->app->main_dialog = &dialog;
  attempt->ending = ConfirmTransferReport(*attempt->app);
  attempt->app->main_dialog = nullptr;
  return 0;
}

BOOL CALLBACK CloseThreadWindow(HWND window, LPARAM) {
  PostMessageA(window, WM_CLOSE, 0, 0);
  return TRUE;
}

TEST(ConfirmTransferReport, AMainDialogThatCannotBeMadeEndsWithoutTransferOrMessage) {
  SimDrives drives(SimDrives::Mode::Aspi);
  drives.Add();
  SimInstall(drives);
  {
    CUpdateApp app;
    // A module without the program's dialog templates: no window can be made.
    AfxSetResourceHandle(GetModuleHandleA("kernel32.dll"));
    app.drive_count = 1;
    app.drive_identity_table.reset(new DriveIdentity[1]());
    IdentifyDrives();
    app.image_count = 1;
    std::snprintf(app.image_directory[0].image_name, sizeof app.image_directory[0].image_name, "K53R-TX   209B");
    app.image_directory[0].image_size = 0x400;
    // An image the transfer could send, were it ever started.
    MemoryExeFile file(std::vector<uint8_t>(0x800, 0x5A));
    app.executable_file = &file;
    app.target_image_name = "K53R-TX   209B";
    drives.ClearLog();

    Attempt attempt{&app};
    DWORD thread_id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &Confirm, &attempt, 0, &thread_id);
    ASSERT_NE(thread, nullptr);
    // Any message would wait for someone to close it.
    const bool ended = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
    if (!ended) {
      EnumThreadWindows(thread_id, CloseThreadWindow, 0);
      WaitForSingleObject(thread, 5000);
    }
    CloseHandle(thread);
    AfxSetResourceHandle(nullptr);
    EXPECT_TRUE(ended) << "a message was shown";
    EXPECT_EQ(attempt.ending, RunEnding::Declined);
    EXPECT_FALSE(TransferRan(attempt.ending)) << "InitInstance would report a transfer";
    EXPECT_TRUE(drives.Log().empty()) << "a command went to the drive";
    EXPECT_EQ(drives.drive(0).flash_count(), 0);
  }
  SimUninstall();
}

}  // namespace
