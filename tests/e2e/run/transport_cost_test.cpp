// What the pass-through costs against ASPI: the same full-size update
// (0x80000 bytes, every chunk read back) through each transport in one run,
// as a user starts it (progress dialog, worker thread), twice each.
#include <windows.h>

#include <cstdio>

#include "tests/e2e/run/run_fixture.h"

namespace run {
namespace {

using harness::Program;
using harness::Transport;

// The goal is 1.2; the test allows for a busy machine (the best of two runs
// each, and up to two rounds more while the other core's load keeps the ratio
// above the bound) and still catches a per-command cost that grew: that shows
// in every round.
constexpr double kMaxRatio = 1.5;
constexpr int kRounds = 2;
constexpr int kMostRounds = 4;

// The last bytes of a file ("" when it cannot be read): the wire log grows
// by a line a command, and only its end is of interest while it does.
std::string Tail(const std::string& path, DWORD bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  const DWORD size = GetFileSize(file, nullptr);
  std::string text;
  if (size != INVALID_FILE_SIZE) {
    const DWORD from = size > bytes ? size - bytes : 0;
    text.resize(size - from);
    DWORD got = 0;
    if (SetFilePointer(file, static_cast<LONG>(from), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &got, nullptr)) {
      got = 0;
    }
    text.resize(got);
  }
  CloseHandle(file);
  return text;
}

class TransportCost : public RunTest {
 protected:
  struct Measured {
    DWORD transfer_ms = 0;  // "Yes" to the question until Update Firmware is on the wire
    DWORD update_ms = 0;    // "Yes" to the question until the finish form
  };

  Measured RunOnce(Transport transport) {
    Measured m;
    const std::string exe = Pack({{"K53R-TX", "209B", 0x80000, 71}});
    const auto environment = DrivesOn(transport, DriveConfig("K53R-TX   ", "209A"));
    DeleteFileA(wire_log_.c_str());
    Program run;
    if (exe.empty() || !run.Start(exe, "", dir_, environment)) {
      ADD_FAILURE() << run.error();
      return m;
    }
    HWND main = WaitForMainDialog(run);
    if (!main || !WaitForYesEnabled(run, main)) return m;
    harness::PressButton(main, IDOK);
    HWND question = run.WaitForWindow("fwupdate", 10000);
    if (!question) {
      ADD_FAILURE() << run.error();
      return m;
    }
    harness::PressButton(question, IDYES);
    const DWORD start = GetTickCount();
    const std::string update = harness::VendorCdbStart(transport) + " F1 00 00 00 80";
    HWND finish = nullptr;
    while (!(finish = harness::FindDialog(run.pid(), "FINISH  UPDATE"))) {
      if (!run.Running() || GetTickCount() - start > 180000) {
        ADD_FAILURE() << "no finish form; showing " << harness::DescribeWindows(run.pid());
        return m;
      }
      if (!m.transfer_ms && Tail(wire_log_, 1024).find("cdb=" + update) != std::string::npos) {
        m.transfer_ms = GetTickCount() - start;
      }
      Sleep(20);
    }
    m.update_ms = GetTickCount() - start;
    if (!m.transfer_ms) m.transfer_ms = m.update_ms;
    harness::PressButton(finish, IDCANCEL);
    ExpectSilentEnd(run);
    EXPECT_TRUE(Flashed() == plain_[0]) << "the drive's flash differs from the plain image";
    return m;
  }
};

TEST_F(TransportCost, PassThroughSendsTheChunksAboutAsFastAsAspi) {
  // Both transports need the SG_IO preload library in this process's
  // session: only the pass-through run of the suite has it.
  if (harness::TransportUnderTest() != Transport::PassThrough) GTEST_SKIP() << "measured in the pass-through run";
  Measured aspi, nt;
  double ratio = 0;
  int rounds = 0;
  while (rounds < kMostRounds && (rounds < kRounds || ratio > kMaxRatio)) {
    const Measured a = RunOnce(Transport::Aspi);
    ASSERT_FALSE(HasFailure());
    const Measured n = RunOnce(Transport::PassThrough);
    ASSERT_FALSE(HasFailure());
    if (rounds == 0 || a.transfer_ms < aspi.transfer_ms) aspi = a;
    if (rounds == 0 || n.transfer_ms < nt.transfer_ms) nt = n;
    ++rounds;
    ratio = static_cast<double>(nt.transfer_ms) / static_cast<double>(aspi.transfer_ms);
  }
  std::printf("transport cost: best of %d rounds\n", rounds);
  std::printf("transport cost: 0x80000 bytes with read-back: chunks ASPI %lu ms, NT pass-through %lu ms (%.2fx); "
              "until the finish form ASPI %lu ms, NT %lu ms (%.2fx)\n",
              static_cast<unsigned long>(aspi.transfer_ms), static_cast<unsigned long>(nt.transfer_ms), ratio,
              static_cast<unsigned long>(aspi.update_ms), static_cast<unsigned long>(nt.update_ms),
              static_cast<double>(nt.update_ms) / static_cast<double>(aspi.update_ms));
  RecordProperty("aspi_transfer_ms", static_cast<int>(aspi.transfer_ms));
  RecordProperty("nt_transfer_ms", static_cast<int>(nt.transfer_ms));
  RecordProperty("aspi_update_ms", static_cast<int>(aspi.update_ms));
  RecordProperty("nt_update_ms", static_cast<int>(nt.update_ms));
  EXPECT_LE(ratio, kMaxRatio);
}

}  // namespace
}  // namespace run
