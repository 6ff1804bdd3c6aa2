#include "ui/progress_run.h"

#include <windows.h>
#include <process.h>

#include "app/app_state.h"
#include "app/host.h"
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
    state.result = static_cast<uint8_t>(BufferWriteFailed);
  }
  state.done.store(1, std::memory_order_release);
  return 0;
}

}  // namespace

uint8_t RunTransferWithProgress(TransferResult (*transfer)()) {
  UpdateState& state = AppState();
  state.done.store(0, std::memory_order_relaxed);

  HANDLE start = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!start || !ready) {
    // Without the events the threads cannot be ordered: transfer here,
    // without the dialog.
    if (start) CloseHandle(start);
    if (ready) CloseHandle(ready);
    state.result = static_cast<uint8_t>(transfer());
    return state.result;
  }

  CProgressDlg* dialog = new CProgressDlg();
  CWinThread* progress = AfxBeginThread(RUNTIME_CLASS(CSCThread), dialog, ready);
  WorkerContext* context = new WorkerContext{transfer, start};
  HANDLE worker = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &WorkerThread, context, 0, nullptr));

  // The dialog's window was made (or not) before the event: only a window
  // that exists is handed to the transfer, before the worker starts.
  bool shown = progress && WaitUntilReady(ready, progress->m_hThread, kThreadReadyWaitMs) && dialog->m_hWnd;
  if (shown) state.progress_sink = dialog;

  if (worker) {
    SetEvent(start);
    int toggle = 0;
    while (state.done.load(std::memory_order_acquire) == 0) {
      if (toggle == 0) {
        if (shown) dialog->ShowWarning(4, kWarningText);
        toggle = 1;
        Host().sleep_ms(kWarningShownMs);
      } else {
        if (shown) dialog->ShowWarning(3, kWarningText);
        toggle = 0;
        Host().sleep_ms(kWarningHiddenMs);
      }
    }
  } else {
    // No worker: the transfer runs here while the progress thread keeps the
    // dialog alive; the warning stays on.
    if (shown) dialog->ShowWarning(4, kWarningText);
    state.result = static_cast<uint8_t>(transfer());
  }

  // The transfer is over: take the dialog out of it before the window goes,
  // then end the progress thread (its loop destroys the window) and join.
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
