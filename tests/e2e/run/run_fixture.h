// The whole update run as a user meets it: the real packed program under
// Wine, driven through its windows, with the simulated drive behind the
// transport of the test run (harness::TransportUnderTest(): Windows 98 with
// the simulated WNASPI32.DLL, or the NT pass-through over SG_IO).
#pragma once
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "tests/harness/winharness.h"

namespace run {

// Control ids of the program's windows.
constexpr int kMessageText = 1015;
constexpr int kWarningLine = 1004;
constexpr int kStatusLine = 1040;
constexpr int kTraceField = 1033;
constexpr int kFromField = 1025;
constexpr int kToField = 1028;

constexpr const char kCaption[] = "Firmware Update Ver 1.94";
constexpr const char kMainDialogClass[] = "VARNE";
constexpr const char kWarningText[] = "WARNING!! THIS PROGRAM IS PROCESSING. PLESASE DON'T TURN POWER OFF";
constexpr const char kSuccessText[] =
    "\nThe firmware of drive has been updated already."
    "\nIf you do not reboot your computer, the device"
    "\ndriver of CD-ROM/RW drive may not work properly."
    "\nPlease reboot your computer.";

// A drive of the simulated library's configuration file at adapter 0,
// target `target`, with its identity and any further settings (faults,
// delay), one per line.
std::string DriveConfig(const std::string& model, const std::string& version, int target = 0,
                        const std::string& settings = "");

// One line of the wire log: a command sent to a drive and what it carried.
// The vendor commands start with VendorCdbStart() of the transport under test.
struct WireCommand {
  std::string line;
  int target = -1;
  std::string cdb;  // "33 6C F1 00 04 00 00 04 00 4B 56 44"
  bool ok = false;  // result=01
  uint32_t length = 0;  // the data transfer length it went out with
  int sense_room = -1;  // the room for sense bytes it went out with (SG_IO; -1 through ASPI)
  bool IsInquiry() const { return cdb.rfind("12 ", 0) == 0; }
  bool IsIdentify() const { return Vendor("F0"); }
  bool IsWrite() const { return Vendor("F1") && !IsUpdate(); }
  bool IsRead() const { return Vendor("F2"); }
  // Write Buffer with offset 0, length 0 and a mode of 80h or 40h.
  bool IsUpdate() const { return Vendor("F1 00 00 00 80 00 00") || Vendor("F1 00 00 00 40 00 00"); }
  bool IsBufferCommand() const { return Vendor("F1") || Vendor("F2"); }
  bool Vendor(const std::string& rest) const {
    return cdb.rfind(harness::VendorCdbStart() + " " + rest, 0) == 0;
  }
  uint32_t Offset() const;  // CDB bytes 3..5
};

// A visible, off-screen window of this test process that notes a request to
// end the session (the only trace a restart request leaves under Wine) and
// refuses it, so that nothing else of the session is ended.
class RestartWatch {
 public:
  RestartWatch();
  ~RestartWatch();
  bool ready() const { return window_ != nullptr; }
  int requests() const { return requests_.load(); }
  // Waits up to timeout_ms for a first request.
  bool WaitForRequest(DWORD timeout_ms) const;

 private:
  static DWORD WINAPI Thread(void* self);
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  HANDLE thread_ = nullptr;
  HANDLE ready_ = nullptr;
  DWORD thread_id_ = 0;
  std::atomic<HWND> window_{nullptr};
  std::atomic<int> requests_{0};
};

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Packs the built program with these images into the work directory
  // (plain_ receives the plain images in the order given).
  std::string Pack(const std::vector<harness::ImageSpec>& images, const std::string& exe_name = "fwupdate.exe");
  // The simulated drives of this configuration on the transport under test;
  // returns the environment to start the program with.
  harness::Environment Drives(const std::string& config, const std::string& exe_name = "fwupdate.exe");
  // The same on a given transport.
  harness::Environment DrivesOn(harness::Transport transport, const std::string& config,
                                const std::string& exe_name = "fwupdate.exe");

  std::string WireLog() const;
  std::vector<WireCommand> Executes() const;
  int Count(bool (WireCommand::*kind)() const) const;
  bool AnyBufferCommand() const { return Count(&WireCommand::IsBufferCommand) > 0; }
  // The image the simulated drive at adapter 0 / target programmed at its
  // nth update; empty when there is none.
  std::vector<uint8_t> Flashed(int target = 0, int nth = 1) const;

  // The main dialog (class "VARNE") of the program, or null after time-out.
  HWND WaitForMainDialog(harness::Program& run, DWORD timeout_ms = harness::kDefaultTimeoutMs);
  // Waits until "Yes" of the main dialog is enabled (it is once the dialog
  // has listed the drive's images). false (and a failure noted) when the
  // program ends first or after time-out.
  bool WaitForYesEnabled(harness::Program& run, HWND main_dialog, DWORD timeout_ms = 10000);
  // "Yes" in the main dialog, then the answer to the confirmation question
  // (IDYES or IDNO). Returns the question's text ("" when it never came).
  std::string AnswerConfirmation(harness::Program& run, HWND main_dialog, int answer);
  // Waits for the main dialog (with the program's caption), presses "Yes"
  // and answers the question with "Yes"; checks the question's text.
  void Confirm(harness::Program& run,
               const std::string& question = "Are you sure to update firmware from\nVer 209A to Ver 209B");
  // The main dialog of a process, when it is on the screen.
  static HWND FindMainDialog(DWORD pid);
  // The progress dialog: captionless, with the warning line.
  static HWND FindProgressDialog(DWORD pid);
  // Waits for a message dialog with this caption, checks its text, closes
  // it with button and waits for the program to end with exit code 0.
  void ExpectFinalMessage(harness::Program& run, const std::string& caption, const std::string& text,
                          int button = IDOK, DWORD timeout_ms = harness::kDefaultTimeoutMs);
  // Waits for the end of a program that must show nothing more.
  void ExpectSilentEnd(harness::Program& run, DWORD timeout_ms = 10000);

  std::string dir_;
  std::string wire_log_;
  std::string out_dir_;
  std::vector<std::vector<uint8_t>> plain_;
};

// The pixels of a screen rectangle (0x00RRGGBB each, row by row).
std::vector<uint32_t> CaptureScreenRect(const RECT& rect);
// Whether a pixel of exactly this colour is in the rectangle.
bool RectShowsColour(const RECT& rect, COLORREF colour);
// A short hash of the pixels of a rectangle, to see whether it changed.
uint64_t RectHash(const RECT& rect);
// Writes what the screen shows of a rectangle (of a window, with a margin;
// the whole screen for an empty one) to a 24-bit .bmp file.
bool SaveScreenRect(const RECT& rect, const std::string& path);
bool SaveWindowShot(HWND window, const std::string& path);

}  // namespace run
