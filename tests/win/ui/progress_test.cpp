// The progress dialog and the progress run with fake transfers.
#include "tests/win/ui/ui_support.h"

#include <commctrl.h>

#include <atomic>
#include <vector>

#include "res/resource.h"
#include "ui/progress_dlg.h"
#include "ui/progress_run.h"

namespace {

class ProgressDialogTest : public UiTest {
 protected:
  void TearDown() override {
    dlg_.DestroyWindow();
    UiTest::TearDown();
  }
  CProgressDlg dlg_;
};

TEST_F(ProgressDialogTest, SinkWritesStatusAndPositionWithinTheRange) {
  state_.progress_total = 120;
  ASSERT_TRUE(dlg_.Create());
  HWND bar = dlg_.GetDlgItem(IDC_PROGRESS_BAR);
  EXPECT_EQ(dlg_.ProgressBar(), bar);
  EXPECT_EQ(dlg_.StatusLine(), dlg_.GetDlgItem(IDC_STATUS_LINE));
  EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 120);
  EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, TRUE, 0), 0);
  EXPECT_EQ(dlg_.GetDlgItemText(IDC_STATUS_LINE), "Ready to update. . .");
  EXPECT_EQ(dlg_.GetWindowText(), "") << "no caption";
  EXPECT_FALSE(GetWindowLongA(dlg_.m_hWnd, GWL_STYLE) & WS_CAPTION);

  ProgressSink& sink = dlg_;
  sink.SetStatus("Writing buffer");
  sink.SetPosition(37);
  EXPECT_EQ(dlg_.GetDlgItemText(IDC_STATUS_LINE), "Writing buffer");
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 37);
  sink.SetStatus("Verifying");
  EXPECT_EQ(dlg_.GetDlgItemText(IDC_STATUS_LINE), "Verifying") << "each call replaces the whole line";

  // Once the window is gone the references are empty and writes go nowhere.
  dlg_.DestroyWindow();
  EXPECT_EQ(dlg_.StatusLine(), nullptr);
  EXPECT_EQ(dlg_.ProgressBar(), nullptr);
  sink.SetStatus("after");
  sink.SetPosition(5);
}

TEST_F(ProgressDialogTest, WarningLineColourFollowsTheHighlightState) {
  ASSERT_TRUE(dlg_.Create());
  HWND line = dlg_.GetDlgItem(IDC_WARNING_LINE);
  struct Case {
    int state;
    COLORREF text;
  } cases[] = {{1, RGB(190, 190, 255)}, {2, RGB(255, 170, 170)}, {3, RGB(0, 0, 0)},
               {4, RGB(255, 120, 120)}, {0, RGB(190, 190, 255)}, {9, RGB(190, 190, 255)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    dlg_.ShowWarning(c.state, kWarningText);
    EXPECT_EQ(dlg_.GetDlgItemText(IDC_WARNING_LINE), kWarningText);
    ControlColours got = AskColours(dlg_.m_hWnd, line, WM_CTLCOLORSTATIC);
    EXPECT_EQ(got.text, c.text);
    EXPECT_EQ(got.background, RGB(0, 0, 0));
    EXPECT_EQ(got.brush, dlg_.BlackBrush());
    EXPECT_EQ(BrushColour(got.brush), RGB(0, 0, 0));
  }
  // The status line keeps the default colours whatever the state.
  HWND status = dlg_.GetDlgItem(IDC_STATUS_LINE);
  ControlColours got = AskColours(dlg_.m_hWnd, status, WM_CTLCOLORSTATIC);
  ControlColours def = DefaultColours(dlg_.m_hWnd, status, WM_CTLCOLORSTATIC);
  EXPECT_EQ(got.text, def.text);
  EXPECT_EQ(got.brush, def.brush);
}

// --- The progress run ------------------------------------------------------

struct Pause {
  uint32_t ms;
  int highlight;
};
std::vector<Pause> g_pauses;
std::atomic<int> g_pauses_wanted{0};
HANDLE g_enough_pauses = nullptr;  // set once g_pauses_wanted pauses were made
HWND g_progress_window = nullptr;
std::string g_status_seen;
TransferResult g_result = TransferOk;

CProgressDlg* PublishedDialog() { return dynamic_cast<CProgressDlg*>(AppState().progress_sink); }

void RecordPause(uint32_t ms) {
  CProgressDlg* dlg = PublishedDialog();
  g_pauses.push_back({ms, dlg ? dlg->HighlightState() : -1});
  if (dlg) g_progress_window = dlg->m_hWnd;
  if (static_cast<int>(g_pauses.size()) >= g_pauses_wanted.load()) SetEvent(g_enough_pauses);
  Sleep(1);
}

std::string g_warning_at_start;
bool g_visible_at_start = false;

// Runs on the worker: waits until the main thread has paused often enough.
TransferResult FakeTransfer() {
  ProgressSink* sink = AppState().progress_sink;
  if (sink) {
    sink->SetStatus("Writing buffer");
    sink->SetPosition(60);
    CProgressDlg* dlg = PublishedDialog();
    g_status_seen = dlg ? dlg->GetDlgItemText(IDC_STATUS_LINE) : "";
    g_warning_at_start = dlg ? dlg->GetDlgItemText(IDC_WARNING_LINE) : "";
    g_visible_at_start = dlg && IsWindowVisible(dlg->m_hWnd);
  }
  WaitForSingleObject(g_enough_pauses, 10000);
  return g_result;
}

TransferResult InstantTransfer() { return g_result; }

class ProgressRunTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    g_pauses.clear();
    g_progress_window = nullptr;
    g_status_seen.clear();
    g_result = TransferOk;
    g_enough_pauses = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Host().sleep_ms = RecordPause;
  }
  void TearDown() override {
    CloseHandle(g_enough_pauses);
    UiTest::TearDown();
  }
};

TEST_F(ProgressRunTest, QuickTransferShowsTheWarningOnceAndLeavesNoWindow) {
  g_pauses_wanted = 1;
  EXPECT_EQ(RunTransferWithProgress(FakeTransfer), TransferOk);
  ASSERT_GE(g_pauses.size(), 1u);
  EXPECT_EQ(g_pauses[0].ms, 1000u);
  EXPECT_EQ(g_pauses[0].highlight, 4) << "starts visible";
  EXPECT_EQ(g_status_seen, "Writing buffer") << "the transfer writes through the published dialog";
  EXPECT_EQ(g_warning_at_start, kWarningText) << "the warning is up before the first command";
  EXPECT_TRUE(g_visible_at_start);
  ASSERT_NE(g_progress_window, nullptr);
  EXPECT_FALSE(IsWindow(g_progress_window)) << "no progress window remains";
  EXPECT_EQ(state_.progress_sink, nullptr) << "sink taken back";
  EXPECT_EQ(state_.done.load(), 1);
}

TEST_F(ProgressRunTest, LongTransferAlternatesShownAndHiddenWarning) {
  g_pauses_wanted = 5;
  g_result = FlashFailed;
  EXPECT_EQ(RunTransferWithProgress(FakeTransfer), FlashFailed);
  EXPECT_EQ(state_.result, FlashFailed);
  ASSERT_GE(g_pauses.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(g_pauses[i].ms, i % 2 == 0 ? 1000u : 500u);
    EXPECT_EQ(g_pauses[i].highlight, i % 2 == 0 ? 4 : 3);
  }
  EXPECT_FALSE(IsWindow(g_progress_window));
}

TEST_F(ProgressRunTest, RunsAgainAfterAnEarlierRunAndHandsOverEveryResult) {
  for (TransferResult r : {CompareMismatch, BufferReadFailed, ChunkNotWordAligned, TransferOk}) {
    SCOPED_TRACE(static_cast<int>(r));
    g_result = r;
    EXPECT_EQ(RunTransferWithProgress(InstantTransfer), r);
    EXPECT_EQ(state_.progress_sink, nullptr);
  }
}

}  // namespace
