// The update run: start-up, switch actions, the check of the executable,
// split mode, preparation of drives and images, the model checks, the main
// dialog, the transfer and the report with the restart offer.
#include "app/update_app_win32.h"

#include <new>
#include <vector>

#include "base/host.h"
#include "app/host_win32.h"
#include "base/payload.h"
#include "app/update_app_messages.h"
#include "app/version_reader_win32.h"
#include "drive/identify.h"
#include "drive/transfer.h"
#include "scsi/discovery.h"
#include "scsi/trace.h"
#include "res/resource.h"
#include "scsi/trace_files_win32.h"
#include "ui/message_dlg.h"
#include "ui/progress_run.h"
#include "ui/restart.h"
#include "ui/threads.h"
#include "ui/update_dlg.h"

std::string g_version_caption;

namespace {

// Paths are ANSI text: the trail byte of a double-byte character is never a separator.
bool AnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != 0; }

// Held open until the process ends, so the named mutex lives as long as we do.
HANDLE g_instance_mutex = nullptr;

// The standard box's icon for a message dialog's icon.
UINT MessageBoxIconStyle(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Warning: return MB_ICONWARNING;
    case MessageIcon::Error: return MB_ICONERROR;
    default: return MB_ICONINFORMATION;
  }
}

}  // namespace

CUpdateApp::CUpdateApp() { SetAppState(this); }

CUpdateApp::~CUpdateApp() {
  // The trace sink leaves the run, the thread is stopped, and the thread
  // object, the debug window and the writer are freed once it has ended.
  EndDebugWindowThread(debug_window_thread);
  debug_window_thread = nullptr;
  trace_sink = nullptr;
  // The log file's writer goes while this run's state is still the one it
  // looks at.
  file_trace_.reset();
  executable_file = nullptr;
  SetAppState(nullptr);
}

void CUpdateApp::ShowRunMessage(const std::string& text, MessageKind kind, MessageIcon icon) {
  CMessageDlg dialog;
  dialog.m_strText = text;
  dialog.m_nKind = kind;
  dialog.m_nIcon = icon;
  message_result = dialog.DoModal();
  if (message_result == -1) {
    // No dialog could be made: the message must still reach the user.
    // The reboot offer keeps its two answers, named as on the finish form.
    const bool offer = icon == MessageIcon::Finish;
    const std::string shown =
        offer ? text + "\n\nYES, Reboot now.\nNO, I will restart my computer later." : text;
    const int answer = MessageBoxA(nullptr, shown.c_str(), CMessageDlg::CaptionFor(kind, icon),
                                   (offer ? MB_YESNO : MB_OK) | MB_TOPMOST | MessageBoxIconStyle(icon));
    message_result = (offer ? answer == IDYES : answer == IDOK) ? IDOK : IDCANCEL;
  }
}

BOOL CUpdateApp::InitInstance() {
  // The main dialog object lives for the whole run, from before the
  // single-instance guard until this returns.
  CUpdateDlg dialog;
  main_dialog = &dialog;
  BOOL transferred = FALSE;
  if (StartUp() && RunSwitchActions()) transferred = TransferRan(RunUpdate(*this)) ? TRUE : FALSE;
  main_dialog = nullptr;
  return transferred;
}

// Rich edit library, single-instance guard, version caption, names and the
// classification of the command line.
bool CUpdateApp::StartUp() {
  // Rich edit control version 1, for the debug window; before any dialog.
  AfxInitRichEdit();
  InstallWin32Host();

  HANDLE mutex = CreateMutexA(nullptr, TRUE, "VARNE");
  const DWORD error = GetLastError();
  if (mutex != nullptr) {
    ReleaseMutex(mutex);
    g_instance_mutex = mutex;
  }
  if (error == ERROR_ALREADY_EXISTS) return false;  // another copy runs: no window, no message

  executable_path = ModuleFileName();
  g_version_caption = ReadVersionCaption(executable_path.c_str());
  log_file_path = LogFilePath(executable_path, AnsiLeadByte);

  std::vector<std::string> args;
  for (int i = 1; i < m_argc && i <= 2; ++i) args.emplace_back(m_argv[i] ? m_argv[i] : "");
  command_line = ClassifyCommandLine(args);
  options = RunOptions(command_line);
  return true;
}

bool CUpdateApp::RunSwitchActions() {
  switch (command_line.mode) {
    case RunMode::VersionDisplay: {
      const RunReport version = VersionMessage(g_version_caption);
      ShowRunMessage(version.text, version.kind, version.icon);
      return false;
    }
    case RunMode::TraceToFile:
      InstallWin32TraceFiles();
      // The writer reports a log file it cannot create; an allocation that
      // fails leaves the trace on without a sink.
      file_trace_.reset(new (std::nothrow) CommandTrace(log_file_path.c_str()));
      trace_sink = file_trace_.get();
      trace_on = 1;
      break;
    case RunMode::TraceToScreen:
      StartDebugWindow();
      trace_on = 1;
      break;
    case RunMode::TraceWithoutSink:
      trace_on = 1;
      break;
    case RunMode::SplitMode:
      split_mode = true;  // no transport is brought up
      break;
    case RunMode::NormalRun:
      break;
  }
  return true;
}

// The trace is already on while discovery sends its first commands.
int CUpdateApp::FindDrives(RunEnding*) { return DiscoverDrives(); }

void CUpdateApp::StartDebugWindow() {
  // The thread's constructor makes the window form of the trace the sink; it
  // returns once the window exists and the sink is bound to its rich edit
  // field. When it cannot start, the trace is on without a sink.
  debug_window_thread = StartDebugWindowThread();
}

ExeFile* CUpdateApp::OpenPayloadFile() { return exe_file_.Open(executable_path.c_str()) ? &exe_file_ : nullptr; }

bool CUpdateApp::SplitImagesOut() {
  const SplitReport report = SplitImages(ExecutableDirectory(executable_path, AnsiLeadByte), Win32SplitFileOps());
  // Whatever became of the files, the report is the run's one message.
  Host().message_box(report.text.c_str());
  return true;
}

void CUpdateApp::ShowMessage(const RunReport& message, RunEnding ending) {
  ShowRunMessage(message.text, message.kind, message.icon);
  // Only "YES, Reboot now." restarts; the close box and "NO" do not. A
  // restart that is refused is not reported.
  if (ending == RunEnding::Updated && message_result == IDOK) SystemRestart();
}

void CUpdateApp::ShowRefusal(const char* text) { Host().message_box(text); }

RunEnding CUpdateApp::ChooseAndConfirm() {
  if (!main_dialog) return RunEnding::Declined;
  // The run's options are in its state, where the dialog's matching reads them.
  main_dialog->m_strCaption = g_version_caption;
  // Only a confirmed "Yes" goes on. "No", Escape and the close box end the
  // run without a message; so does a dialog that could not be made at all
  // (-1): nobody confirmed anything.
  return main_dialog->DoModal() == IDOK ? RunEnding::Updated : RunEnding::Declined;
}

uint8_t CUpdateApp::Transfer() {
  if (command_line.argument2 == "SCR") {
    // On this thread, without the progress dialog; under "/LOG" "SCR" the
    // debug window thread keeps the trace on screen meanwhile.
    return static_cast<uint8_t>(RunTransfer());
  }
  // Worker thread, progress thread and the warning loop here; no progress
  // window is left once it has returned.
  return RunTransferWithProgress();
}
