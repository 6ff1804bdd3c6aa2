#include "ui/message_dlg.h"

#include "res/resource.h"

static_assert(static_cast<int>(MessageIcon::Program) == IDI_FW_PROGRAM, "icon resource ID");
static_assert(static_cast<int>(MessageIcon::Warning) == IDI_FW_WARNING, "icon resource ID");
static_assert(static_cast<int>(MessageIcon::Error) == IDI_FW_ERROR, "icon resource ID");
static_assert(static_cast<int>(MessageIcon::Finish) == IDI_FW_FINISH, "icon resource ID");

CMessageDlg::CMessageDlg() : CDialog(IDD_MESSAGE) {}

CMessageDlg::~CMessageDlg() = default;

const char* CMessageDlg::CaptionFor(MessageKind kind, MessageIcon icon) {
  if (icon == MessageIcon::Program) return "VER";
  if (kind == MessageKind::Error) return "ERROR";
  if (kind == MessageKind::Version) return "Version";
  return "FINISH  UPDATE";
}

COLORREF CMessageDlg::TextColourFor(MessageKind kind) {
  switch (kind) {
    case MessageKind::Error:
      return RGB(255, 170, 170);
    case MessageKind::Version:
      return RGB(0, 170, 170);
    default:
      return RGB(190, 190, 255);
  }
}

BOOL CMessageDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  if (m_nIcon == MessageIcon::Finish) MakeFinishForm();
  SetWindowText(CaptionFor(m_nKind, m_nIcon));
  SetDlgItemText(IDC_MESSAGE_TEXT, m_strText.c_str());
  const int icon = static_cast<int>(m_nIcon);
  HICON big = LoadResourceIcon(icon, GetSystemMetrics(SM_CXICON));
  HICON small = LoadResourceIcon(icon, GetSystemMetrics(SM_CXSMICON));
  SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small ? small : big));
  // The template is top-most already; keep it so when shown from a thread
  // whose other windows are in front.
  SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  return TRUE;
}

void CMessageDlg::MakeFinishForm() {
  HWND yes = GetDlgItem(IDOK);
  HWND no = GetDlgItem(IDCANCEL);
  if (!yes || !no) return;
  ShowWindow(no, SW_SHOW);
  RECT client, r_yes, r_no;
  GetClientRect(m_hWnd, &client);
  GetWindowRect(yes, &r_yes);
  GetWindowRect(no, &r_no);
  MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&r_yes), 2);
  MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&r_no), 2);
  // "NO" from 10 pixels in to 90 pixels short of its old right edge; "YES"
  // from 90 pixels left of its old left edge to 10 pixels from the right.
  int no_right = r_no.right - 90;
  MoveWindow(no, 10, r_no.top, no_right - 10, r_no.bottom - r_no.top, TRUE);
  int yes_left = r_yes.left - 90;
  MoveWindow(yes, yes_left, r_yes.top, client.right - 10 - yes_left, r_yes.bottom - r_yes.top, TRUE);
  ::SetWindowTextA(no, "NO, I will restart my computer later.");
  ::SetWindowTextA(yes, "YES, Reboot now.");
}

HBRUSH CMessageDlg::OnCtlColor(HDC dc, HWND control, int control_id, UINT message) {
  if (control_id != IDC_MESSAGE_TEXT) return nullptr;
  HBRUSH brush = DefaultCtlColor(dc, control, message);
  SetTextColor(dc, TextColourFor(m_nKind));
  return brush;
}
