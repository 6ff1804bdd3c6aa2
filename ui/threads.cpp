#include "ui/threads.h"

#include <new>

#include "base/app_state.h"
#include "scsi/trace.h"
#include "ui/debug_dlg.h"
#include "ui/progress_dlg.h"

IMPLEMENT_DYNCREATE(CSCThread)
IMPLEMENT_DYNCREATE(CMyThread)

CSCThread::CSCThread() = default;

CSCThread::~CSCThread() { StopAndJoin(kThreadStopWaitMs); }

BOOL CSCThread::InitInstance() {
  CProgressDlg* dialog = static_cast<CProgressDlg*>(m_pThreadParams);
  if (dialog && dialog->Create(nullptr)) m_pMainWnd = dialog->m_hWnd;
  // Signalled even without a window, so that nobody waits for it in vain.
  if (m_hReadyEvent) SetEvent(m_hReadyEvent);
  return m_pMainWnd != nullptr;
}

int CSCThread::ExitInstance() {
  CProgressDlg* dialog = static_cast<CProgressDlg*>(m_pThreadParams);
  if (dialog) dialog->DestroyWindow();
  m_pMainWnd = nullptr;
  return 0;
}

CMyThread::CMyThread() {
  // Without memory for either, the thread makes no window and the trace
  // stays on without a sink.
  m_pTrace = new (std::nothrow) CommandTrace();
  m_pDebugDlg = m_pTrace ? new (std::nothrow) CDebugDlg() : nullptr;
  if (m_pDebugDlg) AppState().trace_sink = m_pTrace;
}

CMyThread::~CMyThread() {
  // EndDebugWindowThread destroys it only once its thread has ended; should
  // it still run here, the window and the trace at least stay.
  TakeTraceOut();
  if (!StopAndJoin(kThreadStopWaitMs)) return;
  delete m_pDebugDlg;
  delete m_pTrace;
}

void CMyThread::TakeTraceOut() {
  UpdateState& state = AppState();
  if (state.trace_sink == m_pTrace) state.trace_sink = nullptr;
  if (m_pTrace) m_pTrace->Bind(nullptr, "");
}

BOOL CMyThread::InitInstance() {
  if (m_pDebugDlg && m_pDebugDlg->Create(nullptr)) {
    m_pMainWnd = m_pDebugDlg->m_hWnd;
    if (m_pTrace && m_pDebugDlg->TraceField()) m_pTrace->Bind(m_pDebugDlg, "CRichEditCtrl");
  }
  if (m_hReadyEvent) SetEvent(m_hReadyEvent);
  return m_pMainWnd != nullptr;
}

int CMyThread::ExitInstance() {
  if (m_pDebugDlg) m_pDebugDlg->DestroyWindow();
  m_pMainWnd = nullptr;
  return 0;
}

CMyThread* StartDebugWindowThread() {
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!ready) return nullptr;
  CWinThread* thread = AfxBeginThread(RUNTIME_CLASS(CMyThread), nullptr, ready);
  CMyThread* debug = static_cast<CMyThread*>(thread);
  if (debug && !WaitUntilReady(ready, debug->m_hThread, kThreadReadyWaitMs)) {
    EndDebugWindowThread(debug);  // takes the sink out again
    return nullptr;  // the event stays open: a late thread may still signal it
  }
  CloseHandle(ready);
  return debug;
}

void EndDebugWindowThread(CMyThread* thread) {
  if (!thread) return;
  thread->TakeTraceOut();
  if (thread->StopAndJoin(kThreadStopWaitMs)) delete thread;
  // Else the thread still runs on this object, its window and its trace:
  // they are left to it.
}
