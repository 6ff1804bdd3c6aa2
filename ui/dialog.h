// CDialog: a dialog from a template resource, modal or modeless, with a
// message map per class and hooks for control colours and painting.
#pragma once
#include <windows.h>

#include <string>

class CDialog;

// One entry of a class's message map. For WM_COMMAND, id is the control id
// and code the notification code (BN_CLICKED, CBN_SELCHANGE, ...); for
// WM_VSCROLL / WM_HSCROLL, id is the scroll bar's control id and code is
// ignored; for every other message both are ignored (use 0).
template <class D>
struct MessageMapEntry {
  UINT message;
  int id;
  int code;
  LRESULT (D::*handler)(WPARAM wparam, LPARAM lparam);
};

// Runs the first matching handler of a map that ends with a {0} entry.
template <class D, size_t N>
bool DispatchMessageMap(D* self, const MessageMapEntry<D> (&map)[N], UINT message, WPARAM wparam,
                        LPARAM lparam, LRESULT* result) {
  for (const MessageMapEntry<D>& e : map) {
    if (e.message == 0) break;
    if (e.message != message) continue;
    if (message == WM_COMMAND) {
      if (LOWORD(wparam) != e.id || HIWORD(wparam) != e.code) continue;
    } else if (message == WM_VSCROLL || message == WM_HSCROLL) {
      HWND bar = reinterpret_cast<HWND>(lparam);
      if (!bar || GetDlgCtrlID(bar) != e.id) continue;
    }
    *result = (self->*e.handler)(wparam, lparam);
    return true;
  }
  return false;
}

class CDialog {
 public:
  explicit CDialog(UINT template_id);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Modal: returns the EndDialog result, or -1 when the window could not be
  // created.
  virtual INT_PTR DoModal(HWND parent = nullptr);
  // Modeless: creates the window on the calling thread (which must pump its
  // messages); FALSE when it could not be created.
  virtual BOOL Create(HWND parent = nullptr);
  // Destroys the window (modeless; for a modal dialog use EndDialog).
  BOOL DestroyWindow();
  // Ends a modal dialog with result; a modeless one keeps the result and is
  // destroyed.
  void EndDialog(INT_PTR result);

  HWND GetSafeHwnd() const { return m_hWnd; }
  HWND GetDlgItem(int id) const { return m_hWnd ? ::GetDlgItem(m_hWnd, id) : nullptr; }
  void SetWindowText(const char* text) {
    if (m_hWnd) ::SetWindowTextA(m_hWnd, text);
  }
  void SetDlgItemText(int id, const char* text) {
    if (m_hWnd) ::SetDlgItemTextA(m_hWnd, id, text);
  }
  std::string GetDlgItemText(int id) const;
  std::string GetWindowText() const;
  BOOL IsModal() const { return m_bModal; }
  UINT TemplateId() const { return m_nTemplateId; }
  // The result a modeless dialog was ended with (IDOK/IDCANCEL), else 0.
  INT_PTR ModelessResult() const { return m_nModelessResult; }

  HWND m_hWnd = nullptr;

 protected:
  // Before the window is created (e.g. to register a window class).
  virtual void PreCreateDialog() {}
  // Default initialisation: nothing; TRUE gives the first control the focus.
  virtual BOOL OnInitDialog() { return TRUE; }
  // IDOK / IDCANCEL commands: end a modal dialog, destroy a modeless one.
  virtual void OnOK();
  virtual void OnCancel();
  // The control-colour hook (WM_CTLCOLOR*): return a brush to paint the
  // control with, or nullptr for the default colours. `control_id` is the
  // dialog item the control belongs to (a combo box's list counts as its combo).
  virtual HBRUSH OnCtlColor(HDC dc, HWND control, int control_id, UINT message) { return nullptr; }
  // WM_PAINT: true when painted.
  virtual bool OnPaint() { return false; }
  // WM_QUERYDRAGICON: the icon, or nullptr for the default.
  virtual HICON OnQueryDragIcon() { return nullptr; }
  // The class's message map (DispatchMessageMap); true when handled.
  virtual bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) { return false; }
  // The window is gone (m_hWnd is already cleared).
  virtual void OnWindowDestroyed() {}

  // The default control colours of the dialog (text, background, brush).
  HBRUSH DefaultCtlColor(HDC dc, HWND control, UINT message);

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);

  UINT m_nTemplateId;
  BOOL m_bModal = FALSE;
  INT_PTR m_nModelessResult = 0;
};

// A resource icon at the given size (shared, never destroyed); nullptr when absent.
HICON LoadResourceIcon(int id, int size);
