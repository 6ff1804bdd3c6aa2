// Every buffer command x every fault kind, once (one failure the dispatcher
// gives up on) and for good, through both transports. Whatever happens,
// Update Firmware goes out only after the whole image is in the drive's
// buffer and verified.
#include "drive_fixture.h"

namespace {

enum class Span { Once, Always };
struct Cell {
  SimKind command;
  SimFaultKind fault;
  Span span;
  SimDrives::Mode mode;
};

constexpr uint32_t kImageSize = 0x1000;
constexpr uint32_t kFaultyChunk = 0x800;

TransferResult Expected(const Cell& c) {
  // Wrong data, or none at all, is only seen by the comparison.
  const bool corrupt = c.fault == SimFaultKind::CorruptData || c.fault == SimFaultKind::SilentSuccess;
  if (c.command == SimKind::UpdateFirmware) return corrupt ? TransferOk : FlashFailed;  // never retried
  if (c.span == Span::Once) return TransferOk;
  if (corrupt) return CompareMismatch;
  return c.command == SimKind::WriteBuffer ? BufferWriteFailed : BufferReadFailed;
}

class FaultMatrix : public DriveTest, public ::testing::WithParamInterface<Cell> {
 protected:
  FaultMatrix() : DriveTest(GetParam().mode) {}
};

TEST_P(FaultMatrix, EndsWithItsResultAndNeverFlashesAnIncompleteImage) {
  const Cell c = GetParam();
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  const auto plain = Firmware("K53R-TX   ", "209A", kImageSize);
  LoadPayload({plain});
  SimFaultRule rule{c.command, 1, 1000, c.fault, 0x4400, -1};
  if (c.command != SimKind::UpdateFirmware) rule.at_offset = kFaultyChunk;
  // Wrong data fails one comparison; any other fault must outlast the
  // dispatcher's five attempts to fail a chunk.
  if (c.span == Span::Once) rule.count = Expected({c.command, c.fault, Span::Always, c.mode}) == CompareMismatch ? 1 : 5;
  drive.AddFault(rule);

  const TransferResult result = Update();
  EXPECT_EQ(result, Expected(c));

  const auto& log = sim.Log();
  size_t update_at = log.size();
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].kind == SimKind::UpdateFirmware) {
      update_at = i;
      break;
    }
    if (log[i].cdb[0] == 0x33) {
      EXPECT_EQ(log[i].cdb[1], c.mode == SimDrives::Mode::PassThrough ? 0x0C : 0x6C);
    }
  }
  if (result != TransferOk && result != FlashFailed) EXPECT_EQ(update_at, log.size()) << "flash after a failed chunk";
  if (update_at < log.size()) {
    for (uint32_t offset = 0; offset < kImageSize; offset += 1024) {
      bool written = false, verified = false;
      for (size_t i = 0; i < update_at; ++i) {
        const SimLogEntry& e = log[i];
        if (e.offset() != offset || e.outcome != SimOutcome::Completed || e.scsi_status != 0) continue;
        if (e.kind == SimKind::WriteBuffer) written = true, verified = false;
        if (e.kind == SimKind::ReadBuffer && written) verified = true;
      }
      EXPECT_TRUE(written && verified) << "chunk at " << offset;
    }
    const auto& buffer = drive.BufferContents();
    ASSERT_GE(buffer.size(), kImageSize);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), buffer.begin())) << "buffer differs from the image";
  }
  EXPECT_EQ(drive.flash_count(), result == TransferOk ? 1 : 0);
  if (result == TransferOk) EXPECT_EQ(drive.Flashed(), plain);
  EXPECT_EQ(sim.open_events, 0);
}

std::vector<Cell> AllCells() {
  std::vector<Cell> cells;
  for (SimDrives::Mode m : {SimDrives::Mode::Aspi, SimDrives::Mode::PassThrough})
    for (SimKind k : {SimKind::WriteBuffer, SimKind::ReadBuffer, SimKind::UpdateFirmware})
      for (SimFaultKind f : {SimFaultKind::CheckCondition, SimFaultKind::CorruptData, SimFaultKind::OsRejection,
                             SimFaultKind::NeverComplete, SimFaultKind::SilentSuccess})
        for (Span s : {Span::Once, Span::Always}) cells.push_back({k, f, s, m});
  return cells;
}

std::string Describe(const Cell& c) {
  static const char* faults[] = {"CheckCondition", "CorruptData", "OsRejection", "NeverComplete", "SilentSuccess"};
  return std::string(c.mode == SimDrives::Mode::Aspi ? "Aspi_" : "PassThrough_") + SimKindName(c.command) + "_" +
         faults[static_cast<int>(c.fault)] + (c.span == Span::Once ? "_Once" : "_Always");
}

std::string CellName(const ::testing::TestParamInfo<Cell>& info) { return Describe(info.param); }

// Printed by name: the raw bytes gtest would show include the padding.
void PrintTo(const Cell& c, std::ostream* os) { *os << Describe(c); }

INSTANTIATE_TEST_SUITE_P(AllFaults, FaultMatrix, ::testing::ValuesIn(AllCells()), CellName);

}  // namespace
