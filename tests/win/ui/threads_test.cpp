// User-interface threads: creation from the runtime class, the orderly stop,
// and the runs whose windows cannot be created.
#include <atomic>

#include "tests/win/ui/ui_support.h"
#include "scsi/trace.h"
#include "ui/debug_dlg.h"
#include "ui/progress_run.h"
#include "ui/threads.h"
#include "ui/winapp.h"

namespace {

std::atomic<int> g_inits{0}, g_exits{0};
std::atomic<DWORD> g_exit_thread{0};

class CCountingThread : public CWinThread {
  DECLARE_DYNCREATE(CCountingThread)

 public:
  BOOL InitInstance() override {
    ++g_inits;
    if (m_hReadyEvent) SetEvent(m_hReadyEvent);
    return m_pThreadParams == nullptr;  // a parameter makes the start fail
  }
  int ExitInstance() override {
    ++g_exits;
    g_exit_thread = GetCurrentThreadId();
    return 7;
  }
};
IMPLEMENT_DYNCREATE(CCountingThread)

TEST(WinThread, RuntimeClassesCarryTheirNamesAndMakeTheirObjects) {
  EXPECT_STREQ(RUNTIME_CLASS(CMyThread)->m_lpszClassName, "CMyThread");
  EXPECT_STREQ(RUNTIME_CLASS(CSCThread)->m_lpszClassName, "CSCThread");
  CWinThread* t = RUNTIME_CLASS(CSCThread)->CreateObject();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->GetRuntimeClass(), RUNTIME_CLASS(CSCThread));
  EXPECT_TRUE(t->StopAndJoin(0)) << "never started: nothing to stop";
  delete t;
}

TEST(WinThread, StopPostsQuitAndJoinsEvenRightAfterTheStart) {
  for (int i = 0; i < 20; ++i) {
    g_inits = g_exits = 0;
    CWinThread* t = AfxBeginThread(RUNTIME_CLASS(CCountingThread));
    ASSERT_NE(t, nullptr);
    DWORD id = t->m_nThreadID;
    HANDLE h = nullptr;
    DuplicateHandle(GetCurrentProcess(), t->m_hThread, GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS);
    ASSERT_TRUE(t->StopAndJoin(5000));
    EXPECT_EQ(t->m_hThread, nullptr);
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 7u) << "the loop ended through ExitInstance";
    EXPECT_EQ(g_exits.load(), 1);
    EXPECT_EQ(g_exit_thread.load(), id) << "ExitInstance runs on the thread itself";
    CloseHandle(h);
    delete t;
  }
}

TEST(WinThread, AFailedStartEndsTheThreadAndStillSignals) {
  g_inits = g_exits = 0;
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  int dummy = 0;
  CWinThread* t = AfxBeginThread(RUNTIME_CLASS(CCountingThread), &dummy, ready);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(WaitUntilReady(ready, t->m_hThread, 5000));
  EXPECT_EQ(WaitForSingleObject(t->m_hThread, 5000), WAIT_OBJECT_0) << "no loop after a failed start";
  EXPECT_EQ(g_exits.load(), 1);
  EXPECT_TRUE(t->StopAndJoin(1000));
  delete t;
  CloseHandle(ready);
}

// Without the program's templates no window can be made.
class NoTemplatesTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    AfxSetResourceHandle(GetModuleHandleA(nullptr));
  }
};

ProgressSink* g_sink_seen = reinterpret_cast<ProgressSink*>(1);
TransferResult SeeTheSink() {
  g_sink_seen = AppState().progress_sink;
  return BufferReadFailed;
}
void NoPause(uint32_t) { Sleep(1); }

// Without its window the power warning cannot be shown: the transfer never
// starts, so no buffer command reaches the drive.
TEST_F(NoTemplatesTest, ProgressRunWithoutItsWindowDoesNotStartTheTransfer) {
  Host().sleep_ms = NoPause;
  g_sink_seen = reinterpret_cast<ProgressSink*>(1);
  EXPECT_EQ(RunTransferWithProgress(SeeTheSink), TransferNotStarted);
  EXPECT_EQ(g_sink_seen, reinterpret_cast<ProgressSink*>(1)) << "the transfer ran";
  EXPECT_EQ(state_.progress_sink, nullptr);
  EXPECT_EQ(state_.result, TransferNotStarted);
}

TEST_F(NoTemplatesTest, DebugWindowThreadWithoutItsWindowLeavesNoSinkBound) {
  CMyThread* t = StartDebugWindowThread();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->DebugDialog()->m_hWnd, nullptr);
  EXPECT_EQ(t->DebugDialog()->TraceField(), nullptr);
  // The sink is there but bound to nothing: a line goes nowhere.
  const uint8_t b = 1;
  state_.trace_sink->WriteLine("ASPI Status   : ", &b, 1, false);
  EXPECT_EQ(t->DebugDialog()->AppendCount(), 0);
  EndDebugWindowThread(t);
  EXPECT_EQ(state_.trace_sink, nullptr);
}

}  // namespace
