// The two user-interface thread classes: CSCThread serves the progress
// dialog during the transfer, CMyThread the debug window of the screen trace.
#pragma once
#include "ui/winthread.h"

class CProgressDlg;
class CDebugDlg;
class CommandTrace;

// m_pThreadParams: the CProgressDlg to show; m_hReadyEvent is signalled once
// it exists or could not be made. The dialog is destroyed on this thread
// when the loop ends.
class CSCThread : public CWinThread {
  DECLARE_DYNCREATE(CSCThread)

 public:
  CSCThread();
  ~CSCThread() override;
  BOOL InitInstance() override;
  int ExitInstance() override;
};

// Constructing it (on the starting thread) makes the window form of the
// command trace the run's trace sink and makes the debug window object. On
// its own thread it creates the window, binds the trace to the window's rich
// edit field and signals m_hReadyEvent. End it with EndDebugWindowThread:
// its thread uses the object, the window and the trace until it has ended.
class CMyThread : public CWinThread {
  DECLARE_DYNCREATE(CMyThread)

 public:
  CMyThread();
  ~CMyThread() override;
  BOOL InitInstance() override;
  int ExitInstance() override;

  CDebugDlg* DebugDialog() const { return m_pDebugDlg; }
  CommandTrace* Trace() const { return m_pTrace; }
  // Takes the trace sink out of the run and unbinds it from the window.
  void TakeTraceOut();

 private:
  CommandTrace* m_pTrace = nullptr;
  CDebugDlg* m_pDebugDlg = nullptr;
};

// How long the starting thread waits for a new thread's window (it returns
// earlier when the thread ends), and for a thread to end when it is stopped.
constexpr DWORD kThreadReadyWaitMs = 30000;
constexpr DWORD kThreadStopWaitMs = 10000;

// Starts the debug window thread and waits until its window is bound to the
// trace sink. nullptr when it could not be started (no sink is left then).
CMyThread* StartDebugWindowThread();
// Takes the debug window's trace out of the run, stops its thread and frees
// the thread object with the window and the trace - unless the thread is
// still running: then all of them stay, for as long as the process lives.
void EndDebugWindowThread(CMyThread* thread);
