// CProgressDlg: the captionless progress dialog (template 131) served by the
// progress thread. The transfer writes through its ProgressSink side; the
// main thread sets the warning line.
#pragma once
#include <atomic>

#include "base/app_state.h"
#include "ui/dialog.h"

constexpr const char* kWarningText = "WARNING!! THIS PROGRAM IS PROCESSING. PLESASE DON'T TURN POWER OFF";

class CProgressDlg : public CDialog, public ProgressSink {
 public:
  CProgressDlg();
  ~CProgressDlg() override;

  // Registers the common control classes (the progress bar's) first: a
  // template naming a class nobody registered cannot be created.
  BOOL Create(HWND parent = nullptr) override;

  // ProgressSink, from any thread: synchronous messages to the controls,
  // nothing at all while the controls are not there.
  void SetStatus(const char* text) override;
  void SetPosition(int position) override;

  // The warning line: set the highlight state (1..4, picks the text colour),
  // then the text; the text change repaints the line in that colour.
  void ShowWarning(int highlight_state, const char* text);
  int HighlightState() const { return m_nHighlight.load(); }
  HBRUSH BlackBrush() const { return m_hBlackBrush; }
  HWND StatusLine() const { return m_hStatusLine; }
  HWND ProgressBar() const { return m_hProgressBar; }

  // The warning line's text colour for a highlight state.
  static COLORREF HighlightColour(int state);

 protected:
  BOOL OnInitDialog() override;
  HBRUSH OnCtlColor(HDC dc, HWND control, int control_id, UINT message) override;
  bool OnPaint() override;
  void OnOK() override {}      // Enter does not close it
  void OnCancel() override {}  // nor does Escape: the run ends it
  void OnWindowDestroyed() override;

 private:
  HBRUSH m_hBlackBrush = nullptr;
  std::atomic<int> m_nHighlight{1};
  HWND m_hStatusLine = nullptr;
  HWND m_hProgressBar = nullptr;
};
