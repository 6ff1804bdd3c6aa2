#include "ui/update_dlg.h"

#include <cstdio>

#include "base/host.h"
#include "drive/identify.h"
#include "res/resource.h"
#include "ui/winapp.h"

namespace {
bool g_varne_registered = false;

// A fixed-width field copied into a terminated string (records are already
// terminated; this guards against one that is not).
template <size_t N>
std::string Field(const char (&text)[N]) {
  size_t n = 0;
  while (n < N && text[n]) ++n;
  return std::string(text, n);
}

// Shows the accept step's refusal or asks its question: true on Yes.
bool Answer(const AcceptVerdict& verdict) {
  switch (verdict.outcome) {
    case AcceptOutcome::Refused:
      if (Host().message_box) Host().message_box(verdict.text.c_str());
      return false;
    case AcceptOutcome::Ask:
      return Host().ask_yes_no && Host().ask_yes_no(verdict.text.c_str(), verdict.caption.c_str());
    case AcceptOutcome::NotAccepted:
      break;
  }
  return false;
}
}  // namespace

bool RegisterVarneClass() {
  if (g_varne_registered) return true;
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof(wc);
  // The class the dialog would otherwise be created with.
  if (!GetClassInfoExA(nullptr, MAKEINTRESOURCEA(32770), &wc)) return false;
  wc.cbSize = sizeof(wc);
  wc.lpszClassName = "VARNE";
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hIcon = LoadResourceIcon(IDI_FW_PROGRAM, GetSystemMetrics(SM_CXICON));
  wc.hIconSm = nullptr;
  // Global, so that templates loaded from another module find it too.
  wc.style |= CS_GLOBALCLASS;
  if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  g_varne_registered = true;
  return true;
}

const MessageMapEntry<CUpdateDlg> CUpdateDlg::kMessageMap[] = {
    {WM_COMMAND, IDC_DRIVE_COMBO, CBN_SELCHANGE, &CUpdateDlg::OnSelChangeDrive},
    {WM_VSCROLL, IDC_PAGE_SCROLL, 0, &CUpdateDlg::OnPageScroll},
    {0, 0, 0, nullptr},
};

CUpdateDlg::CUpdateDlg() : CDialog(IDD_UPDATE) {
  m_hBlackBrush = CreateSolidBrush(RGB(0, 0, 0));
  m_hIcon = LoadResourceIcon(IDI_FW_PROGRAM, GetSystemMetrics(SM_CXICON));
}

CUpdateDlg::~CUpdateDlg() {
  if (m_hBlackBrush) DeleteObject(m_hBlackBrush);
}

void CUpdateDlg::PreCreateDialog() {
  if (!m_hIcon) m_hIcon = LoadResourceIcon(IDI_FW_PROGRAM, GetSystemMetrics(SM_CXICON));
  RegisterVarneClass();
}

bool CUpdateDlg::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  return DispatchMessageMap(this, kMessageMap, message, wparam, lparam, result);
}

BOOL CUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  UpdateState& state = AppState();
  HWND combo = GetDlgItem(IDC_DRIVE_COMBO);
  m_nListedDrives = 0;
  if (state.drive_identity_table) {
    for (int i = 0; i < state.drive_count && m_nListedDrives < kMaxListedDrives; ++i) {
      if (CountImagesForDrive(i) == 0) continue;
      state.listed_drive_indices[m_nListedDrives++] = i;
      std::string name = Field(state.drive_identity_table[i].product_identification);
      SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
  }
  SendMessageA(combo, CB_SETCURSEL, 0, 0);
  OnSelChangeDrive(0, 0);
  SetWindowText(m_strCaption.c_str());
  SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  return TRUE;
}

LRESULT CUpdateDlg::OnSelChangeDrive(WPARAM, LPARAM) {
  UpdateState& state = AppState();
  LRESULT position = SendMessageA(GetDlgItem(IDC_DRIVE_COMBO), CB_GETCURSEL, 0, 0);
  if (position == CB_ERR || position < 0 || position >= m_nListedDrives || !state.drive_identity_table) return 0;
  int drive = state.listed_drive_indices[position];
  if (drive < 0 || drive >= state.drive_count) return 0;
  state.current_drive_index = drive;
  const DriveIdentity& id = state.drive_identity_table[drive];
  SetDlgItemText(IDC_FROM, (Field(id.model_name) + Field(id.firmware_version)).c_str());
  SetDlgItemText(IDC_VENDOR, Field(id.vendor_identification).c_str());

  m_nMatchCount = 0;
  int images = state.image_count < kMaxDirectoryEntries ? state.image_count : kMaxDirectoryEntries;
  for (int j = 0; j < images; ++j) {
    if (ImageAppliesToDrive(j, drive)) m_nMatchList[m_nMatchCount++] = j;
  }
  m_nPageIndex = 0;
  HWND yes = GetDlgItem(IDOK);
  HWND bar = GetDlgItem(IDC_PAGE_SCROLL);
  if (m_nMatchCount > 0) {
    EnableWindow(yes, TRUE);
    SetDlgItemText(IDC_TO, Field(state.image_directory[m_nMatchList[0]].image_name).c_str());
    SetDlgItemText(IDC_PAGE_GROUP, "");
    EnableWindow(bar, FALSE);
    if (m_nMatchCount > 1) {
      char caption[32];
      std::snprintf(caption, sizeof caption, "1 of %d", m_nMatchCount);
      SetDlgItemText(IDC_PAGE_GROUP, caption);
      EnableWindow(bar, TRUE);
    }
  } else {
    EnableWindow(yes, FALSE);
    EnableWindow(bar, FALSE);
    SetDlgItemText(IDC_TO, "");
    SetDlgItemText(IDC_PAGE_GROUP, "");
  }
  return 0;
}

LRESULT CUpdateDlg::OnPageScroll(WPARAM wparam, LPARAM lparam) {
  switch (LOWORD(wparam)) {
    case SB_LINEUP:
      if (m_nPageIndex > 0) --m_nPageIndex;
      break;
    case SB_LINEDOWN:
      if (m_nPageIndex < m_nMatchCount - 1) ++m_nPageIndex;
      break;
    default:
      break;
  }
  ShowPage();
  DefWindowProcA(m_hWnd, WM_VSCROLL, wparam, lparam);
  return 0;
}

void CUpdateDlg::ShowPage() {
  if (m_nMatchCount <= 0) return;  // nothing to page through
  char caption[40];
  std::snprintf(caption, sizeof caption, "%d of %d", m_nPageIndex + 1, m_nMatchCount);
  SetDlgItemText(IDC_PAGE_GROUP, caption);
  SetDlgItemText(IDC_TO, Field(AppState().image_directory[m_nMatchList[m_nPageIndex]].image_name).c_str());
}

void CUpdateDlg::OnOK() {
  // "Yes" is enabled only with a match; Enter must not get round that.
  if (m_nMatchCount <= 0 || m_nPageIndex < 0 || m_nPageIndex >= m_nMatchCount) return;
  if (!IsWindowEnabled(GetDlgItem(IDOK))) return;
  if (m_bAccepting) return;
  UpdateState& state = AppState();
  // The question (and the DOS-only refusal) are message boxes without an
  // owner. Until they are answered the dialog takes no input, so neither a
  // second "Yes" nor another drive or page can replace the choice they ask
  // about.
  m_bAccepting = true;
  EnableWindow(m_hWnd, FALSE);
  const bool accepted =
      Answer(AcceptStep(static_cast<uint8_t>(state.current_drive_index), m_nMatchList[m_nPageIndex], AfxGetAppName()));
  EnableWindow(m_hWnd, TRUE);
  m_bAccepting = false;
  if (accepted) {
    EndDialog(IDOK);
  } else {
    SetForegroundWindow(m_hWnd);
  }
}

HBRUSH CUpdateDlg::OnCtlColor(HDC dc, HWND control, int control_id, UINT message) {
  switch (control_id) {
    case IDC_DRIVE_COMBO:
    case IDC_FROM:
    case IDC_VENDOR:
      SetTextColor(dc, RGB(0, 200, 255));
      SetBkColor(dc, RGB(0, 0, 0));
      return m_hBlackBrush;
    case IDC_TO:
      SetTextColor(dc, RGB(100, 250, 150));
      SetBkColor(dc, RGB(0, 0, 0));
      return m_hBlackBrush;
    case IDC_DRIVE_LABEL:
    case IDC_VENDOR_LABEL: {
      HBRUSH brush = DefaultCtlColor(dc, control, message);
      SetTextColor(dc, RGB(0, 0, 255));
      return brush;
    }
    case IDC_TO_LABEL:
    case IDC_QUESTION: {
      HBRUSH brush = DefaultCtlColor(dc, control, message);
      SetTextColor(dc, RGB(250, 40, 10));
      return brush;
    }
    default:
      return nullptr;
  }
}

bool CUpdateDlg::OnPaint() {
  if (!IsIconic(m_hWnd)) return false;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(m_hWnd, &ps);
  SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rc;
  GetClientRect(m_hWnd, &rc);
  int x = (rc.right - rc.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  int y = (rc.bottom - rc.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &ps);
  return true;
}
