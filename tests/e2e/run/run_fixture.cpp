#include "tests/e2e/run/run_fixture.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace run {

namespace {

constexpr DWORD kPollMs = 20;
const char kWatchClass[] = "fwupdate-e2e-restart-watch";

struct FindContext {
  DWORD pid;
  const char* class_name;
  HWND found;
};

BOOL CALLBACK FindByClass(HWND window, LPARAM param) {
  auto* context = reinterpret_cast<FindContext*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != context->pid || !IsWindowVisible(window)) return TRUE;
  if (harness::WindowClass(window) != context->class_name) return TRUE;
  context->found = window;
  return FALSE;
}

HWND FindVisibleWindowOfClass(DWORD pid, const char* class_name) {
  FindContext context{pid, class_name, nullptr};
  EnumWindows(FindByClass, reinterpret_cast<LPARAM>(&context));
  return context.found;
}

// The value of "name=" in a wire log line, up to the next blank.
std::string Field(const std::string& line, const std::string& name) {
  const size_t at = line.find(" " + name + "=");
  if (at == std::string::npos) return std::string();
  const size_t start = at + name.size() + 2;
  return line.substr(start, line.find(' ', start) - start);
}

}  // namespace

std::string DriveConfig(const std::string& model, const std::string& version, int target,
                        const std::string& settings) {
  std::string config = "drive 0 " + std::to_string(target) + " 0\n";
  config += "  model \"" + model + "\"\n";
  config += "  version \"" + version + "\"\n";
  std::stringstream lines(settings);
  for (std::string line; std::getline(lines, line);) config += "  " + line + "\n";
  return config;
}

uint32_t WireCommand::Offset() const {
  unsigned bytes[6] = {};
  if (std::sscanf(cdb.c_str(), "%x %x %x %x %x %x", &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4],
                  &bytes[5]) != 6) {
    return 0xFFFFFFFFu;
  }
  return bytes[3] << 16 | bytes[4] << 8 | bytes[5];
}

// ---- restart watch ----------------------------------------------------------

RestartWatch::RestartWatch() {
  ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  thread_ = CreateThread(nullptr, 0, &RestartWatch::Thread, this, 0, &thread_id_);
  if (thread_ && ready_) WaitForSingleObject(ready_, 5000);
}

RestartWatch::~RestartWatch() {
  if (thread_) {
    PostThreadMessageA(thread_id_, WM_QUIT, 0, 0);
    if (HWND window = window_.load()) PostMessageA(window, WM_CLOSE, 0, 0);
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
  }
  if (ready_) CloseHandle(ready_);
}

bool RestartWatch::WaitForRequest(DWORD timeout_ms) const {
  const DWORD start = GetTickCount();
  while (requests_.load() == 0) {
    if (GetTickCount() - start >= timeout_ms) return false;
    Sleep(kPollMs);
  }
  return true;
}

LRESULT CALLBACK RestartWatch::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<RestartWatch*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_QUERYENDSESSION:
      if (self) self->requests_.fetch_add(1);
      return FALSE;  // the session goes on
    case WM_ENDSESSION:
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

DWORD WINAPI RestartWatch::Thread(void* param) {
  auto* self = static_cast<RestartWatch*>(param);
  WNDCLASSA wc = {};
  wc.lpfnWndProc = &RestartWatch::WindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kWatchClass;
  RegisterClassA(&wc);
  // Visible (only visible windows are asked), but far off the screen and
  // never activated, so it is in no screenshot and takes no focus.
  HWND window = CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kWatchClass, "restart watch", WS_POPUP,
                                -3000, -3000, 1, 1, nullptr, nullptr, wc.hInstance, nullptr);
  if (window) {
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    ShowWindow(window, SW_SHOWNOACTIVATE);
  }
  self->window_.store(window);
  SetEvent(self->ready_);
  if (!window) return 1;
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  return 0;
}

// ---- the fixture ------------------------------------------------------------

void RunTest::SetUp() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string("run-") + test->test_suite_name() + "-" + test->name();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
  }
  dir_ = harness::MakeWorkDir(name);
  ASSERT_FALSE(dir_.empty()) << "no work directory (FW_BUILD_DIR=" << harness::Env("FW_BUILD_DIR") << ")";
  harness::ClearAppDefaults("fwupdate.exe");
  wire_log_ = harness::JoinPath(dir_, "wire.log");
  out_dir_ = dir_;
}

void RunTest::TearDown() {
  harness::ClearAppDefaults("fwupdate.exe");
  harness::RemoveCdromInterfaces();
}

std::string RunTest::Pack(const std::vector<harness::ImageSpec>& images, const std::string& exe_name) {
  std::string error;
  const std::string exe = harness::BuildPackedUpdater(dir_, images, &plain_, exe_name, &error);
  EXPECT_FALSE(exe.empty()) << error;
  return exe;
}

harness::Environment RunTest::Drives(const std::string& config, const std::string& exe_name) {
  return DrivesOn(harness::TransportUnderTest(), config, exe_name);
}

harness::Environment RunTest::DrivesOn(harness::Transport transport, const std::string& config,
                                       const std::string& exe_name) {
  bool ok = false;
  harness::Environment environment =
      harness::SimulatedDrives(transport, dir_, config, wire_log_, out_dir_, exe_name, &ok);
  EXPECT_TRUE(ok) << "the simulated drives cannot be set up for " << harness::TransportName(transport);
  return environment;
}

std::string RunTest::WireLog() const {
  std::vector<uint8_t> bytes;
  harness::ReadFileBytes(wire_log_, &bytes);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<WireCommand> RunTest::Executes() const {
  std::vector<WireCommand> commands;
  std::stringstream lines(WireLog());
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!harness::IsWireCommand(line)) continue;
    WireCommand command;
    command.line = line;
    const std::string target = Field(line, "target");
    command.target = target.empty() || target == "-" ? -1 : std::atoi(target.c_str());
    const size_t cdb = line.find(" cdb=");
    const size_t result = line.find(" result=");
    if (cdb != std::string::npos && result != std::string::npos && result > cdb) {
      command.cdb = line.substr(cdb + 5, result - cdb - 5);
    }
    command.ok = Field(line, "result") == "01";
    command.length = static_cast<uint32_t>(std::strtoul(Field(line, "length").c_str(), nullptr, 10));
    const std::string room = Field(line, "mx_sb_len");
    if (!room.empty()) command.sense_room = std::atoi(room.c_str());
    commands.push_back(command);
  }
  return commands;
}

int RunTest::Count(bool (WireCommand::*kind)() const) const {
  int n = 0;
  for (const WireCommand& command : Executes()) n += (command.*kind)() ? 1 : 0;
  return n;
}

std::vector<uint8_t> RunTest::Flashed(int target, int nth) const {
  std::vector<uint8_t> bytes;
  harness::ReadFileBytes(
      harness::JoinPath(out_dir_, "flash-0-" + std::to_string(target) + "-" + std::to_string(nth) + ".bin"), &bytes);
  return bytes;
}

HWND RunTest::WaitForMainDialog(harness::Program& run, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND dialog = FindVisibleWindowOfClass(run.pid(), kMainDialogClass)) return dialog;
    if (!run.Running()) {
      ADD_FAILURE() << "the program ended without showing the main dialog";
      return nullptr;
    }
    if (GetTickCount() - start >= timeout_ms) {
      ADD_FAILURE() << "no main dialog within " << timeout_ms << " ms; showing: " << harness::DescribeWindows(run.pid());
      run.Kill();
      return nullptr;
    }
    Sleep(kPollMs);
  }
}

bool RunTest::WaitForYesEnabled(harness::Program& run, HWND main_dialog, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  while (!harness::IsControlEnabled(main_dialog, IDOK)) {
    if (!run.Running()) {
      ADD_FAILURE() << "the program ended before \"Yes\" was enabled";
      return false;
    }
    if (GetTickCount() - start >= timeout_ms) {
      ADD_FAILURE() << "\"Yes\" not enabled within " << timeout_ms << " ms; showing: "
                    << harness::DescribeWindows(run.pid());
      return false;
    }
    Sleep(kPollMs);
  }
  return true;
}

void RunTest::Confirm(harness::Program& run, const std::string& question) {
  HWND main = WaitForMainDialog(run);
  ASSERT_TRUE(main);
  EXPECT_EQ(harness::WindowText(main), kCaption);
  EXPECT_EQ(AnswerConfirmation(run, main, IDYES), question);
}

std::string RunTest::AnswerConfirmation(harness::Program& run, HWND main_dialog, int answer) {
  if (!main_dialog || !WaitForYesEnabled(run, main_dialog)) return std::string();
  harness::PressButton(main_dialog, IDOK);
  HWND question = run.WaitForWindow("fwupdate", 10000);
  if (!question) {
    ADD_FAILURE() << "no confirmation question: " << run.error();
    return std::string();
  }
  const std::string text = harness::ControlText(question, harness::kMessageBoxTextId);
  harness::PressButton(question, answer);
  return text;
}

HWND RunTest::FindMainDialog(DWORD pid) { return FindVisibleWindowOfClass(pid, kMainDialogClass); }

HWND RunTest::FindProgressDialog(DWORD pid) {
  for (HWND window : harness::TopLevelWindows(pid)) {
    if (harness::WindowClass(window) == harness::kDialogClass && harness::WindowText(window).empty() &&
        harness::Control(window, kWarningLine) && harness::Control(window, kStatusLine)) {
      return window;
    }
  }
  return nullptr;
}

void RunTest::ExpectFinalMessage(harness::Program& run, const std::string& caption, const std::string& text,
                                 int button, DWORD timeout_ms) {
  HWND message = run.WaitForWindow(caption, timeout_ms);
  ASSERT_TRUE(message) << run.error();
  EXPECT_EQ(harness::ControlText(message, kMessageText), text);
  harness::PressButton(message, button);
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
  EXPECT_EQ(code, 0u);
}

void RunTest::ExpectSilentEnd(harness::Program& run, DWORD timeout_ms) {
  DWORD code = 1;
  ASSERT_TRUE(run.WaitForExit(timeout_ms, &code)) << run.error();
  EXPECT_EQ(code, 0u);
}

// ---- screen -----------------------------------------------------------------

std::vector<uint32_t> CaptureScreenRect(const RECT& rect) {
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  std::vector<uint32_t> pixels;
  if (width <= 0 || height <= 0) return pixels;
  HDC screen = GetDC(nullptr);
  if (!screen) return pixels;
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (memory && bitmap && bits) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    if (BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
      GdiFlush();
      const uint32_t* p = static_cast<const uint32_t*>(bits);
      pixels.assign(p, p + static_cast<size_t>(width) * height);
      for (uint32_t& pixel : pixels) pixel &= 0xFFFFFFu;
    }
    SelectObject(memory, previous);
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

bool RectShowsColour(const RECT& rect, COLORREF colour) {
  // DIB pixels are 0x00RRGGBB; COLORREF is 0x00BBGGRR.
  const uint32_t wanted = static_cast<uint32_t>(GetRValue(colour)) << 16 | GetGValue(colour) << 8 | GetBValue(colour);
  for (uint32_t pixel : CaptureScreenRect(rect)) {
    if (pixel == wanted) return true;
  }
  return false;
}

uint64_t RectHash(const RECT& rect) {
  uint64_t hash = 1469598103934665603ull;
  for (uint32_t pixel : CaptureScreenRect(rect)) hash = (hash ^ pixel) * 1099511628211ull;
  return hash;
}

bool SaveScreenRect(const RECT& wanted, const std::string& path) {
  const RECT screen = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  RECT rect = {};
  // Only what is on the screen; all of it for an empty rectangle.
  if (IsRectEmpty(&wanted) || !IntersectRect(&rect, &wanted, &screen)) rect = screen;
  const std::vector<uint32_t> pixels = CaptureScreenRect(rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (pixels.size() != static_cast<size_t>(width) * height) return false;
  const uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;  // bottom-up
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = stride * height;
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + info.biSizeImage;
  std::vector<uint8_t> bytes(file.bfSize);
  std::memcpy(bytes.data(), &file, sizeof file);
  std::memcpy(bytes.data() + sizeof file, &info, sizeof info);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = bytes.data() + file.bfOffBits + static_cast<size_t>(height - 1 - y) * stride;
    for (int x = 0; x < width; ++x) {
      const uint32_t pixel = pixels[static_cast<size_t>(y) * width + x];
      row[3 * x] = pixel & 0xFF;
      row[3 * x + 1] = (pixel >> 8) & 0xFF;
      row[3 * x + 2] = (pixel >> 16) & 0xFF;
    }
  }
  return harness::WriteFileBytes(path, bytes);
}

bool SaveWindowShot(HWND window, const std::string& path) {
  RECT rect = {};
  if (!window || !GetWindowRect(window, &rect)) return false;
  InflateRect(&rect, 12, 12);
  return SaveScreenRect(rect, path);
}

}  // namespace run
