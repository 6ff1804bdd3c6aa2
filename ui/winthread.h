// CWinThread: a user-interface thread with its own message loop, created
// from its class's runtime record, ended in an orderly way (WM_QUIT + join).
#pragma once
#include <windows.h>

#include <new>

class CWinThread;

// The runtime record of a thread class: its name and a factory.
struct CRuntimeClass {
  const char* m_lpszClassName;
  CWinThread* (*m_pfnCreateObject)();
  CWinThread* CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }
};

// In the class body: DECLARE_DYNCREATE(CMyThread). In one .cpp file:
// IMPLEMENT_DYNCREATE(CMyThread).
#define DECLARE_DYNCREATE(cls)                                 \
 public:                                                       \
  static const CRuntimeClass class##cls;                       \
  static CWinThread* CreateObject();                           \
  const CRuntimeClass* GetRuntimeClass() const override;

#define IMPLEMENT_DYNCREATE(cls)                                           \
  const CRuntimeClass cls::class##cls = {#cls, &cls::CreateObject};        \
  CWinThread* cls::CreateObject() { return new (std::nothrow) cls; }      \
  const CRuntimeClass* cls::GetRuntimeClass() const { return &cls::class##cls; }

#define RUNTIME_CLASS(cls) (&cls::class##cls)

class CWinThread {
 public:
  CWinThread() = default;
  // A thread still running is stopped first (see StopAndJoin). Classes
  // whose thread uses their own members must stop it in their destructor.
  virtual ~CWinThread();
  CWinThread(const CWinThread&) = delete;
  CWinThread& operator=(const CWinThread&) = delete;

  virtual const CRuntimeClass* GetRuntimeClass() const { return nullptr; }
  // On the new thread: TRUE runs the message loop, FALSE ends the thread.
  virtual BOOL InitInstance() { return FALSE; }
  // On the thread, after the loop (or after a failed InitInstance): the exit code.
  virtual int ExitInstance() { return 0; }
  // The message loop; dialog keys go to m_pMainWnd.
  virtual int Run();

  // Starts the thread (flags as for CreateThread; CREATE_SUSPENDED is not used).
  BOOL CreateThread(DWORD flags = 0, UINT stack_size = 0);
  // Posts WM_QUIT to the thread's loop and waits up to timeout_ms for the
  // thread to end. true when it has ended (or never ran); false when it is
  // still running - then nothing it uses may be freed.
  bool StopAndJoin(DWORD timeout_ms);
  bool IsRunning() const;

  HANDLE m_hThread = nullptr;
  DWORD m_nThreadID = 0;
  // The thread's window whose dialog keys the loop translates.
  HWND m_pMainWnd = nullptr;
  // Handed in before the start: an event the thread signals once it is ready.
  HANDLE m_hReadyEvent = nullptr;
  // Handed in before the start: whatever the class needs.
  void* m_pThreadParams = nullptr;

 private:
  static unsigned __stdcall ThreadEntry(void* self);
};

// Creates a thread object from its runtime class, hands it the parameters
// and starts it. nullptr (and no object left) when it could not be started.
CWinThread* AfxBeginThread(const CRuntimeClass* cls, void* params = nullptr, HANDLE ready_event = nullptr,
                           int priority = THREAD_PRIORITY_NORMAL, UINT stack_size = 0, DWORD flags = 0);

// Waits for a thread's ready event; returns early when the thread ends
// without signalling. true when the event was signalled.
bool WaitUntilReady(HANDLE ready_event, HANDLE thread, DWORD timeout_ms);
