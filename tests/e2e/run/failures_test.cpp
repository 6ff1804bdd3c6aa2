// Transfers that fail: each result with its error text, and never an
// Update Firmware after a chunk that did not get into the drive whole.
#include <windows.h>

#include <algorithm>

#include "tests/e2e/run/run_fixture.h"

namespace run {
namespace {

using harness::Program;

struct FailureCase {
  const char* name;
  const char* fault;        // setting of the simulated drive
  const char* text;         // the error message
  uint32_t failing_offset;  // the chunk that fails for good
  bool update_sent;
};

// 0x2000 bytes: eight chunks, each read back (K53R-TX).
const FailureCase kFailures[] = {
    // Every read from the third on returns one wrong byte: the seventh
    // mismatch (the first chunk failure beyond the retry budget) ends it.
    {"CompareMismatch", "fault read 3 1000 corrupt", "\r\n BIOS DATA COMPARE ERROR!!", 0x800, false},
    // Write error sense from the fourth write on.
    {"BufferWriteFailed", "fault write 4 1000 check 0C00", "\r\n BUFFER WRITE ERROR!!", 0xC00, false},
    {"BufferReadFailed", "fault read 2 1000 check 1100", "\r\n BUFFER READ ERROR!!", 0x400, false},
    // The system refuses every request from the fourth write on.
    {"BufferWriteRejected", "fault write 4 1000 reject", "\r\n BUFFER WRITE ERROR!!", 0xC00, false},
    {"FlashFailed", "fault update 1 1000 check 4400", "\r\n BIOS UPDATE ERROR!!", 0, true},
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class Failures : public RunTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failures, EndWithTheResultsErrorTextAndNoFlashAfterAFailedChunk) {
  const FailureCase& c = GetParam();
  const std::string exe = Pack({{"K53R-TX", "209B", 0x2000, 41}});
  ASSERT_FALSE(exe.empty());
  const auto environment = Drives(DriveConfig("K53R-TX   ", "209A", 0, c.fault));
  RestartWatch watch;
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  ASSERT_NO_FATAL_FAILURE(Confirm(run));
  ExpectFinalMessage(run, "ERROR", c.text, IDOK, 60000);
  EXPECT_EQ(watch.requests(), 0);

  const std::vector<WireCommand> wire = Executes();
  int updates = 0;
  uint32_t highest_write = 0;
  for (const WireCommand& command : wire) {
    if (command.IsUpdate()) {
      ++updates;
    } else if (command.IsWrite()) {
      EXPECT_EQ(updates, 0) << "a chunk after the update command";
      highest_write = std::max(highest_write, command.Offset());
    }
  }
  if (c.update_sent) {
    // All eight chunks went in; the update command failed (every attempt of
    // the dispatcher) and nothing followed it.
    EXPECT_EQ(highest_write, 0x1C00u);
    EXPECT_GE(updates, 1);
    EXPECT_TRUE(wire.back().IsUpdate()) << wire.back().line;
  } else {
    EXPECT_EQ(updates, 0) << "Update Firmware after a failed chunk";
    EXPECT_EQ(highest_write, c.failing_offset) << "chunks after the one that failed";
  }
  EXPECT_TRUE(Flashed().empty());
}

INSTANTIATE_TEST_SUITE_P(Results, Failures, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

}  // namespace
}  // namespace run
