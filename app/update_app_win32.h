// The application object: owner of the run's shared state.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "base/app_state.h"
#include "app/cmdline.h"
#include "base/exe_file_win32.h"
#include "app/update_run.h"
#include "ui/winapp.h"

class CommandTrace;
class CMyThread;
class CUpdateDlg;

// The Windows program: its dialogs are the run's front end.
class CUpdateApp : public CWinApp, public UpdateState, public RunFrontEnd {
 public:
  CUpdateApp();
  ~CUpdateApp() override;
  BOOL InitInstance() override;

  // Names derived from the program's own module file name.
  std::string executable_path;
  std::string log_file_path;
  CommandLine command_line;
  bool split_mode = false;

  // The debug window thread under "/LOG" "SCR" (it owns the window form of
  // the trace sink and the debug window); null otherwise.
  CMyThread* debug_window_thread = nullptr;
  // Events of the transfer's threads (auto-reset, unnamed).
  HANDLE start_event = nullptr;
  HANDLE progress_ready_event = nullptr;

  // Shows one message that ends the run in the message dialog. The way it
  // was closed (IDOK, IDCANCEL) is kept in message_result.
  void ShowRunMessage(const std::string& text, MessageKind kind, MessageIcon icon);
  INT_PTR message_result = 0;

  // The main dialog of the run (InitInstance's own, for its whole run); the
  // choice and the question happen in it. Null: nobody can confirm.
  CUpdateDlg* main_dialog = nullptr;

  // The run's front end (the order itself is the shared run's).
  int FindDrives(RunEnding* ending) override;
  ExeFile* OpenPayloadFile() override;
  std::string PayloadPath() override { return executable_path; }
  bool SplitMode() override { return split_mode; }
  bool SplitImagesOut() override;
  void ShowMessage(const RunReport& message, RunEnding ending) override;
  void ShowRefusal(const char* text) override;
  RunEnding ChooseAndConfirm() override;
  // The progress run shows the warning before the first buffer command and
  // the transfer keeps the computer awake (Host().update_guard).
  uint8_t Transfer() override;

 private:
  // Start-up and the switch actions. Each returns false when the run ends
  // there (having shown its one message, or none where the run ends silently).
  bool StartUp();
  bool RunSwitchActions();
  void StartDebugWindow();

  Win32ExeFile exe_file_;
  std::unique_ptr<CommandTrace> file_trace_;  // the trace sink under "/LOG" "FILE"
};

// The version caption ("FileDescription ProductVersion"), set at start-up.
extern std::string g_version_caption;
