// Gallery for scripts/screenshots: shows each window in turn and waits for
// the script to photograph it. Disabled in the normal test run; started with
// --gtest_also_run_disabled_tests --gtest_filter=*Gallery* and
// FW_GALLERY_DIR set to a folder (Windows path) that both sides can see.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "res/resource.h"
#include "scsi/trace.h"
#include "tests/win/ui/ui_support.h"
#include "ui/debug_dlg.h"
#include "ui/message_dlg.h"
#include "ui/progress_dlg.h"
#include "ui/threads.h"
#include "ui/update_dlg.h"

namespace {

class Gallery : public UiTest {
 protected:
  // Tells the script that a window is on the screen and waits (pumping
  // messages) until it has taken its picture, 20 s at most.
  void Photograph(const char* name) {
    PumpMessages(300);
    ++shot_;
    std::string ready = dir_ + "\\ready-" + std::to_string(shot_);
    std::string done = dir_ + "\\shot-" + std::to_string(shot_);
    std::string tmp = ready + ".tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
      std::fputs(name, f);
      std::fclose(f);
      MoveFileA(tmp.c_str(), ready.c_str());
    }
    DWORD start = GetTickCount();
    while (GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < 20000)
      PumpMessages(50);
  }
  std::string dir_;
  int shot_ = 0;
};

TEST_F(Gallery, DISABLED_ShowEachWindow) {
  const char* dir = std::getenv("FW_GALLERY_DIR");
  ASSERT_NE(dir, nullptr) << "FW_GALLERY_DIR must name the picture folder";
  dir_ = dir;

  SetDrives({{"CD-RW DRIVE A", "VENDOR1", "CDRW-4012A", "1.10"}, {"CD-RW DRIVE B", "VENDOR3", "CDRW-5224B", "0.90"}});
  AddImage("CDRW-4012A1.20");
  AddImage("CDRW-5224B1.00");
  AddImage("CDRW-4012A1.30");
  AddImage("CDRW-4012A1.40");
  {
    CUpdateDlg main;
    main.m_strCaption = "CD-RW Firmware Updater 1.0.0.1";
    ASSERT_TRUE(main.Create());
    SendMessageA(main.m_hWnd, WM_VSCROLL, SB_LINEDOWN, reinterpret_cast<LPARAM>(main.GetDlgItem(IDC_PAGE_SCROLL)));
    Photograph("main");
    main.DestroyWindow();
  }
  {
    CProgressDlg progress;
    ASSERT_TRUE(progress.Create());
    progress.SetStatus("Write firmware to buffer . . .");
    progress.SetPosition(60);
    progress.ShowWarning(4, kWarningText);
    Photograph("progress-shown");
    progress.ShowWarning(3, kWarningText);
    Photograph("progress-hidden");
    progress.DestroyWindow();
  }
  struct Message {
    const char* name;
    int kind, icon;
    const char* text;
  } messages[] = {
      {"message-error", 2, 140, "\r\n BIOS DATA COMPARE ERROR!!"},
      {"message-nodrive", 2, 139, "\r\nCD-ROM/RW drive is not found!"},
      {"message-version", 1, 128, "\r\nCD-RW Firmware Updater 1.0.0.1"},
      {"message-finish", 1, 141,
       "\nThe firmware of drive has been updated already.\nIf you do not reboot your computer, the device"
       "\ndriver of CD-ROM/RW drive may not work properly.\nPlease reboot your computer."},
  };
  for (const Message& m : messages) {
    CMessageDlg dlg;
    dlg.m_nKind = static_cast<MessageKind>(m.kind);
    dlg.m_nIcon = static_cast<MessageIcon>(m.icon);
    dlg.m_strText = m.text;
    ASSERT_TRUE(dlg.Create());
    Photograph(m.name);
    dlg.DestroyWindow();
  }
  {
    CMyThread* debug = StartDebugWindowThread();
    ASSERT_NE(debug, nullptr);
    const uint8_t cdb[12] = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t data[16] = {0x05, 0x80, 0x00, 0x21, 0x1F, 0, 0, 0, 'V', 'E', 'N', 'D', 'O', 'R', '1', ' '};
    const uint8_t status = 0x01, sense = 0x00;
    for (int i = 0; i < 12; ++i) {
      debug->Trace()->WriteLine("Command       : ", cdb, 12, false);
      debug->Trace()->WriteLine("ASPI Status   : ", &status, 1, false);
      debug->Trace()->WriteLine("DataBuf       : ", data, 16, true);
      debug->Trace()->WriteLine("Sense Code    : ", &sense, 1, false);
      debug->Trace()->WriteEmptyLine();
    }
    Sleep(2 * CDebugDlg::kRepaintMs);
    Photograph("debug");
    EndDebugWindowThread(debug);
  }
}

}  // namespace
