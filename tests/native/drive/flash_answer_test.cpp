// The flash command against a simulated drive, through both transports:
// sent again only when the drive answers that it did not carry it out;
// after a time-out, a transport error or any other failure it went out once,
// and nothing more reaches the drive before the settle is over.
#include <algorithm>

#include "drive_fixture.h"

namespace {

struct FlashCell {
  const char* name;
  SimFaultKind fault;
  uint16_t sense;
  size_t flash_commands;
  TransferResult result;
  int flashed;  // times the drive programmed its flash
};

const FlashCell kCells[] = {
    {"TimeOut", SimFaultKind::NeverComplete, 0, 1, FlashFailed, 0},
    {"TransportError", SimFaultKind::OsRejection, 0, 1, FlashFailed, 0},
    {"CarriedOutAnswerLost", SimFaultKind::LostCompletion, 0, 1, FlashFailed, 1},
    {"Refused", SimFaultKind::CheckCondition, 0x4400, 1, FlashFailed, 0},
    {"PowerOnReset", SimFaultKind::CheckCondition, 0x2900, 2, TransferOk, 1},
    {"BecomingReady", SimFaultKind::CheckCondition, 0x0401, 2, TransferOk, 1},
};

struct Param {
  FlashCell cell;
  SimDrives::Mode mode;
};
void PrintTo(const Param& p, std::ostream* os) { *os << p.cell.name; }

class FlashAnswer : public DriveTest, public ::testing::WithParamInterface<Param> {
 protected:
  FlashAnswer() : DriveTest(GetParam().mode) {}
};

TEST_P(FlashAnswer, FlashCommandsOnTheWireAndTheSettleBeforeAnythingElse) {
  const FlashCell& c = GetParam().cell;
  Host().update_guard = [](bool on) { g_host_log->events.push_back(on ? "guard:on" : "guard:off"); };
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  const auto plain = Firmware("K53R-TX   ", "209A", 0x1000);
  LoadPayload({plain});
  drive.AddFault(SimFaultRule{SimKind::UpdateFirmware, 1, 1, c.fault, c.sense, -1});

  EXPECT_EQ(Update(), c.result);
  EXPECT_EQ(sim.Commands(SimKind::UpdateFirmware).size(), c.flash_commands);
  EXPECT_EQ(sim.Log().back().kind, SimKind::UpdateFirmware) << "a command after the flash command";
  EXPECT_EQ(drive.flash_count(), c.flashed);
  if (c.flashed) EXPECT_EQ(drive.Flashed(), plain);

  // The settle follows the flash command on every outcome, inside the
  // guarded stretch; "Finish update" only after a good answer.
  const std::vector<std::string> tail(host.events.end() - 2, host.events.end());
  if (c.result == TransferOk) {
    EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "status:Finish update, Please wait."), 1);
    EXPECT_EQ(tail, (std::vector<std::string>{"pos:120", "guard:off"}));
  } else {
    EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "status:Finish update, Please wait."), 0);
    EXPECT_EQ(tail, (std::vector<std::string>{"sleep:10000", "guard:off"}));
    EXPECT_EQ(state.status_text, "Transfer data is completely, recursive = 0, Begin to update firmware ...");
  }
  EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "sleep:10000"), 1);
}

std::vector<Param> Params() {
  std::vector<Param> params;
  for (SimDrives::Mode m : {SimDrives::Mode::Aspi, SimDrives::Mode::PassThrough})
    for (const FlashCell& c : kCells) params.push_back({c, m});
  return params;
}

INSTANTIATE_TEST_SUITE_P(Outcomes, FlashAnswer, ::testing::ValuesIn(Params()),
                         [](const ::testing::TestParamInfo<Param>& info) {
                           return std::string(info.param.mode == SimDrives::Mode::Aspi ? "Aspi_" : "PassThrough_") +
                                  info.param.cell.name;
                         });

}  // namespace
