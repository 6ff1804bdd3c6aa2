#include "tests/win/ui/ui_support.h"

#include "ui/winapp.h"

std::string ProgramPath() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return std::string();
  std::string p(path, n);
  return p.substr(0, p.find_last_of('\\') + 1) + "fwupdate.exe";
}

namespace {
HMODULE LoadProgramResources() {
  const std::string p = ProgramPath();
  return p.empty() ? nullptr : LoadLibraryExA(p.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
}
}  // namespace

HMODULE ProgramResources() {
  static HMODULE module = LoadProgramResources();
  return module;
}

void UiTest::SetUp() {
  ASSERT_NE(ProgramResources(), nullptr) << "fwupdate.exe (the dialog templates) must be built beside the tests";
  AfxSetResourceHandle(ProgramResources());
  SetAppState(&state_);
  ResetHost();
  ResetScsiState();
}

void UiTest::TearDown() {
  SetAppState(nullptr);
  ResetHost();
  ResetScsiState();
}

void UiTest::SetDrives(std::initializer_list<DriveSpec> drives) {
  state_.drive_count = static_cast<int>(drives.size());
  state_.drive_identity_table.reset(new DriveIdentity[drives.size()]());
  int i = 0;
  for (const auto& d : drives) {
    DriveIdentity& id = state_.drive_identity_table[i++];
    std::strncpy(id.product_identification, d.product, 16);
    std::strncpy(id.vendor_identification, d.vendor, 8);
    std::strncpy(id.model_name, d.model, 10);
    std::strncpy(id.firmware_version, d.firmware, 4);
  }
  g_drive_table_count = static_cast<uint8_t>(drives.size());
}

void UiTest::AddImage(const char* name) {
  ImageDirectoryEntry& e = state_.image_directory[state_.image_count++];
  e.image_offset = 0x1000u * static_cast<uint32_t>(state_.image_count);
  e.image_size = 0x800;
  std::strncpy(e.image_name, name, 14);
}

void PumpMessages(DWORD ms) {
  DWORD start = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(5);
  } while (GetTickCount() - start < ms);
}

std::string WindowText(HWND window) {
  char text[512] = {};
  if (window) SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

namespace {
ControlColours Ask(HWND target, HWND control, UINT message, bool by_default) {
  HDC dc = CreateCompatibleDC(nullptr);
  // Start from colours no handler would pick, to see what it set.
  SetTextColor(dc, RGB(1, 2, 3));
  SetBkColor(dc, RGB(4, 5, 6));
  LRESULT r = by_default ? DefWindowProcA(target, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control))
                         : SendMessageA(target, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control));
  ControlColours c{GetTextColor(dc), GetBkColor(dc), reinterpret_cast<HBRUSH>(r)};
  DeleteDC(dc);
  return c;
}
}  // namespace

ControlColours AskColours(HWND dialog, HWND control, UINT message) { return Ask(dialog, control, message, false); }

ControlColours DefaultColours(HWND dialog, HWND control, UINT message) { return Ask(dialog, control, message, true); }

COLORREF BrushColour(HBRUSH brush) {
  LOGBRUSH lb = {};
  if (!brush || !GetObjectA(brush, sizeof lb, &lb)) return CLR_INVALID;
  return lb.lbColor;
}
