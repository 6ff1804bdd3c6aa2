// A drive that answers a buffer or flash command with a unit attention did
// not carry it out: the program sends it again, and the drive ends up
// flashed once with the whole image.
#include <windows.h>

#include <cstdio>
#include <cstring>

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
  uint32_t length;        // the data it carries
  bool pass_through_only; // visible through the pass-through only
};

// 0x2000 bytes: eight chunks.
const AttentionCase kCases[] = {
    {"WriteBufferWithoutReadBack", "K53R-PX", "fault write 3 1 check 2900", &WireCommand::IsWrite, 0x800, 1024, false},
    {"ReadBuffer", "K53R-TX", "fault read 2 1 check 2800", &WireCommand::IsRead, 0x400, 1024, false},
    {"UpdateFirmware", "K53R-TX", "fault update 1 1 check 2900", &WireCommand::IsUpdate, 0, 0, false},
    // A Write Buffer that moved only half its chunk: the pass-through hands
    // back the length that moved; an ASPI request block has no such count,
    // so through ASPI the program cannot tell.
    {"ShortWriteBufferWithoutReadBack", "K53R-PX", "fault write 3 1 short", &WireCommand::IsWrite, 0x800, 1024, true},
};

void PrintTo(const AttentionCase& c, std::ostream* out) { *out << c.name; }

class UnitAttention : public RunTest, public ::testing::WithParamInterface<AttentionCase> {};

TEST_P(UnitAttention, IsSentAgainAndTheImageIsFlashedByteForByte) {
  const AttentionCase& c = GetParam();
  if (c.pass_through_only && harness::TransportUnderTest() != harness::Transport::PassThrough) {
    GTEST_SKIP() << "an ASPI request block reports no transfer length: a short transfer is not seen";
  }
  const std::string exe = Pack({{c.model, "209B", 0x2000, 43}});
  ASSERT_FALSE(exe.empty());
  const std::string model10 = std::string(c.model) + std::string(10 - std::string(c.model).size(), ' ');
  const auto environment = Drives(DriveConfig(model10, "209A", 0, c.fault));
  RestartWatch watch;
  Program run;
  // Traced: the trace shows what each attempt carried.
  ASSERT_TRUE(run.Start(exe, "/LOG FILE", dir_, environment)) << run.error();
  ASSERT_NO_FATAL_FAILURE(Confirm(run));
  ExpectFinalMessage(run, "FINISH  UPDATE", kSuccessText, IDCANCEL, 60000);
  EXPECT_EQ(watch.requests(), 0);

  int sent = 0, updates_done = 0;
  for (const WireCommand& command : Executes()) {
    if ((command.*c.kind)() && command.Offset() == c.offset) {
      ++sent;
      // Every attempt goes out as built, whatever the last one handed back
      // (the pass-through's system writes the moved length and the sense
      // length it filled into the request).
      EXPECT_EQ(command.length, c.length) << command.line;
      if (command.sense_room >= 0) EXPECT_EQ(command.sense_room, 32) << command.line;
    }
    if (command.IsUpdate() && command.ok) ++updates_done;
  }
  EXPECT_EQ(sent, 2) << "the command the drive did not carry out goes out again";
  if (c.kind == &WireCommand::IsWrite) {
    // The failed attempt's trace shows the chunk it carried, though the
    // pass-through's system hands back that nothing moved.
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(harness::ReadFileBytes(harness::JoinPath(dir_, "fwupdate.log"), &bytes));
    const std::string log(bytes.begin(), bytes.end());
    char command[64], data[64];
    std::snprintf(command, sizeof command, "Command       :       %s F1 %02X %02X %02X",
                  harness::VendorCdbStart().c_str(), (c.offset >> 16) & 0xFF, (c.offset >> 8) & 0xFF, c.offset & 0xFF);
    std::snprintf(data, sizeof data, "DataBuf       :       %02X %02X %02X %02X", plain_[0][c.offset],
                  plain_[0][c.offset + 1], plain_[0][c.offset + 2], plain_[0][c.offset + 3]);
    const size_t at = log.find(command);
    ASSERT_NE(at, std::string::npos) << command;
    EXPECT_EQ(log.substr(at + 2 * 94, std::strlen(data)), data);
  }
  EXPECT_EQ(updates_done, 1);
  ASSERT_EQ(plain_.size(), 1u);
  EXPECT_EQ(Flashed(), plain_[0]);
  EXPECT_TRUE(Flashed(0, 2).empty()) << "flashed once";
}

INSTANTIATE_TEST_SUITE_P(BufferAndFlash, UnitAttention, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AttentionCase>& info) { return info.param.name; });

}  // namespace
}  // namespace run
