#include "ui/winthread.h"

#include <process.h>

CWinThread::~CWinThread() {
  if (!StopAndJoin(5000)) {
    // Still running: the handle is closed, the thread keeps its own memory.
  }
  if (m_hThread) CloseHandle(m_hThread);
}

int CWinThread::Run() {
  MSG msg;
  for (;;) {
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    if (m_pMainWnd && IsWindow(m_pMainWnd) && IsDialogMessageA(m_pMainWnd, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return ExitInstance();
}

unsigned __stdcall CWinThread::ThreadEntry(void* param) {
  CWinThread* self = static_cast<CWinThread*>(param);
  // Make the message queue before anything else, so WM_QUIT can be posted.
  MSG msg;
  PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  if (!self->InitInstance()) return static_cast<unsigned>(self->ExitInstance());
  return static_cast<unsigned>(self->Run());
}

BOOL CWinThread::CreateThread(DWORD flags, UINT stack_size) {
  if (m_hThread) return FALSE;
  unsigned id = 0;
  uintptr_t h = _beginthreadex(nullptr, stack_size, &CWinThread::ThreadEntry, this, flags & ~CREATE_SUSPENDED, &id);
  if (!h) return FALSE;
  m_hThread = reinterpret_cast<HANDLE>(h);
  m_nThreadID = id;
  return TRUE;
}

bool CWinThread::IsRunning() const {
  return m_hThread && WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

bool CWinThread::StopAndJoin(DWORD timeout_ms) {
  if (!m_hThread) return true;
  DWORD start = GetTickCount();
  // The post fails until the thread has made its queue; it then ends at
  // its next GetMessage (or has already ended on its own).
  while (!PostThreadMessageA(m_nThreadID, WM_QUIT, 0, 0)) {
    if (WaitForSingleObject(m_hThread, 5) == WAIT_OBJECT_0) break;
    if (GetTickCount() - start >= timeout_ms) return false;
  }
  DWORD spent = GetTickCount() - start;
  DWORD left = spent < timeout_ms ? timeout_ms - spent : 0;
  if (WaitForSingleObject(m_hThread, left) != WAIT_OBJECT_0) return false;
  CloseHandle(m_hThread);
  m_hThread = nullptr;
  return true;
}

CWinThread* AfxBeginThread(const CRuntimeClass* cls, void* params, HANDLE ready_event, int priority,
                           UINT stack_size, DWORD flags) {
  if (!cls) return nullptr;
  CWinThread* thread = cls->CreateObject();
  if (!thread) return nullptr;
  thread->m_pThreadParams = params;
  thread->m_hReadyEvent = ready_event;
  if (!thread->CreateThread(flags, stack_size)) {
    delete thread;
    return nullptr;
  }
  SetThreadPriority(thread->m_hThread, priority);
  return thread;
}

bool WaitUntilReady(HANDLE ready_event, HANDLE thread, DWORD timeout_ms) {
  if (!ready_event) return false;
  HANDLE both[2] = {ready_event, thread};
  DWORD r = WaitForMultipleObjects(thread ? 2 : 1, both, FALSE, timeout_ms);
  return r == WAIT_OBJECT_0;
}
