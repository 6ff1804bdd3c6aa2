// CDebugDlg: the debug window (template 136), a resizable tool window whose
// read-only rich edit field shows the command trace. Other threads append
// through synchronous messages; painting is held back while lines arrive and
// done at most every kRepaintMs (and by a timer once they stop), so an
// append stays cheap and new lines still show.
#pragma once
#include <atomic>

#include "scsi/trace.h"
#include "ui/dialog.h"

// Characters the trace field holds: a whole update's trace several times over.
constexpr LPARAM kTraceTextLimit = 16 * 1024 * 1024;

class CDebugDlg : public CDialog, public TraceWindowOutput {
 public:
  static constexpr UINT kRepaintMs = 150;

  CDebugDlg();
  ~CDebugDlg() override;

  // Loads the rich edit library before the window is made.
  BOOL Create(HWND parent = nullptr) override;

  // TraceWindowOutput, from any thread: the text goes at the very end of the
  // field (selection to the end, replace selection), handled on the window's
  // thread before this returns.
  void Append(const char* text, size_t length) override;

  HWND TraceField() const { return m_hTraceField; }
  // Appends handled, and repaints done by the timer (for tests).
  long AppendCount() const { return m_nAppends.load(); }
  long RepaintCount() const { return m_nRepaints.load(); }

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override {}      // Enter does not close the window
  void OnCancel() override {}  // nor does Escape
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) override;
  void OnWindowDestroyed() override;

 private:
  LRESULT OnSize(WPARAM, LPARAM);
  LRESULT OnTimer(WPARAM, LPARAM);
  LRESULT OnAppendText(WPARAM, LPARAM);
  void ShowArrivedLines();
  static const MessageMapEntry<CDebugDlg> kMessageMap[];

  HWND m_hTraceField = nullptr;
  bool m_bRedrawHeld = false;  // debug window thread only
  bool m_bDirty = false;       // debug window thread only
  DWORD m_nLastShown = 0;      // debug window thread only: tick of the last showing
  std::atomic<long> m_nAppends{0};
  std::atomic<long> m_nRepaints{0};
};
