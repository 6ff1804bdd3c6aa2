// CMessageDlg: the top-most message dialog (template 135) that ends a run,
// and with icon 141 its finish form with the reboot offer.
#pragma once
#include <string>

#include "base/message_kinds.h"
#include "ui/dialog.h"

class CMessageDlg : public CDialog {
 public:
  CMessageDlg();
  ~CMessageDlg() override;

  std::string m_strText;  // lines separated by "\n" or "\r\n"
  MessageKind m_nKind = MessageKind::Finish;
  MessageIcon m_nIcon = MessageIcon::Program;

  // The caption a kind and icon give; the message text colour of a kind.
  static const char* CaptionFor(MessageKind kind, MessageIcon icon);
  static COLORREF TextColourFor(MessageKind kind);

 protected:
  BOOL OnInitDialog() override;
  HBRUSH OnCtlColor(HDC dc, HWND control, int control_id, UINT message) override;

 private:
  void MakeFinishForm();
};
