// Whole-program test harness: runs the real fwupdate.exe under Wine from a
// test executable, finds its windows, reads and presses their controls,
// samples the screen, and builds packed updaters to run.
//
// Every wait is bounded. A wait that times out kills the program it waited
// for and returns a failure (null / false) with a description in error(), so
// a test asserts on the result and never hangs:
//
//   harness::Program run;
//   ASSERT_TRUE(run.Start(exe, "/SPT", dir)) << run.error();
//   HWND box = run.WaitForWindow("fwupdate");
//   ASSERT_TRUE(box) << run.error();
//   EXPECT_EQ(harness::JoinedStaticTexts(box), "...");
//   harness::PressButton(box, IDOK);
//   DWORD code = 1;
//   ASSERT_TRUE(run.WaitForExit(10000, &code)) << run.error();
//
// Paths handed to the program are Wine (DOS) paths; FW_BUILD_DIR, set by the
// test runner, is a Unix path and is translated with UnixToWinePath.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace harness {

constexpr DWORD kDefaultTimeoutMs = 20000;
// The window class of dialogs and of the standard message boxes.
constexpr const char kDialogClass[] = "#32770";
// Control id of a standard message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;

// ---- environment, paths and files ----------------------------------------

// The value of an environment variable, "" when unset.
std::string Env(const char* name);
// "/a/b" -> "Z:\a\b" (Wine maps the Unix root as drive Z:). Paths that are
// already DOS paths come back unchanged.
std::string UnixToWinePath(const std::string& unix_path);
// "Z:\a\b" -> "/a/b"; other drive letters are left unchanged.
std::string WineToUnixPath(const std::string& wine_path);
// dir + "\" + name (no doubled separator).
std::string JoinPath(const std::string& dir, const std::string& name);
// FW_BUILD_DIR as a Wine path; "" when the variable is not set.
std::string BuildDir();
// The built program image without payload: BuildDir()\fwupdate.exe.
std::string BuiltProgramPath();

bool FileExists(const std::string& path);
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// Names (not paths) of the plain files in dir, sorted.
std::vector<std::string> ListFiles(const std::string& dir);
// A fresh, empty work directory BuildDir()\e2e-work\<name> (emptied when it
// exists). Returns its path, "" on failure.
std::string MakeWorkDir(const std::string& name);

// ---- packed updaters ------------------------------------------------------

// One sample firmware image: its model name (10 characters, space padded),
// firmware version (4), size and the seed of its pseudo-random content.
struct ImageSpec {
  std::string model;
  std::string version;
  uint32_t size;
  uint32_t seed;
};

// Packs the built program with the images (first given lies behind the start
// marker) into dir\exe_name. plain (optional) receives each plain image in
// the order given. Returns the updater's path, "" with *error set on failure.
std::string BuildPackedUpdater(const std::string& dir, const std::vector<ImageSpec>& images,
                               std::vector<std::vector<uint8_t>>* plain = nullptr,
                               const std::string& exe_name = "fwupdate.exe", std::string* error = nullptr);

// ---- the simulated drive --------------------------------------------------

// Copies the built simulated ASPI library (BuildDir()\WNASPI32.DLL) into dir
// and makes Wine load that copy for exe_name instead of its own built-in
// library (AppDefaults\<exe_name>\DllOverrides; an override given in the
// child's environment is not honoured). False when the library is missing.
bool InstallSimulatedAspi(const std::string& dir, const std::string& exe_name = "fwupdate.exe");
// The environment that points the simulated library at its configuration,
// wire log and folder for flashed images (empty strings are left out).
using Environment = std::vector<std::pair<std::string, std::string>>;
Environment SimulatedDriveEnvironment(const std::string& config_path, const std::string& wire_log,
                                      const std::string& out_dir = "");
// Writes dir\name with the given text (e.g. the simulated drive's
// configuration); returns its path, "" on failure.
std::string WriteTextFile(const std::string& dir, const std::string& name, const std::string& text);

// ---- transports -------------------------------------------------------------

// How the program reaches the simulated drives: Windows 98 with the simulated
// WNASPI32.DLL beside it, or Wine's NT platform, whose SCSI pass-through
// turns each request into SG_IO on a device file, answered by the simulated
// drive's preload library (libfwsimsg.so, in LD_PRELOAD of the test run).
enum class Transport { Aspi, PassThrough };
// The transport of this test run: FW_E2E_TRANSPORT=nt is the pass-through,
// anything else ASPI.
Transport TransportUnderTest();
const char* TransportName(Transport transport);
// How the vendor commands start on the wire: "33 6C" through ASPI, "33 0C"
// through the pass-through (whose transport clears the old LUN bits).
std::string VendorCdbStart(Transport transport = TransportUnderTest());

// Sets up the simulated drives of a configuration for exe_name (in dir) on a
// transport and returns the environment to start the program with:
//  - ASPI: Windows 98 mode and the simulated library beside the program;
//  - pass-through: Wine's NT platform, one CD-ROM interface (SetupAPI keys)
//    and one device file per `drive` line of the configuration, instance 0,
//    1, ... in the order of those lines.
// Writes the configuration to dir\sim.cfg. False in *ok (when given) on any
// failure.
Environment SimulatedDrives(Transport transport, const std::string& dir, const std::string& config,
                            const std::string& wire_log, const std::string& out_dir = "",
                            const std::string& exe_name = "fwupdate.exe", bool* ok = nullptr);

// The CD-ROM interfaces of Wine's SetupAPI, instance 0 .. count-1: registry
// keys, and in the prefix's dosdevices a device file for each instance not
// listed in unopenable (whose open then fails). Removes every other
// instance first. False when the prefix cannot be written.
// The device files carry the simulated drive's settings (FWSIM_CONFIG, ...)
// as NAME=VALUE lines: Wine hands the environment a program is started with
// to its Windows side only, and the preload library works on the Unix side.
bool InstallCdromInterfaces(int count, const Environment& settings = {}, const std::vector<int>& unopenable = {});
void RemoveCdromInterfaces();

// Whether a wire log line is one command sent to a drive (an ASPI execute
// request, not its "pending" note, or an SG_IO request).
bool IsWireCommand(const std::string& line);

// ---- Wine settings --------------------------------------------------------

// HKCU\Software\Wine\AppDefaults\<exe_name>\Version = "win98", so Wine runs
// that program as Windows 98 (ASPI transport). Clear removes it again.
bool SetWin98Mode(const std::string& exe_name);
bool ClearWin98Mode(const std::string& exe_name);
// AppDefaults\<exe_name>\DllOverrides\<dll> = "native".
bool PreferNativeDll(const std::string& exe_name, const std::string& dll);
// Removes every Wine setting of exe_name (AppDefaults\<exe_name> whole).
void ClearAppDefaults(const std::string& exe_name);

// ---- windows and controls -------------------------------------------------

std::string WindowText(HWND window);
std::string WindowClass(HWND window);
// Top-level windows of a process (visible ones only unless all is set).
std::vector<HWND> TopLevelWindows(DWORD pid, bool all = false);
// A visible top-level dialog or message box of the process with exactly this
// caption, or null.
HWND FindDialog(DWORD pid, const std::string& caption);
// "caption [class]" of each visible top-level window, for failure messages.
std::string DescribeWindows(DWORD pid);

HWND Control(HWND dialog, int id);
// Text of control id; "" when there is no such control.
std::string ControlText(HWND dialog, int id);
// Texts of every static control of the window that has text, in z-order
// (a message box's message, a dialog's labels).
std::vector<std::string> StaticTexts(HWND window);
// The static texts joined by "|" (handy in expectations and messages).
std::string JoinedStaticTexts(HWND window);
bool IsControlVisible(HWND dialog, int id);
bool IsControlEnabled(HWND dialog, int id);

// Presses a button the way a click does for the dialog: WM_COMMAND
// (id, BN_CLICKED) posted to the dialog. Posted, not sent, so a modal
// window opened by the handler cannot block the test.
bool PressButton(HWND dialog, int id);
// Posts WM_CLOSE (the close box; a message box treats it as its OK/Cancel).
bool CloseWindow(HWND window);

// ---- screen ---------------------------------------------------------------

// Writes the whole screen to a 24-bit .bmp file.
bool SaveScreenshot(const std::string& path);
// Colour of one screen pixel; CLR_INVALID when it cannot be read.
COLORREF ScreenPixel(int x, int y);
// Colour at a point of a window's client area.
COLORREF ClientPixel(HWND window, int x, int y);
// A control's rectangle in screen coordinates (empty when there is none).
RECT ControlScreenRect(HWND dialog, int id);

// ---- the program under test -----------------------------------------------

class Program {
 public:
  Program() = default;
  // Kills the program when it still runs.
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Starts exe_path with the command-line arguments (appended after the
  // quoted program path) in work_dir, with extra environment variables on
  // top of this process's environment.
  bool Start(const std::string& exe_path, const std::string& arguments, const std::string& work_dir,
             const std::vector<std::pair<std::string, std::string>>& environment = {});

  DWORD pid() const { return pid_; }
  bool Running() const;
  // Whether any visible top-level window of the program was seen by one of
  // the waits below.
  bool saw_window() const { return saw_window_; }
  const std::string& error() const { return error_; }

  // Waits for a visible dialog or message box with this caption. On time-out
  // (or when the program ends first) returns null, kills the program and
  // sets error().
  HWND WaitForWindow(const std::string& caption, DWORD timeout_ms = kDefaultTimeoutMs);
  // Waits until no window with this caption is left (a dialog closed).
  bool WaitForWindowGone(const std::string& caption, DWORD timeout_ms = kDefaultTimeoutMs);
  // Waits for the program's end and gives its exit code. On time-out kills
  // it and returns false.
  bool WaitForExit(DWORD timeout_ms = kDefaultTimeoutMs, DWORD* exit_code = nullptr);
  void Kill();

 private:
  void NoteWindows();
  void Fail(const std::string& what);

  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  bool saw_window_ = false;
  std::string error_;
};

}  // namespace harness
