#include "ui/progress_run.h"

#include <windows.h>
#include <process.h>

#include <new>

#include "base/app_state.h"
#include "base/host.h"
#include "ui/progress_dlg.h"
#include "ui/threads.h"

namespace {

// Longer than the wait for the progress window, which comes first.
constexpr DWORD kWorkerStartWaitMs = 2 * kThreadReadyWaitMs;

struct WorkerContext {
  TransferResult (*transfer)();
  HANDLE start_event;
};

// The worker: waits for the start, runs the transfer once, hands over the
// result (result first, then done with release).
unsigned __stdcall WorkerThread(void* param) {
  WorkerContext* context = static_cast<WorkerContext*>(param);
  UpdateState& state = AppState();
  if (WaitForSingleObject(context->start_event, kWorkerStartWaitMs) == WAIT_OBJECT_0) {
    state.result = static_cast<uint8_t>(context->transfer());
  } else {
    // Never told to start: nothing was sent to the drive.
    state.result = static_cast<uint8_t>(TransferNotStarted);
  }
  state.done.store(1, std::memory_order_release);
  return 0;
}

// Shows the progress dialog on its own thread with the warning on. True once
// the user can see it; the transfer never starts before.
bool ShowProgress(CProgressDlg* dialog, CWinThread* progress, HANDLE ready) {
  if (!progress || !WaitUntilReady(ready, progress->m_hThread, kThreadReadyWaitMs) || !dialog->m_hWnd) return false;
  dialog->ShowWarning(4, kWarningText);
  return IsWindowVisible(dialog->m_hWnd) != FALSE;
}

}  // namespace

uint8_t RunTransferWithProgress(TransferResult (*transfer)()) {
  UpdateState& state = AppState();
  state.done.store(0, std::memory_order_relaxed);
  state.result = static_cast<uint8_t>(TransferNotStarted);

  HANDLE start = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CProgressDlg* dialog = (start && ready) ? new (std::nothrow) CProgressDlg() : nullptr;
  if (!dialog) {
    // Without the events or the dialog no warning can be shown: the update
    // does not start.
    if (start) CloseHandle(start);
    if (ready) CloseHandle(ready);
    return state.result;
  }

  CWinThread* progress = AfxBeginThread(RUNTIME_CLASS(CSCThread), dialog, ready);
  WorkerContext* context = nullptr;
  HANDLE worker = nullptr;
  // The power warning is on screen before the first buffer command.
  if (ShowProgress(dialog, progress, ready)) {
    state.progress_sink = dialog;
    context = new (std::nothrow) WorkerContext{transfer, start};
    if (context) worker = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &WorkerThread, context, 0, nullptr));
    if (worker) {
      SetEvent(start);
      // The warning blinks: shown for its time (it already is), then hidden.
      Host().sleep_ms(kWarningShownMs);
      int toggle = 1;
      while (state.done.load(std::memory_order_acquire) == 0) {
        if (toggle == 0) {
          dialog->ShowWarning(4, kWarningText);
          toggle = 1;
          Host().sleep_ms(kWarningShownMs);
        } else {
          dialog->ShowWarning(3, kWarningText);
          toggle = 0;
          Host().sleep_ms(kWarningHiddenMs);
        }
      }
    } else {
      // No worker: the transfer runs here while the progress thread keeps
      // the dialog alive; the warning stays on.
      state.result = static_cast<uint8_t>(transfer());
    }
  }

  // The transfer is over (or never began): take the dialog out of it before
  // the window goes, then end the progress thread (its loop destroys the
  // window) and join.
  state.progress_sink = nullptr;
  bool progress_ended = true;
  if (progress) {
    progress_ended = progress->StopAndJoin(kThreadStopWaitMs);
    if (progress_ended) delete progress;
  }
  bool worker_ended = true;
  if (worker) {
    worker_ended = WaitForSingleObject(worker, kThreadStopWaitMs) == WAIT_OBJECT_0;
    CloseHandle(worker);
  }
  // Whatever a thread that did not end may still touch is left alone.
  if (worker_ended) {
    delete context;
    CloseHandle(start);
  }
  if (progress_ended) {
    delete dialog;
    CloseHandle(ready);
  }
  return state.result;
}
