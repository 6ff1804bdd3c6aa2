#include "ui/dialog.h"

#include "ui/winapp.h"

CDialog::CDialog(UINT template_id) : m_nTemplateId(template_id) {}

CDialog::~CDialog() {
  // A modeless window still open belongs to this object: take it down so
  // that its procedure never sees a freed object. (Only the owning thread
  // can destroy it; elsewhere the call fails and the pointer is cut off.)
  if (m_hWnd) {
    HWND hwnd = m_hWnd;
    SetWindowLongPtrA(hwnd, DWLP_USER, 0);
    m_hWnd = nullptr;
    if (GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId()) ::DestroyWindow(hwnd);
  }
}

INT_PTR CDialog::DoModal(HWND parent) {
  if (m_hWnd) return -1;
  PreCreateDialog();
  m_bModal = TRUE;
  INT_PTR r = DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nTemplateId), parent, DialogProc,
                              reinterpret_cast<LPARAM>(this));
  m_bModal = FALSE;
  return r;
}

BOOL CDialog::Create(HWND parent) {
  if (m_hWnd) return FALSE;
  PreCreateDialog();
  m_bModal = FALSE;
  m_nModelessResult = 0;
  HWND hwnd = CreateDialogParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nTemplateId), parent, DialogProc,
                                 reinterpret_cast<LPARAM>(this));
  // m_hWnd was set at WM_INITDIALOG; a window that failed later is gone.
  if (!hwnd) m_hWnd = nullptr;
  return hwnd != nullptr;
}

BOOL CDialog::DestroyWindow() {
  if (!m_hWnd) return FALSE;
  return ::DestroyWindow(m_hWnd);
}

void CDialog::EndDialog(INT_PTR result) {
  if (!m_hWnd) return;
  if (m_bModal) {
    ::EndDialog(m_hWnd, result);
  } else {
    m_nModelessResult = result;
    DestroyWindow();
  }
}

void CDialog::OnOK() { EndDialog(IDOK); }

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

namespace {
std::string TextOf(HWND window) {
  if (!window) return std::string();
  int n = GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(n) + 1, '\0');
  int got = ::GetWindowTextA(window, &text[0], n + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}
}  // namespace

std::string CDialog::GetDlgItemText(int id) const { return TextOf(GetDlgItem(id)); }

std::string CDialog::GetWindowText() const { return TextOf(m_hWnd); }

HBRUSH CDialog::DefaultCtlColor(HDC dc, HWND control, UINT message) {
  return reinterpret_cast<HBRUSH>(
      DefWindowProcA(m_hWnd, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control)));
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  CDialog* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CDialog*>(lparam);
    SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    self->m_hWnd = hwnd;
  } else {
    self = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  }
  if (!self) return FALSE;  // messages before WM_INITDIALOG (WM_SETFONT)
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(hwnd, DWLP_USER, 0);
    self->m_hWnd = nullptr;
    self->OnWindowDestroyed();
    return FALSE;
  }
  return self->HandleMessage(message, wparam, lparam);
}

namespace {
// The dialog item a control-colour message is about: the direct child of
// the dialog that contains the control (a combo box's list box or edit
// field counts as the combo box).
int ControlIdOf(HWND dialog, HWND control) {
  HWND w = control;
  for (int depth = 0; w && depth < 4; ++depth) {
    HWND parent = GetParent(w);
    if (parent == dialog) return GetDlgCtrlID(w);
    w = parent;
  }
  return GetDlgCtrlID(control);
}
// The control-colour messages, which return a brush.
bool IsCtlColorMessage(UINT message) { return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC; }

}  // namespace

INT_PTR CDialog::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  if (OnMessage(message, wparam, lparam, &result)) {
    switch (message) {
      // These return their value directly instead of through DWLP_MSGRESULT.
      case WM_INITDIALOG:
      case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(result);
      default:
        if (IsCtlColorMessage(message)) return static_cast<INT_PTR>(result);
        if (m_hWnd) SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
  }
  if (IsCtlColorMessage(message)) {
    HWND control = reinterpret_cast<HWND>(lparam);
    HBRUSH brush = OnCtlColor(reinterpret_cast<HDC>(wparam), control, ControlIdOf(m_hWnd, control), message);
    return reinterpret_cast<INT_PTR>(brush);
  }
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK && HIWORD(wparam) == BN_CLICKED) {
        OnOK();
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL && HIWORD(wparam) == BN_CLICKED) {
        OnCancel();
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    default:
      return FALSE;
  }
}

HICON LoadResourceIcon(int id, int size) {
  return static_cast<HICON>(
      LoadImageA(AfxGetResourceHandle(), MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, LR_SHARED));
}
