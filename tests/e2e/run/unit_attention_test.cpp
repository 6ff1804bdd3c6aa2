// A drive that answers a buffer or flash command with a unit attention did
// not carry it out: the program sends it again, and the drive ends up
// flashed once with the whole image.
#include <windows.h>

#include "tests/e2e/run/run_fixture.h"

namespace run {
namespace {

using harness::Program;

struct AttentionCase {
  const char* name;
  const char* model;      // the drive's model (K53R-PX: no read-back)
  const char* fault;      // setting of the simulated drive
  bool (WireCommand::*kind)() const;
  uint32_t offset;        // the command's offset (buffer commands)
};

// 0x2000 bytes: eight chunks.
const AttentionCase kCases[] = {
    {"WriteBufferWithoutReadBack", "K53R-PX", "fault write 3 1 check 2900", &WireCommand::IsWrite, 0x800},
    {"UpdateFirmware", "K53R-TX", "fault update 1 1 check 2900", &WireCommand::IsUpdate, 0},
};

void PrintTo(const AttentionCase& c, std::ostream* out) { *out << c.name; }

class UnitAttention : public RunTest, public ::testing::WithParamInterface<AttentionCase> {};

TEST_P(UnitAttention, IsSentAgainAndTheImageIsFlashedByteForByte) {
  const AttentionCase& c = GetParam();
  const std::string exe = Pack({{c.model, "209B", 0x2000, 43}});
  ASSERT_FALSE(exe.empty());
  const std::string model10 = std::string(c.model) + std::string(10 - std::string(c.model).size(), ' ');
  const auto environment = Drives(DriveConfig(model10, "209A", 0, c.fault));
  RestartWatch watch;
  Program run;
  ASSERT_TRUE(run.Start(exe, "", dir_, environment)) << run.error();
  HWND main = WaitForMainDialog(run);
  ASSERT_TRUE(main);
  ASSERT_EQ(AnswerConfirmation(run, main, IDYES), "Are you sure to update firmware from\nVer 209A to Ver 209B");
  ExpectFinalMessage(run, "FINISH  UPDATE", kSuccessText, IDCANCEL, 60000);
  EXPECT_EQ(watch.requests(), 0);

  int sent = 0, updates_done = 0;
  for (const WireCommand& command : Executes()) {
    if ((command.*c.kind)() && command.Offset() == c.offset) ++sent;
    if (command.IsUpdate() && command.ok) ++updates_done;
  }
  EXPECT_EQ(sent, 2) << "the command the drive did not carry out goes out again";
  EXPECT_EQ(updates_done, 1);
  ASSERT_EQ(plain_.size(), 1u);
  EXPECT_EQ(Flashed(), plain_[0]);
  EXPECT_TRUE(Flashed(0, 2).empty()) << "flashed once";
}

INSTANTIATE_TEST_SUITE_P(BufferAndFlash, UnitAttention, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AttentionCase>& info) { return info.param.name; });

}  // namespace
}  // namespace run
