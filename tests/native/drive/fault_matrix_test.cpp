// Every buffer command x every fault kind, once (one failure the dispatcher
// gives up on) and for good, through both transports. Whatever happens,
// Update Firmware goes out only after the whole image is in the drive's
// buffer and verified.
#include "drive_fixture.h"

#include <cstdio>
#include <map>
#include <utility>

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
  // The pass-through reports that no data moved: a failed attempt.
  const bool seen_as_short = c.fault == SimFaultKind::SilentSuccess && c.mode == SimDrives::Mode::PassThrough;
  if (seen_as_short && c.span == Span::Always)
    return c.command == SimKind::WriteBuffer ? BufferWriteFailed : BufferReadFailed;
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

namespace {

// A command the drive answered with a unit attention was not carried out:
// it is sent again, and the drive ends up with the image, flashed once.
// Also a data phase that moved only half a chunk (pass-through reports it).
struct AttentionCell {
  SimKind command;
  SimFaultKind fault;
  uint16_t sense;
  bool read_back;
  SimDrives::Mode mode;
};

std::string DescribeAttention(const AttentionCell& c) {
  char sense[8];
  std::snprintf(sense, sizeof sense, "%04X", c.sense);
  return std::string(c.mode == SimDrives::Mode::Aspi ? "Aspi_" : "PassThrough_") + SimKindName(c.command) + "_" +
         (c.fault == SimFaultKind::ShortTransfer ? std::string("Short") : std::string("Sense") + sense) +
         (c.read_back ? "_ReadBack" : "_NoReadBack");
}
void PrintTo(const AttentionCell& c, std::ostream* os) { *os << DescribeAttention(c); }

class NotCarriedOut : public DriveTest, public ::testing::WithParamInterface<AttentionCell> {
 protected:
  NotCarriedOut() : DriveTest(GetParam().mode) {}
};

TEST_P(NotCarriedOut, IsSentAgainAndTheDriveIsFlashedOnceWithTheWholeImage) {
  const AttentionCell c = GetParam();
  const std::string model = c.read_back ? "K53R-TX   " : "K53R-PX   ";
  SimDrive& drive = AddDrive(model, "208W");
  const auto plain = Firmware(model, "209A", kImageSize);
  LoadPayload({plain});
  SimFaultRule rule{c.command, 1, 1, c.fault, c.sense, -1};
  if (c.command != SimKind::UpdateFirmware) rule.at_offset = kFaultyChunk;
  drive.AddFault(rule);

  ASSERT_EQ(Update(), TransferOk);
  ASSERT_EQ(state.read_back_verification != 0, c.read_back);

  // The faulty command went out once more; nothing else was repeated.
  const bool fires = c.command != SimKind::ReadBuffer || c.read_back;
  size_t sent = 0;
  for (const SimLogEntry* e : sim.Commands(c.command))
    if (c.command == SimKind::UpdateFirmware || e->offset() == kFaultyChunk) ++sent;
  EXPECT_EQ(sent, fires ? 2u : 0u);
  // ... and nothing else went out twice: not the chunk's write after a
  // read-back the drive did not carry out, not the chunk before or after.
  std::map<std::pair<SimKind, uint32_t>, size_t> times;
  for (const SimLogEntry& e : sim.Log()) ++times[{e.kind, e.offset()}];
  for (const auto& [command, n] : times) {
    const bool faulty =
        command.first == c.command && (c.command == SimKind::UpdateFirmware || command.second == kFaultyChunk);
    EXPECT_EQ(n, faulty ? 2u : 1u) << SimKindName(command.first) << " at " << command.second;
  }
  const size_t chunks = kImageSize / 1024;
  EXPECT_EQ(sim.Log().size(), chunks * (c.read_back ? 2 : 1) + 1 + (fires ? 1 : 0));

  // Update Firmware never follows a chunk the drive did not carry out.
  const auto& log = sim.Log();
  size_t carried_out_updates = 0;
  std::vector<bool> written(kImageSize / 1024, false);
  bool short_write_pending = c.fault == SimFaultKind::ShortTransfer && c.command == SimKind::WriteBuffer;
  for (const SimLogEntry& e : log) {
    const bool done = e.outcome == SimOutcome::Completed && e.scsi_status == 0;
    if (e.kind == SimKind::WriteBuffer && done) {
      // The first write of the faulty chunk moved only half of it.
      const bool half = short_write_pending && e.offset() == kFaultyChunk;
      if (half) short_write_pending = false;
      written[e.offset() / 1024] = !half;
    }
    if (e.kind == SimKind::UpdateFirmware) {
      for (size_t i = 0; i < written.size(); ++i) EXPECT_TRUE(written[i]) << "flash before chunk " << i;
      if (done) ++carried_out_updates;
    }
  }
  EXPECT_EQ(carried_out_updates, 1u);
  EXPECT_EQ(drive.flash_count(), 1);
  EXPECT_EQ(drive.Flashed(), plain);
}

std::vector<AttentionCell> AttentionCells() {
  std::vector<AttentionCell> cells;
  for (SimDrives::Mode m : {SimDrives::Mode::Aspi, SimDrives::Mode::PassThrough})
    for (bool read_back : {true, false}) {
      for (SimKind k : {SimKind::WriteBuffer, SimKind::ReadBuffer, SimKind::UpdateFirmware})
        for (uint16_t sense : {0x2900, 0x2800, 0x3A13})
          cells.push_back({k, SimFaultKind::CheckCondition, static_cast<uint16_t>(sense), read_back, m});
      // Only the pass-through reports how much moved.
      if (m == SimDrives::Mode::PassThrough)
        for (SimKind k : {SimKind::WriteBuffer, SimKind::ReadBuffer})
          cells.push_back({k, SimFaultKind::ShortTransfer, 0, read_back, m});
    }
  return cells;
}

INSTANTIATE_TEST_SUITE_P(UnitAttentionAndShortTransfer, NotCarriedOut, ::testing::ValuesIn(AttentionCells()),
                         [](const ::testing::TestParamInfo<AttentionCell>& info) {
                           return DescribeAttention(info.param);
                         });

// A drive reset before the run still answers INQUIRY: the unit attention it
// reports first counts as the answer, after one attempt.
class QuestionAfterReset : public DriveTest, public ::testing::WithParamInterface<SimDrives::Mode> {
 protected:
  QuestionAfterReset() : DriveTest(GetParam()) {}
};

TEST_P(QuestionAfterReset, InquiryAnsweredWithPowerOnResetCountsAsDoneAtOnce) {
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  drive.AddFault(SimFaultRule{SimKind::Inquiry, 1, 1, SimFaultKind::CheckCondition, 0x2900, -1});
  IdentifyDrives();
  EXPECT_EQ(sim.Commands(SimKind::Inquiry).size(), 1u);
  EXPECT_EQ(sim.Commands(SimKind::IdentifyModel).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, QuestionAfterReset,
                         ::testing::Values(SimDrives::Mode::Aspi, SimDrives::Mode::PassThrough),
                         [](const auto& info) {
                           return info.param == SimDrives::Mode::Aspi ? "Aspi" : "PassThrough";
                         });

}  // namespace
