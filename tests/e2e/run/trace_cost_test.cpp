// What the live trace costs a full-size update: the same 0x80000-byte image
// with read-back, once with the transfer on the main thread and no trace,
// once with "/LOG" "SCR" (also on the main thread, every attempt traced into
// the debug window). The update waits for every line, so the lines must be
// cheap, and the window must still show new lines while they arrive.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "tests/e2e/run/run_fixture.h"

namespace run {
namespace {

using harness::Program;

constexpr double kMaxCostPerLineMs = 3.0;
constexpr DWORD kMaxShowGapMs = 250;
constexpr DWORD kSampleMs = 20;

DWORD_PTR TextLength(HWND control) {
  DWORD_PTR length = 0;
  SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length);
  return length;
}

class TraceCost : public RunTest {
 protected:
  struct Measured {
    DWORD update_ms = 0;   // "Yes" to the question until the finish form
    size_t lines = 0;      // lines in the debug window at the end
    DWORD longest_gap = 0; // longest time the window showed nothing new while lines arrived
  };

  Measured RunOnce(const std::string& arguments, bool traced) {
    Measured m;
    const std::string exe = Pack({{"K53R-TX", "209B", 0x80000, 51}});
    EXPECT_FALSE(exe.empty());
    const auto environment = Drives(DriveConfig("K53R-TX   ", "209A"));
    Program run;
    if (!run.Start(exe, arguments, dir_, environment)) {
      ADD_FAILURE() << run.error();
      return m;
    }
    HWND debug = traced ? run.WaitForWindow("Debug Window") : nullptr;
    if (traced && !debug) {
      ADD_FAILURE() << run.error();
      return m;
    }
    HWND main = WaitForMainDialog(run);
    if (!main) return m;
    if (!WaitForYesEnabled(run, main)) return m;
    harness::PressButton(main, IDOK);
    HWND question = run.WaitForWindow("fwupdate", 10000);
    if (!question) {
      ADD_FAILURE() << run.error();
      return m;
    }
    const RECT field = debug ? harness::ControlScreenRect(debug, kTraceField) : RECT{};
    harness::PressButton(question, IDYES);
    const DWORD start = GetTickCount();

    // A new line on screen: the field's pixels changed and its text grew
    // since the last one (the caret's blinking alone is no new line).
    HWND trace_field = debug ? harness::Control(debug, kTraceField) : nullptr;
    uint64_t pixels = debug ? RectHash(field) : 0;
    DWORD_PTR length_shown = debug ? TextLength(trace_field) : 0;
    DWORD last_shown = 0;
    bool any_shown = false;
    HWND finish = nullptr;
    while (!(finish = harness::FindDialog(run.pid(), "FINISH  UPDATE"))) {
      if (!run.Running() || GetTickCount() - start > 180000) {
        ADD_FAILURE() << "no finish form; showing " << harness::DescribeWindows(run.pid());
        return m;
      }
      if (debug) {
        const uint64_t now_pixels = RectHash(field);
        const DWORD now = GetTickCount();
        if (now_pixels != pixels) {
          pixels = now_pixels;
          const DWORD_PTR length = TextLength(trace_field);
          if (length != length_shown) {
            if (any_shown) m.longest_gap = std::max(m.longest_gap, now - last_shown);
            any_shown = true;
            last_shown = now;
            length_shown = length;
          }
        }
      }
      Sleep(kSampleMs);
    }
    m.update_ms = GetTickCount() - start;
    if (debug) {
      const std::string text = harness::ControlText(debug, kTraceField);
      m.lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
      if (!any_shown) ADD_FAILURE() << "the debug window showed no new line during the update";
    }
    harness::PressButton(finish, IDCANCEL);
    ExpectSilentEnd(run);
    EXPECT_TRUE(Flashed() == plain_[0]) << "the drive's flash differs from the plain image";
    return m;
  }
};

TEST_F(TraceCost, LiveTraceAddsAtMostThreeMillisecondsALineAndKeepsShowingLines) {
  const Measured plain = RunOnce("- SCR", false);
  ASSERT_FALSE(HasFailure());
  ASSERT_TRUE(DeleteFileA(wire_log_.c_str()));
  const Measured traced = RunOnce("/LOG SCR", true);
  ASSERT_FALSE(HasFailure());

  // Identification (before the clock starts) is in the window too; every
  // attempt is at most six lines, so this only makes the cost look higher.
  ASSERT_GT(traced.lines, 5000u);
  const double per_line =
      (static_cast<double>(traced.update_ms) - static_cast<double>(plain.update_ms)) / traced.lines;
  std::printf("trace cost: update without trace %lu ms, with \"/LOG SCR\" %lu ms, %zu lines, %.3f ms a line, "
              "longest time without a new line on screen %lu ms\n",
              static_cast<unsigned long>(plain.update_ms), static_cast<unsigned long>(traced.update_ms), traced.lines,
              per_line, static_cast<unsigned long>(traced.longest_gap));
  RecordProperty("update_ms_without_trace", static_cast<int>(plain.update_ms));
  RecordProperty("update_ms_with_trace", static_cast<int>(traced.update_ms));
  RecordProperty("traced_lines", static_cast<int>(traced.lines));
  EXPECT_LE(per_line, kMaxCostPerLineMs);
  // A sample's time of slack: a change is seen only at the next sample.
  EXPECT_LE(traced.longest_gap, kMaxShowGapMs + kSampleMs);
}

}  // namespace
}  // namespace run
