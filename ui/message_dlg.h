// CMessageDlg: the top-most message dialog (template 135) that ends a run,
// and with icon 141 its finish form with the reboot offer.
#pragma once
#include <string>

#include "ui/dialog.h"

enum MessageKind { kMessageFinish = 1, kMessageError = 2, kMessageVersion = 3 };

class CMessageDlg : public CDialog {
 public:
  CMessageDlg();
  ~CMessageDlg() override;

  std::string m_strText;  // lines separated by "\n" or "\r\n"
  int m_nKind = kMessageFinish;
  int m_nIcon = 128;

  // The caption a kind and icon give; the message text colour of a kind.
  static const char* CaptionFor(int kind, int icon);
  static COLORREF TextColourFor(int kind);

 protected:
  BOOL OnInitDialog() override;
  HBRUSH OnCtlColor(HDC dc, HWND control, int control_id, UINT message) override;

 private:
  void MakeFinishForm();
};
