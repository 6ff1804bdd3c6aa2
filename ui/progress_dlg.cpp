#include "ui/progress_dlg.h"

#include <commctrl.h>

#include "res/resource.h"

CProgressDlg::CProgressDlg() : CDialog(IDD_PROGRESS) { m_hBlackBrush = CreateSolidBrush(RGB(0, 0, 0)); }

CProgressDlg::~CProgressDlg() {
  if (m_hBlackBrush) DeleteObject(m_hBlackBrush);
}

BOOL CProgressDlg::Create(HWND parent) {
  // The classic common controls library registers its classes once it is
  // loaded; this call is what makes the program load it.
  InitCommonControls();
  return CDialog::Create(parent);
}

BOOL CProgressDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_hStatusLine = GetDlgItem(IDC_STATUS_LINE);
  m_hProgressBar = GetDlgItem(IDC_PROGRESS_BAR);
  int total = AppState().progress_total;
  if (m_hProgressBar)
    SendMessageA(m_hProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, static_cast<WORD>(total)));
  return TRUE;
}

void CProgressDlg::OnWindowDestroyed() {
  m_hStatusLine = nullptr;
  m_hProgressBar = nullptr;
}

void CProgressDlg::SetStatus(const char* text) {
  HWND line = m_hStatusLine;
  if (line) SendMessageA(line, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : ""));
}

void CProgressDlg::SetPosition(int position) {
  HWND bar = m_hProgressBar;
  if (bar) SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CProgressDlg::ShowWarning(int highlight_state, const char* text) {
  m_nHighlight.store(highlight_state);
  HWND line = GetDlgItem(IDC_WARNING_LINE);
  if (line) SendMessageA(line, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : ""));
}

COLORREF CProgressDlg::HighlightColour(int state) {
  switch (state) {
    case 2:
      return RGB(255, 170, 170);
    case 3:
      return RGB(0, 0, 0);  // black on black: hidden
    case 4:
      return RGB(255, 120, 120);
    default:
      return RGB(190, 190, 255);
  }
}

HBRUSH CProgressDlg::OnCtlColor(HDC dc, HWND control, int control_id, UINT message) {
  if (control_id != IDC_WARNING_LINE) return nullptr;
  SetBkColor(dc, RGB(0, 0, 0));
  SetTextColor(dc, HighlightColour(m_nHighlight.load()));
  return m_hBlackBrush;
}

bool CProgressDlg::OnPaint() {
  PAINTSTRUCT ps;
  BeginPaint(m_hWnd, &ps);
  EndPaint(m_hWnd, &ps);
  return true;
}
