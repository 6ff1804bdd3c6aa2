// The message dialog and its finish form, created from the program's template.
#include <functional>

#include "res/resource.h"
#include "tests/win/ui/ui_support.h"
#include "ui/message_dlg.h"

namespace {

class MessageDialogTest : public UiTest {
 protected:
  // Shows the dialog modeless and returns it for inspection (kind and icon as
  // their numbers: the kinds' values as the run uses them, the icons' their
  // resource IDs).
  void Show(int kind, int icon, const char* text = "\r\nsome text") {
    dlg_.m_nKind = static_cast<MessageKind>(kind);
    dlg_.m_nIcon = static_cast<MessageIcon>(icon);
    dlg_.m_strText = text;
    ASSERT_TRUE(dlg_.Create());
  }
  void TearDown() override {
    dlg_.DestroyWindow();
    UiTest::TearDown();
  }
  bool Visible(int id) { return (GetWindowLongA(dlg_.GetDlgItem(id), GWL_STYLE) & WS_VISIBLE) != 0; }
  RECT ClientRectOf(int id) {
    RECT r;
    GetWindowRect(dlg_.GetDlgItem(id), &r);
    MapWindowPoints(nullptr, dlg_.m_hWnd, reinterpret_cast<POINT*>(&r), 2);
    return r;
  }
  RECT TemplateRect(int x, int y, int w, int h) {
    RECT r = {x, y, w, h};
    MapDialogRect(dlg_.m_hWnd, &r);
    return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
  }
  CMessageDlg dlg_;
};

TEST_F(MessageDialogTest, CaptionFollowsKindAndIconAndErrorsShowOnlyOk) {
  struct Case {
    int kind, icon;
    const char* caption;
  } cases[] = {
      {2, 139, "ERROR"},          {2, 140, "ERROR"},   {3, 140, "Version"}, {1, 141, "FINISH  UPDATE"},
      {7, 140, "FINISH  UPDATE"}, {1, 128, "VER"},     {2, 128, "VER"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << " icon " << c.icon);
    Show(c.kind, c.icon);
    EXPECT_EQ(dlg_.GetWindowText(), c.caption);
    EXPECT_EQ(dlg_.GetDlgItemText(IDC_MESSAGE_TEXT), "\r\nsome text");
    EXPECT_NE(SendMessageA(dlg_.m_hWnd, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_TRUE(GetWindowLongA(dlg_.m_hWnd, GWL_EXSTYLE) & WS_EX_TOPMOST);
    if (c.icon != 141) {
      EXPECT_TRUE(Visible(IDOK));
      EXPECT_FALSE(Visible(IDCANCEL));
      EXPECT_EQ(dlg_.GetDlgItemText(IDOK), "OK");
    }
    dlg_.DestroyWindow();
  }
}

TEST_F(MessageDialogTest, ALineBreakAloneStillShowsTheErrorDialog) {
  Show(2, 140, "\r\n");
  EXPECT_EQ(dlg_.GetWindowText(), "ERROR");
  EXPECT_TRUE(IsWindowVisible(dlg_.m_hWnd));
}

TEST_F(MessageDialogTest, FinishFormMovesAndRelabelsBothButtons) {
  Show(1, 141);
  // Where the template puts the buttons, in pixels of this dialog (position
  // and size are converted separately, as the dialog manager does).
  RECT no_t = TemplateRect(153, 46, 34, 11), yes_t = TemplateRect(188, 46, 34, 11);
  RECT client;
  GetClientRect(dlg_.m_hWnd, &client);

  RECT no = ClientRectOf(IDCANCEL), yes = ClientRectOf(IDOK);
  EXPECT_TRUE(Visible(IDCANCEL));
  EXPECT_EQ(no.left, 10);
  EXPECT_EQ(no.right, no_t.right - 90);
  EXPECT_EQ(no.top, no_t.top);
  EXPECT_EQ(no.bottom - no.top, no_t.bottom - no_t.top);
  EXPECT_EQ(yes.left, yes_t.left - 90);
  EXPECT_EQ(yes.right, client.right - 10);
  EXPECT_EQ(yes.top, yes_t.top);
  EXPECT_EQ(yes.bottom - yes.top, yes_t.bottom - yes_t.top);
  EXPECT_EQ(yes.left - no.right, yes_t.left - no_t.right) << "the gap stays as in the template";
  EXPECT_EQ(dlg_.GetDlgItemText(IDCANCEL), "NO, I will restart my computer later.");
  EXPECT_EQ(dlg_.GetDlgItemText(IDOK), "YES, Reboot now.");
  EXPECT_EQ(dlg_.GetWindowText(), "FINISH  UPDATE");
}

TEST_F(MessageDialogTest, MessageTextColourFollowsKindOnTheDefaultBackground) {
  struct Case {
    int kind;
    COLORREF colour;
  } cases[] = {{1, RGB(190, 190, 255)}, {2, RGB(255, 170, 170)}, {3, RGB(0, 170, 170)}, {9, RGB(190, 190, 255)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    Show(c.kind, 140);
    HWND text = dlg_.GetDlgItem(IDC_MESSAGE_TEXT);
    ControlColours got = AskColours(dlg_.m_hWnd, text, WM_CTLCOLORSTATIC);
    ControlColours def = DefaultColours(dlg_.m_hWnd, text, WM_CTLCOLORSTATIC);
    EXPECT_EQ(got.text, c.colour);
    EXPECT_EQ(got.background, def.background);
    EXPECT_EQ(got.brush, def.brush);
    // The buttons keep the default colours.
    HWND ok = dlg_.GetDlgItem(IDOK);
    ControlColours button = AskColours(dlg_.m_hWnd, ok, WM_CTLCOLORBTN);
    EXPECT_EQ(button.text, DefaultColours(dlg_.m_hWnd, ok, WM_CTLCOLORBTN).text);
    EXPECT_EQ(button.brush, DefaultColours(dlg_.m_hWnd, ok, WM_CTLCOLORBTN).brush);
    dlg_.DestroyWindow();
  }
}

// A modal showing driven from inside its own initialisation.
class ScriptedMessageDlg : public CMessageDlg {
 public:
  std::function<void(HWND)> script;

 protected:
  BOOL OnInitDialog() override {
    BOOL r = CMessageDlg::OnInitDialog();
    if (script) script(m_hWnd);
    return r;
  }
};

TEST_F(MessageDialogTest, EscapeCloseBoxAndButtonsEndTheModalDialog) {
  ScriptedMessageDlg dlg;
  dlg.m_nKind = MessageKind::Error;
  dlg.m_nIcon = MessageIcon::Error;
  dlg.script = [](HWND w) { PostMessageA(GetDlgItem(w, IDOK), WM_KEYDOWN, VK_ESCAPE, 0); };
  EXPECT_EQ(dlg.DoModal(), IDCANCEL) << "Escape, with no second button visible";
  dlg.script = [](HWND w) { PostMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0); };
  EXPECT_EQ(dlg.DoModal(), IDCANCEL) << "close box";
  dlg.script = [](HWND w) { PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); };
  EXPECT_EQ(dlg.DoModal(), IDOK);
  dlg.m_nKind = MessageKind::Finish;
  dlg.m_nIcon = MessageIcon::Finish;
  dlg.script = [](HWND w) { PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); };
  EXPECT_EQ(dlg.DoModal(), IDCANCEL) << "\"NO, I will restart my computer later.\"";
  EXPECT_EQ(dlg.m_hWnd, nullptr);
}

}  // namespace
