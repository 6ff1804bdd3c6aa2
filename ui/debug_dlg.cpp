#include "ui/debug_dlg.h"

#include <richedit.h>

#include <string>

#include "res/resource.h"
#include "ui/winapp.h"

namespace {
constexpr UINT kAppendMessage = WM_APP + 1;
constexpr UINT_PTR kRepaintTimer = 1;
}  // namespace

const MessageMapEntry<CDebugDlg> CDebugDlg::kMessageMap[] = {
    {WM_SIZE, 0, 0, &CDebugDlg::OnSize},
    {WM_TIMER, 0, 0, &CDebugDlg::OnTimer},
    {kAppendMessage, 0, 0, &CDebugDlg::OnAppendText},
    {0, 0, 0, nullptr},
};

CDebugDlg::CDebugDlg() : CDialog(IDD_DEBUG) {}

CDebugDlg::~CDebugDlg() = default;

BOOL CDebugDlg::Create(HWND parent) {
  AfxInitRichEdit();
  return CDialog::Create(parent);
}

bool CDebugDlg::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  return DispatchMessageMap(this, kMessageMap, message, wparam, lparam, result);
}

BOOL CDebugDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_hTraceField = GetDlgItem(IDC_TRACE_FIELD);
  // The rich edit control stops taking text at 32 767 characters unless told
  // otherwise; a whole update traces about 6 000 lines.
  if (m_hTraceField) SendMessageA(m_hTraceField, EM_EXLIMITTEXT, 0, kTraceTextLimit);
  SetWindowPos(m_hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetTimer(m_hWnd, kRepaintTimer, kRepaintMs, nullptr);
  return TRUE;
}

void CDebugDlg::OnWindowDestroyed() {
  m_hTraceField = nullptr;
  m_bRedrawHeld = false;
  m_bDirty = false;
}

void CDebugDlg::Append(const char* text, size_t length) {
  HWND window = m_hWnd;
  if (!window || !text) return;
  std::string copy(text, length);  // the control wants a terminated string
  SendMessageA(window, kAppendMessage, 0, reinterpret_cast<LPARAM>(copy.c_str()));
}

LRESULT CDebugDlg::OnAppendText(WPARAM, LPARAM lparam) {
  if (!m_hTraceField) return 0;
  if (!m_bRedrawHeld) {
    SendMessageA(m_hTraceField, WM_SETREDRAW, FALSE, 0);
    m_bRedrawHeld = true;
  }
  CHARRANGE end = {-1, -1};
  SendMessageA(m_hTraceField, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
  SendMessageA(m_hTraceField, EM_REPLACESEL, FALSE, lparam);
  m_bDirty = true;
  m_nAppends.fetch_add(1);
  // The timer comes only when nothing else waits for this thread; lines
  // that arrive without a pause would keep it away for the whole transfer.
  // So they are also shown from here, at the timer's pace.
  if (GetTickCount() - m_nLastShown >= kRepaintMs) ShowArrivedLines();
  return 0;
}

LRESULT CDebugDlg::OnTimer(WPARAM id, LPARAM) {
  if (id != kRepaintTimer || !m_bDirty || !m_hTraceField) return 0;
  ShowArrivedLines();
  return 0;
}

void CDebugDlg::ShowArrivedLines() {
  m_bDirty = false;
  m_nLastShown = GetTickCount();
  // Show what arrived: redraw back on (until the next line), caret in view.
  SendMessageA(m_hTraceField, WM_SETREDRAW, TRUE, 0);
  m_bRedrawHeld = false;
  SendMessageA(m_hTraceField, EM_SCROLLCARET, 0, 0);
  // Painted now, the scroll bars too (they are part of the frame): a paint
  // message, like the timer, would wait for a pause in the lines.
  RedrawWindow(m_hTraceField, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
  m_nRepaints.fetch_add(1);
}

LRESULT CDebugDlg::OnSize(WPARAM, LPARAM lparam) {
  if (m_hTraceField) MoveWindow(m_hTraceField, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
  return 0;
}
