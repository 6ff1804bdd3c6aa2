// The main dialog on fake drives and images: listing, paging, colours and
// the accept step wired to "Yes".
#include <string>
#include <vector>

#include "res/resource.h"
#include "tests/win/ui/ui_support.h"
#include "ui/update_dlg.h"

namespace {

struct Question {
  std::string text, caption;
};
std::vector<Question> g_questions;
bool g_answer = false;
bool RecordQuestion(const char* text, const char* caption) {
  g_questions.push_back({text, caption});
  return g_answer;
}

class UpdateDialogTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    SetDrives({{"CD-RW DRIVE A", "VENDOR1 ", "CDRW-4012A", "1.10"},
               {"OTHER DRIVE", "VENDOR2", "DVD-1600XX", "2.00"},
               {"CD-RW DRIVE B", "VENDOR3", "CDRW-5224B", "0.90"}});
    AddImage("CDRW-4012A1.20");
    AddImage("CDRW-5224B1.00");
    AddImage("CDRW-4012A1.30");
    AddImage("CDRW-4012A1.40");
    g_questions.clear();
    g_answer = false;
    Host().ask_yes_no = RecordQuestion;
  }
  void TearDown() override {
    dlg_.DestroyWindow();
    UiTest::TearDown();
  }
  void Open() {
    dlg_.m_strCaption = "Firmware Updater 1.0";
    ASSERT_TRUE(dlg_.Create());
  }
  std::vector<std::string> ComboEntries() {
    std::vector<std::string> entries;
    HWND combo = dlg_.GetDlgItem(IDC_DRIVE_COMBO);
    LRESULT n = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
      char text[64] = {};
      SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
      entries.push_back(text);
    }
    return entries;
  }
  void Scroll(WORD code) {
    SendMessageA(dlg_.m_hWnd, WM_VSCROLL, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(dlg_.GetDlgItem(IDC_PAGE_SCROLL)));
  }
  void ChooseDrive(int position) {
    HWND combo = dlg_.GetDlgItem(IDC_DRIVE_COMBO);
    SendMessageA(combo, CB_SETCURSEL, position, 0);
    SendMessageA(dlg_.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_DRIVE_COMBO, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  }
  void PressYes() {
    SendMessageA(dlg_.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(dlg_.GetDlgItem(IDOK)));
  }
  std::string Text(int id) { return dlg_.GetDlgItemText(id); }
  bool Enabled(int id) { return IsWindowEnabled(dlg_.GetDlgItem(id)) != FALSE; }

  CUpdateDlg dlg_;
};

TEST_F(UpdateDialogTest, ListsOnlyDrivesThatSomeImageFitsAndShowsTheFirst) {
  Open();
  EXPECT_EQ(ComboEntries(), (std::vector<std::string>{"CD-RW DRIVE A", "CD-RW DRIVE B"}));
  EXPECT_EQ(state_.listed_drive_indices[0], 0);
  EXPECT_EQ(state_.listed_drive_indices[1], 2);
  EXPECT_EQ(SendMessageA(dlg_.GetDlgItem(IDC_DRIVE_COMBO), CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(state_.current_drive_index, 0);
  EXPECT_EQ(Text(IDC_FROM), "CDRW-4012A1.10");
  EXPECT_EQ(Text(IDC_VENDOR), "VENDOR1 ");
  EXPECT_EQ(Text(IDC_TO), "CDRW-4012A1.20");
  EXPECT_EQ(Text(IDC_PAGE_GROUP), "1 of 3");
  EXPECT_TRUE(Enabled(IDC_PAGE_SCROLL));
  EXPECT_TRUE(Enabled(IDOK));
  EXPECT_EQ(dlg_.GetWindowText(), "Firmware Updater 1.0");
  EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(dlg_.m_hWnd, WM_GETICON, ICON_BIG, 0)), dlg_.Icon());
  EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(dlg_.m_hWnd, WM_QUERYDRAGICON, 0, 0)), dlg_.Icon());
  EXPECT_NE(dlg_.Icon(), nullptr);
}

TEST_F(UpdateDialogTest, WindowClassVarneExistsWithTheProgramIcon) {
  Open();
  char name[32] = {};
  GetClassNameA(dlg_.m_hWnd, name, sizeof name);
  EXPECT_STREQ(name, "VARNE");
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  ASSERT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), "VARNE", &wc));
  EXPECT_NE(wc.hIcon, nullptr);
  EXPECT_TRUE(GetWindowLongA(dlg_.m_hWnd, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  EXPECT_TRUE(RegisterVarneClass()) << "a second registration is no failure";
}

TEST_F(UpdateDialogTest, PagingStopsAtBothEnds) {
  Open();
  Scroll(SB_LINEUP);
  EXPECT_EQ(Text(IDC_PAGE_GROUP), "1 of 3");
  EXPECT_EQ(Text(IDC_TO), "CDRW-4012A1.20");
  Scroll(SB_LINEDOWN);
  EXPECT_EQ(Text(IDC_PAGE_GROUP), "2 of 3");
  EXPECT_EQ(Text(IDC_TO), "CDRW-4012A1.30");
  Scroll(SB_LINEDOWN);
  EXPECT_EQ(Text(IDC_PAGE_GROUP), "3 of 3");
  EXPECT_EQ(Text(IDC_TO), "CDRW-4012A1.40");
  Scroll(SB_LINEDOWN);
  EXPECT_EQ(Text(IDC_PAGE_GROUP), "3 of 3");
  EXPECT_EQ(Text(IDC_TO), "CDRW-4012A1.40");
  Scroll(SB_THUMBTRACK);
  EXPECT_EQ(dlg_.PageIndex(), 2) << "other scroll codes leave the page";
  Scroll(SB_LINEUP);
  Scroll(SB_LINEUP);
  Scroll(SB_LINEUP);
  EXPECT_EQ(Text(IDC_PAGE_GROUP), "1 of 3");
}

TEST_F(UpdateDialogTest, ChangingTheDriveAfterPagingShowsItsOnlyImage) {
  Open();
  Scroll(SB_LINEDOWN);
  ChooseDrive(1);
  EXPECT_EQ(state_.current_drive_index, 2);
  EXPECT_EQ(Text(IDC_FROM), "CDRW-5224B0.90");
  EXPECT_EQ(Text(IDC_VENDOR), "VENDOR3");
  EXPECT_EQ(Text(IDC_TO), "CDRW-5224B1.00");
  EXPECT_EQ(Text(IDC_PAGE_GROUP), "") << "a single match has no page caption";
  EXPECT_FALSE(Enabled(IDC_PAGE_SCROLL));
  EXPECT_TRUE(Enabled(IDOK));
  EXPECT_EQ(dlg_.PageIndex(), 0);

  // "Yes" now sends that image.
  g_answer = true;
  PressYes();
  ASSERT_EQ(g_questions.size(), 1u);
  EXPECT_EQ(g_questions[0].text, "Are you sure to update firmware from\nVer 0.90 to Ver 1.00");
  EXPECT_EQ(state_.target_image_name, "CDRW-5224B1.00");
  EXPECT_EQ(g_current_drive.index, 2);
}

TEST_F(UpdateDialogTest, HiddenSwitchListsEveryDriveAndEveryImage) {
  state_.options.every_image_offered = true;
  Open();
  EXPECT_EQ(ComboEntries(), (std::vector<std::string>{"CD-RW DRIVE A", "OTHER DRIVE", "CD-RW DRIVE B"}));
  ChooseDrive(1);
  EXPECT_EQ(dlg_.MatchCount(), 4);
  EXPECT_EQ(Text(IDC_PAGE_GROUP), "1 of 4");
  Scroll(SB_LINEDOWN);
  g_answer = false;
  PressYes();
  ASSERT_EQ(g_questions.size(), 1u);
  EXPECT_EQ(g_questions[0].text, "Are you sure to update firmware from\nDVD-1600XX2.00 to CDRW-5224B1.00");
}

// The accept step's refusal is the dialog's to show: a plain box, no
// question, and the dialog stays open for another choice.
std::vector<std::string> g_boxes;
void RecordBox(const char* text) { g_boxes.push_back(text); }

TEST_F(UpdateDialogTest, ARefusedDriveShowsTheRefusalAsksNothingAndStaysOpen) {
  SetDrives({{"CD-RW DRIVE T", "VENDOR1", "K53R-TX   ", "207Z"}});
  state_.image_count = 0;
  AddImage("K53R-TX   209A");
  g_boxes.clear();
  Host().message_box = RecordBox;
  Open();
  g_answer = true;
  PressYes();
  EXPECT_EQ(g_boxes, std::vector<std::string>{"This drive must be updated in DOS !!"});
  EXPECT_TRUE(g_questions.empty());
  EXPECT_NE(dlg_.m_hWnd, nullptr);
  EXPECT_TRUE(Enabled(IDOK));
  Host().message_box = nullptr;
}

TEST_F(UpdateDialogTest, NoMatchLeavesYesDisabledAndEnterDoesNothing) {
  state_.image_count = 0;
  AddImage("XXXXXXXXXX1.00");
  Open();
  EXPECT_TRUE(ComboEntries().empty());
  EXPECT_FALSE(Enabled(IDOK));
  EXPECT_FALSE(Enabled(IDC_PAGE_SCROLL));
  EXPECT_EQ(Text(IDC_TO), "");
  g_answer = true;
  SendMessageA(dlg_.m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);  // as Enter would
  EXPECT_TRUE(g_questions.empty());
  EXPECT_NE(dlg_.m_hWnd, nullptr);
}

TEST_F(UpdateDialogTest, YesAsksAgainAfterNoAndEndsWithOkAfterYes) {
  Open();
  Scroll(SB_LINEDOWN);
  g_answer = false;
  PressYes();
  EXPECT_NE(dlg_.m_hWnd, nullptr) << "No to the question leaves the dialog open";
  ASSERT_EQ(g_questions.size(), 1u);
  EXPECT_EQ(g_questions[0].text, "Are you sure to update firmware from\nVer 1.10 to Ver 1.30");
  EXPECT_EQ(g_questions[0].caption, "fwupdate");
  g_answer = true;
  PressYes();
  EXPECT_EQ(g_questions.size(), 2u);
  EXPECT_EQ(dlg_.m_hWnd, nullptr);
  EXPECT_EQ(dlg_.ModelessResult(), IDOK);
  EXPECT_EQ(state_.target_image_name, "CDRW-4012A1.30");
}

// The question is a message box without an owner: while it is open the
// dialog must take no input, or a second "Yes" (or another drive) could
// leave a choice in place that the user declined.
HWND g_dialog_window = nullptr;
bool g_enabled_while_asked = true;
bool AnswerYesOnlyToTheFirst(const char* text, const char* caption) {
  g_questions.push_back({text, caption});
  const bool first = g_questions.size() == 1;
  if (first) {
    g_enabled_while_asked = IsWindowEnabled(g_dialog_window) != FALSE;
    // Another image, and "Yes" once more, while the first question is open.
    SendMessageA(g_dialog_window, WM_VSCROLL, MAKEWPARAM(SB_LINEDOWN, 0),
                 reinterpret_cast<LPARAM>(GetDlgItem(g_dialog_window, IDC_PAGE_SCROLL)));
    SendMessageA(g_dialog_window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(g_dialog_window, IDOK)));
  }
  return first;
}

TEST_F(UpdateDialogTest, WhileTheQuestionIsOpenTheDialogTakesNoInputAndAsksNothingElse) {
  Open();
  g_dialog_window = dlg_.m_hWnd;
  g_enabled_while_asked = true;
  Host().ask_yes_no = AnswerYesOnlyToTheFirst;
  PressYes();
  EXPECT_FALSE(g_enabled_while_asked);
  ASSERT_EQ(g_questions.size(), 1u) << "no second accept step inside the first";
  EXPECT_EQ(g_questions[0].text, "Are you sure to update firmware from\nVer 1.10 to Ver 1.20");
  EXPECT_EQ(state_.target_image_name, "CDRW-4012A1.20") << "the image the user confirmed";
  EXPECT_EQ(dlg_.ModelessResult(), IDOK);

  // After "No" the dialog takes input again.
  g_questions.clear();
  Host().ask_yes_no = RecordQuestion;
  g_answer = false;
  Open();
  PressYes();
  EXPECT_EQ(g_questions.size(), 1u);
  EXPECT_TRUE(Enabled(IDOK));
  EXPECT_TRUE(IsWindowEnabled(dlg_.m_hWnd));
}

TEST_F(UpdateDialogTest, ModalDialogEndsWithCancelOnNoAndTheCloseBox) {
  struct Scripted : CUpdateDlg {
    UINT command;
    BOOL OnInitDialog() override {
      BOOL r = CUpdateDlg::OnInitDialog();
      PostMessageA(m_hWnd, WM_SYSCOMMAND, command, 0);
      return r;
    }
  } dlg;
  dlg.command = SC_CLOSE;
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(g_questions.empty());
}

TEST_F(UpdateDialogTest, ControlColoursFollowTheTable) {
  Open();
  struct Case {
    int id;
    UINT message;
    COLORREF text;
    bool black;  // black background and the dialog's black brush; else default
  } cases[] = {
      {IDC_DRIVE_COMBO, WM_CTLCOLORLISTBOX, RGB(0, 200, 255), true},
      {IDC_DRIVE_COMBO, WM_CTLCOLOREDIT, RGB(0, 200, 255), true},
      {IDC_FROM, WM_CTLCOLORSTATIC, RGB(0, 200, 255), true},
      {IDC_VENDOR, WM_CTLCOLORSTATIC, RGB(0, 200, 255), true},
      {IDC_TO, WM_CTLCOLORSTATIC, RGB(100, 250, 150), true},
      {IDC_DRIVE_LABEL, WM_CTLCOLORSTATIC, RGB(0, 0, 255), false},
      {IDC_VENDOR_LABEL, WM_CTLCOLORSTATIC, RGB(0, 0, 255), false},
      {IDC_TO_LABEL, WM_CTLCOLORSTATIC, RGB(250, 40, 10), false},
      {IDC_QUESTION, WM_CTLCOLORSTATIC, RGB(250, 40, 10), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    HWND control = dlg_.GetDlgItem(c.id);
    ControlColours got = AskColours(dlg_.m_hWnd, control, c.message);
    ControlColours def = DefaultColours(dlg_.m_hWnd, control, c.message);
    EXPECT_EQ(got.text, c.text);
    if (c.black) {
      EXPECT_EQ(got.background, RGB(0, 0, 0));
      EXPECT_EQ(got.brush, dlg_.BlackBrush());
      EXPECT_EQ(BrushColour(got.brush), RGB(0, 0, 0));
    } else {
      EXPECT_EQ(got.background, def.background);
      EXPECT_EQ(got.brush, def.brush);
    }
  }
  // Everything else keeps the default colours.
  for (int id : {IDC_PAGE_GROUP, IDOK}) {
    HWND control = dlg_.GetDlgItem(id);
    ControlColours got = AskColours(dlg_.m_hWnd, control, WM_CTLCOLORSTATIC);
    ControlColours def = DefaultColours(dlg_.m_hWnd, control, WM_CTLCOLORSTATIC);
    EXPECT_EQ(got.text, def.text);
    EXPECT_EQ(got.brush, def.brush);
  }
}

TEST_F(UpdateDialogTest, AtMostTwentyDrivesAreListed) {
  state_.drive_count = 25;
  state_.drive_identity_table.reset(new DriveIdentity[25]());
  for (int i = 0; i < 25; ++i) {
    DriveIdentity& id = state_.drive_identity_table[i];
    snprintf(id.product_identification, sizeof id.product_identification, "DRIVE %02d", i);
    std::strcpy(id.model_name, "CDRW-4012A");
    std::strcpy(id.firmware_version, "1.10");
  }
  Open();
  std::vector<std::string> entries = ComboEntries();
  ASSERT_EQ(entries.size(), 20u);
  EXPECT_EQ(entries.back(), "DRIVE 19");
  EXPECT_EQ(dlg_.ListedDriveCount(), 20);
}

}  // namespace
