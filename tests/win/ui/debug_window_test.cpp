// The debug window thread: window, binding of the command trace, resizing,
// Escape, the cost of an appended line, and the orderly end.
#include <richedit.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "res/resource.h"
#include "scsi/trace.h"
#include "tests/win/ui/ui_support.h"
#include "ui/debug_dlg.h"
#include "ui/threads.h"

namespace {

class DebugWindowTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    thread_ = StartDebugWindowThread();
    ASSERT_NE(thread_, nullptr);
    window_ = thread_->DebugDialog()->m_hWnd;
    field_ = thread_->DebugDialog()->TraceField();
    ASSERT_NE(window_, nullptr);
    ASSERT_NE(field_, nullptr);
  }
  void TearDown() override {
    EndDebugWindowThread(thread_);
    UiTest::TearDown();
  }
  std::string FieldText() {
    int n = static_cast<int>(SendMessageA(field_, WM_GETTEXTLENGTH, 0, 0));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    SendMessageA(field_, WM_GETTEXT, n + 1, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(strlen(text.c_str()));
    return text;
  }

  CMyThread* thread_ = nullptr;
  HWND window_ = nullptr;
  HWND field_ = nullptr;
};

TEST_F(DebugWindowTest, WindowIsBoundToTheTraceBeforeTheStartReturns) {
  EXPECT_EQ(state_.trace_sink, thread_->Trace());
  EXPECT_EQ(WindowText(window_), "Debug Window");
  LONG style = GetWindowLongA(window_, GWL_STYLE), ex = GetWindowLongA(window_, GWL_EXSTYLE);
  EXPECT_TRUE(style & WS_THICKFRAME);
  EXPECT_FALSE(style & WS_SYSMENU) << "no close box";
  EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);
  char cls[32] = {};
  GetClassNameA(field_, cls, sizeof cls);
  EXPECT_STREQ(cls, "RICHEDIT");
  EXPECT_TRUE(GetWindowLongA(field_, GWL_STYLE) & ES_READONLY);
  EXPECT_EQ(GetWindowThreadProcessId(window_, nullptr), thread_->m_nThreadID) << "served by its own thread";
  // A whole update's trace (about 6 000 lines) fits: rich edit 1.0 stops at
  // 32 767 characters unless the limit is raised.
  EXPECT_GE(static_cast<size_t>(SendMessageA(field_, EM_GETLIMITTEXT, 0, 0)), size_t{1} << 20);

  // Lines written now reach the field in order, each closed by "\r\n".
  const uint8_t cdb[2] = {0x12, 0x00};
  thread_->Trace()->WriteLine("Command       : ", cdb, 2, false);
  thread_->Trace()->WriteEmptyLine();
  const uint8_t status = 0x01;
  thread_->Trace()->WriteLine("ASPI Status   : ", &status, 1, false);
  std::string text = FieldText();
  // Rich edit 1.0 keeps the paragraph break as "\r\n".
  EXPECT_NE(text.find("Command       :       12 00 "), std::string::npos) << text;
  EXPECT_LT(text.find("Command"), text.find("ASPI Status"));
  EXPECT_NE(text.find("ASPI Status   :       01 "), std::string::npos) << text;
}

TEST_F(DebugWindowTest, ResizingMakesTheFieldFillTheClientArea) {
  for (SIZE size : {SIZE{600, 300}, SIZE{250, 120}}) {
    SetWindowPos(window_, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
    RECT client, field;
    GetClientRect(window_, &client);
    GetWindowRect(field_, &field);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&field), 2);
    EXPECT_EQ(field.left, 0);
    EXPECT_EQ(field.top, 0);
    EXPECT_EQ(field.right, client.right);
    EXPECT_EQ(field.bottom, client.bottom);
  }
}

TEST_F(DebugWindowTest, EscapeAndCancelLeaveTheWindowOpen) {
  PostMessageA(field_, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageA(window_, WM_KEYDOWN, VK_ESCAPE, 0);
  SendMessageA(window_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  SendMessageA(window_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  SendMessageA(window_, WM_CLOSE, 0, 0);
  Sleep(100);
  EXPECT_TRUE(IsWindow(window_));
  EXPECT_TRUE(IsWindowVisible(window_));
}

TEST_F(DebugWindowTest, AnAppendedLineIsCheapAndShownByTheTimer) {
  const uint8_t bytes[16] = {0x41, 0x42, 0x7E, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  constexpr int kLines = 300;
  long repaints_before = thread_->DebugDialog()->RepaintCount();
  LARGE_INTEGER f, t0, t1;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t0);
  for (int i = 0; i < kLines; ++i) thread_->Trace()->WriteLine("DataBuf       : ", bytes, 16, true);
  QueryPerformanceCounter(&t1);
  double ms_per_line = 1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / f.QuadPart / kLines;
  RecordProperty("ms_per_line", std::to_string(ms_per_line));
  printf("[ measure  ] trace append: %.3f ms per line (%d lines)\n", ms_per_line, kLines);
  EXPECT_LE(ms_per_line, 3.0);
  EXPECT_EQ(thread_->DebugDialog()->AppendCount(), 2L * kLines) << "line text, then \"\\r\\n\"";

  // Within 250 ms the timer has shown what arrived.
  Sleep(250);
  EXPECT_GT(thread_->DebugDialog()->RepaintCount(), repaints_before);
  std::string text = FieldText();
  size_t lines = 0;
  for (size_t p = text.find("DataBuf"); p != std::string::npos; p = text.find("DataBuf", p + 1)) ++lines;
  EXPECT_EQ(lines, static_cast<size_t>(kLines));
}

// A hash of what the screen shows of a window.
uint64_t ScreenHash(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  uint64_t hash = 1469598103934665603ull;
  if (bitmap && bits) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const uint32_t* p = static_cast<const uint32_t*>(bits);
    for (int i = 0; i < w * h; ++i) hash = (hash ^ (p[i] & 0xFFFFFF)) * 1099511628211ull;
    SelectObject(memory, old);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return hash;
}

// A transfer traces line after line without a pause, which keeps the timer
// and paint messages from coming; the screen must show new lines anyway.
TEST_F(DebugWindowTest, LinesArrivingWithoutAPauseAreStillShownEveryQuarterSecond) {
  const uint8_t bytes[16] = {0x33, 0x6C, 0xF1, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (int i = 0; i < 50; ++i) thread_->Trace()->WriteLine("DataBuf       : ", bytes, 16, true);
  Sleep(300);  // shown by the timer: the field's scroll bars are there
  const DWORD start = GetTickCount();
  uint64_t shown = ScreenHash(field_);
  DWORD last_change = start, longest = 0;
  int changes = 0;
  for (int line = 0; GetTickCount() - start < 1500; ++line) {
    char label[17];
    snprintf(label, sizeof label, "Line %-10d: ", line);
    thread_->Trace()->WriteLine(label, bytes, 16, true);
    if (line % 8 == 0) {
      const uint64_t now_shown = ScreenHash(field_);
      if (now_shown != shown) {
        const DWORD now = GetTickCount();
        longest = std::max(longest, now - last_change);
        last_change = now;
        shown = now_shown;
        ++changes;
      }
    }
  }
  longest = std::max(longest, GetTickCount() - last_change);
  EXPECT_GE(changes, 5);
  EXPECT_LE(longest, 250u) << changes << " changes on screen";
}

TEST_F(DebugWindowTest, DeletingTheThreadUnbindsTheSinkAndEndsWindowAndThread) {
  HANDLE handle = nullptr;
  DuplicateHandle(GetCurrentProcess(), thread_->m_hThread, GetCurrentProcess(), &handle, SYNCHRONIZE, FALSE, 0);
  EndDebugWindowThread(thread_);
  thread_ = nullptr;
  EXPECT_EQ(state_.trace_sink, nullptr);
  EXPECT_FALSE(IsWindow(window_));
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0) << "joined, not left running";
  CloseHandle(handle);
}

TEST(DebugDialog, AppendWithoutAWindowDoesNothing) {
  CDebugDlg dlg;
  dlg.Append("line", 4);
  EXPECT_EQ(dlg.AppendCount(), 0);
}

}  // namespace
