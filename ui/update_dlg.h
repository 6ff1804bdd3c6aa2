// CUpdateDlg: the main dialog (template 102). Lists the drives that some
// carried image fits, shows "from" and "to", pages through the matching
// images and runs the accept step on "Yes".
#pragma once
#include <string>

#include "base/app_state.h"
#include "ui/dialog.h"

// The process-wide window class of the main dialog, registered once from the
// system's dialog class with icon 128. true when it exists.
bool RegisterVarneClass();

class CUpdateDlg : public CDialog {
 public:
  CUpdateDlg();
  ~CUpdateDlg() override;

  // The dialog's caption: the version caption, handed in by the run.
  std::string m_strCaption;

  int PageIndex() const { return m_nPageIndex; }
  int MatchCount() const { return m_nMatchCount; }
  const int* MatchList() const { return m_nMatchList; }
  int ListedDriveCount() const { return m_nListedDrives; }
  HICON Icon() const { return m_hIcon; }
  HBRUSH BlackBrush() const { return m_hBlackBrush; }

 protected:
  void PreCreateDialog() override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  HBRUSH OnCtlColor(HDC dc, HWND control, int control_id, UINT message) override;
  bool OnPaint() override;
  HICON OnQueryDragIcon() override { return m_hIcon; }
  bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, LRESULT* result) override;

 private:
  LRESULT OnSelChangeDrive(WPARAM, LPARAM);
  LRESULT OnPageScroll(WPARAM, LPARAM);
  void ShowPage();
  static const MessageMapEntry<CUpdateDlg> kMessageMap[];

  int m_nPageIndex = 0;
  int m_nMatchCount = 0;
  int m_nMatchList[kMaxDirectoryEntries] = {};
  int m_nListedDrives = 0;
  bool m_bAccepting = false;  // the accept step is running (its question is open)
  HBRUSH m_hBlackBrush = nullptr;
  HICON m_hIcon = nullptr;
};
