#include <algorithm>
#include <cstdio>
#include <cstring>

#include "drive_fixture.h"

namespace {

constexpr uint32_t kFull = 0x80000;

std::vector<uint8_t> Chunk(const std::vector<uint8_t>& image, uint32_t offset, uint32_t length) {
  return {image.begin() + offset, image.begin() + offset + length};
}

class TransferTest : public DriveTest {};

std::vector<size_t> g_guard_commands_at;  // commands the drive had seen at each guard call
SimDrives* g_guard_sim = nullptr;

TEST_F(TransferTest, FullImageGoesOutIn512ChunksAndIsFlashedByteForByte) {
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  const auto plain = Firmware("K53R-TX   ", "209A", kFull);
  LoadPayload({plain});
  ASSERT_EQ(Update(), TransferOk);

  const auto writes = sim.Commands(SimKind::WriteBuffer);
  const auto reads = sim.Commands(SimKind::ReadBuffer);
  ASSERT_EQ(writes.size(), 512u);
  ASSERT_EQ(reads.size(), 512u);
  for (uint32_t i = 0; i < 512; ++i) {
    ASSERT_EQ(writes[i]->offset(), i * 1024);
    ASSERT_EQ(writes[i]->cdb_length(), 1024u);
    ASSERT_EQ(writes[i]->data_out, Chunk(plain, i * 1024, 1024)) << "chunk " << i;
    ASSERT_EQ(reads[i]->offset(), i * 1024);
    ASSERT_EQ(&sim.Log()[2 * i], writes[i]);  // write, read, write, read ...
  }
  ASSERT_EQ(sim.Commands(SimKind::UpdateFirmware).size(), 1u);
  EXPECT_EQ(sim.Log().back().kind, SimKind::UpdateFirmware);
  EXPECT_EQ(drive.flash_mode(), 0x80);
  EXPECT_EQ(drive.Flashed(), plain);
  EXPECT_EQ(drive.identity().version, "209A");  // the drive now reports the flashed name

  // Progress: 0.078125 per chunk, truncated before each step, then 80 and 120.
  ASSERT_EQ(sink.positions.size(), 514u);
  for (int i = 0; i < 512; ++i) ASSERT_EQ(sink.positions[i], static_cast<int>(i * 0.078125)) << i;
  EXPECT_EQ(sink.positions[512], 80);
  EXPECT_EQ(sink.positions[513], 120);
  EXPECT_DOUBLE_EQ(state.progress_position, 40.0);
  // The settle wait follows the last text, after the update command.
  const std::vector<std::string> tail(host.events.end() - 4, host.events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"pos:80", "status:Finish update, Please wait.", "sleep:10000", "pos:120"}));
}

TEST_F(TransferTest, StatusTextsAreExactAndBudgetStaysAtOneAfterOneWriteFailure) {
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  LoadPayload({Firmware("K53R-TX   ", "209A", 0x1000)});
  // Five failed attempts on chunk 1 = one failure the dispatcher gives up on.
  drive.AddFault({SimKind::WriteBuffer, 1, 5, SimFaultKind::CheckCondition, 0x4400, 0x400});
  ASSERT_EQ(Update(), TransferOk);

  const std::vector<std::string> expected = {
      "Write data to bufer, Offset: 0x00000000, recursive = 0 ",
      "Read data from bufer, Offset = 0x00000000, recursive = 0",
      "Compare data at Offset 0X00000000 length 0x400, recursive 0",
      "Write data to bufer, Offset: 0x00000400, recursive = 0 ",  // not shown again on the retry
      "Read data from bufer, Offset = 0x00000400, recursive = 1",
      "Compare data at Offset 0X00000400 length 0x400, recursive 1",
      "Write data to bufer, Offset: 0x00000800, recursive = 1 ",
      "Read data from bufer, Offset = 0x00000800, recursive = 1",
      "Compare data at Offset 0X00000800 length 0x400, recursive 1",
      "Write data to bufer, Offset: 0x00000C00, recursive = 1 ",
      "Read data from bufer, Offset = 0x00000C00, recursive = 1",
      "Compare data at Offset 0X00000C00 length 0x400, recursive 1",
      "Transfer data is completely, recursive = 1, Begin to update firmware ...",
      "Finish update, Please wait."};
  EXPECT_EQ(sink.statuses, expected);
  EXPECT_EQ(state.status_text, "Finish update, Please wait.");
  EXPECT_EQ(sim.Commands(SimKind::WriteBuffer).size(), 4u + 5u);
}

TEST_F(TransferTest, SeventhChunkFailureEndsTheRunWithItsOwnCode) {
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  LoadPayload({Firmware("K53R-TX   ", "209A", 0x2000)});
  auto fail = [&](SimKind kind, uint32_t chunk, SimFaultKind f, uint32_t times) {
    drive.AddFault({kind, 1, times, f, 0x4400, static_cast<int32_t>(chunk * 1024)});
  };
  fail(SimKind::WriteBuffer, 0, SimFaultKind::CheckCondition, 5);
  fail(SimKind::ReadBuffer, 1, SimFaultKind::CheckCondition, 5);
  fail(SimKind::ReadBuffer, 2, SimFaultKind::CorruptData, 1);
  fail(SimKind::WriteBuffer, 3, SimFaultKind::OsRejection, 5);
  fail(SimKind::WriteBuffer, 4, SimFaultKind::NeverComplete, 5);
  fail(SimKind::ReadBuffer, 5, SimFaultKind::CorruptData, 1);   // sixth: still retried
  fail(SimKind::ReadBuffer, 6, SimFaultKind::CheckCondition, 5); // seventh
  EXPECT_EQ(Update(), BufferReadFailed);
  EXPECT_TRUE(sim.Commands(SimKind::UpdateFirmware).empty());
  EXPECT_EQ(sim.Log().back().offset(), 6u * 1024);
  EXPECT_TRUE(sink.positions.size() == 6u);  // chunks 0..5 verified, nothing after
}

TEST_F(TransferTest, ReadBackOffForK53RPX) {
  SimDrive& drive = AddDrive("K53R-PX   ", "100A");
  const auto plain = Firmware("K53R-PX   ", "101A", 0x3000);
  LoadPayload({plain});
  ASSERT_EQ(Update(), TransferOk);
  EXPECT_TRUE(sim.Commands(SimKind::ReadBuffer).empty());
  EXPECT_EQ(sim.Commands(SimKind::WriteBuffer).size(), 12u);
  EXPECT_EQ(sink.positions, (std::vector<int>{80, 120}));
  for (const std::string& s : sink.statuses) EXPECT_EQ(s.find("Read data"), std::string::npos) << s;
  EXPECT_EQ(drive.Flashed(), plain);
}

// The mode comes from the run's options (the front ends set it from "/4k"
// or --flash-mode 4k); the default state flashes with 80h.
TEST_F(TransferTest, UpdateModeFollowsTheRunsOptions) {
  const struct { bool set; FlashMode flash_mode; uint8_t mode; } cases[] = {
      {false, FlashMode::kDefault, 0x80}, {true, FlashMode::k4k, 0x40}, {true, FlashMode::kDefault, 0x80}};
  for (const auto& c : cases) {
    sim.Clear();
    SimDrive& drive = AddDrive("K53R-TX   ", "208W");
    LoadPayload({Firmware("K53R-TX   ", "209A", 0x400)});
    state.options = UpdateOptions{};
    if (c.set) state.options.flash_mode = c.flash_mode;
    ASSERT_EQ(Update(), TransferOk);
    EXPECT_EQ(sim.Commands(SimKind::UpdateFirmware).at(0)->mode(), c.mode) << int(c.mode);
    EXPECT_EQ(drive.flash_mode(), c.mode);
  }
}

// Images may share a name (two builds of one version; unnamed images under
// the bench switch): the entry chosen is the image flashed, whichever it is.
TEST_F(TransferTest, EachChoiceAmongImagesNamedAlikeFlashesItsOwnImage) {
  std::vector<uint8_t> unnamed_a(0x800, 0), unnamed_b(0xC00, 0);
  for (size_t i = 0x100; i < unnamed_a.size(); ++i) unnamed_a[i] = static_cast<uint8_t>(i * 3);
  for (size_t i = 0x100; i < unnamed_b.size(); ++i) unnamed_b[i] = static_cast<uint8_t>(i * 5);
  const struct {
    const char* what;
    bool every_image;
    std::vector<std::vector<uint8_t>> images;  // packed order: the last is entry 0
  } cases[] = {
      {"one name twice", false,
       {Firmware("K53R-TX   ", "209A", 0x800, 1), Firmware("K53R-TX   ", "209A", 0xC00, 2),
        Firmware("K53R-TX   ", "209A", 0x400, 3)}},
      {"unnamed images, every image offered", true, {unnamed_a, unnamed_b}},
  };
  for (const auto& c : cases) {
    const int n = static_cast<int>(c.images.size());
    for (int entry = 0; entry < n; ++entry) {
      SCOPED_TRACE(std::string(c.what) + ", entry " + std::to_string(entry));
      sim.Clear();
      SimDrive& drive = AddDrive("K53R-TX   ", "208W");
      LoadPayload(c.images);
      state.options.every_image_offered = c.every_image;
      IdentifyDrives();
      ASSERT_EQ(CountImagesForDrive(0), n);
      ASSERT_TRUE(Accept(0, entry, "fwupdate"));
      ASSERT_EQ(RunTransfer(), TransferOk);
      EXPECT_EQ(drive.Flashed(), c.images[static_cast<size_t>(n - 1 - entry)]);
    }
  }
}

TEST_F(TransferTest, FinalChunkOfSixBytesStopsBeforeTheUpdate) {
  AddDrive("K53R-TX   ", "208W");
  LoadPayload({Firmware("K53R-TX   ", "209A", 1032)});
  IdentifyDrives();
  ASSERT_TRUE(Accept(0, 0, "fwupdate"));
  state.image_directory[0].image_size = 1030;
  sim.ClearLog();
  EXPECT_EQ(RunTransfer(), ChunkNotWordAligned);
  ASSERT_EQ(sim.Log().size(), 2u);  // chunk 0 written and read back, nothing else
  EXPECT_EQ(sim.Log()[0].kind, SimKind::WriteBuffer);
}

// Conditions under which nothing may be flashed although the drive is fine.
TEST_F(TransferTest, RefusesWhatItCannotSendWhole) {
  const struct { const char* what; uint32_t size_delta; int entry; } cases[] = {
      {"image claims bytes past the end of the checked copy", 0x1000, 0},
      {"no entry was chosen", 0, -1},
      {"the chosen entry is not in the directory", 0, 1},
  };
  for (const auto& c : cases) {
    sim.Clear();
    SimDrive& drive = AddDrive("K53R-TX   ", "208W");
    LoadPayload({Firmware("K53R-TX   ", "209A", 0x1000)});
    IdentifyDrives();
    ASSERT_TRUE(Accept(0, 0, "fwupdate"));
    state.image_directory[0].image_size += c.size_delta;
    state.target_image_entry = c.entry;
    sim.ClearLog();
    EXPECT_EQ(RunTransfer(), BufferWriteFailed) << c.what;
    EXPECT_TRUE(sim.Commands(SimKind::UpdateFirmware).empty()) << c.what;
    EXPECT_EQ(drive.flash_count(), 0) << c.what;
  }
}

// The program file may change on disk after its check (rewritten while the
// question waits): the transfer sends the checked copy.
TEST_F(TransferTest, TheCheckedCopyIsSentWhateverTheFileHoldsNow) {
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  const auto checked = Firmware("K53R-TX   ", "209A", 0x1000, 1);
  LoadPayload({checked});
  IdentifyDrives();
  ASSERT_TRUE(Accept(0, 0, "fwupdate"));
  std::vector<uint8_t> program(0x200, 0x90), other;
  std::string error;
  ASSERT_TRUE(PackPayload(program, {Firmware("K53R-TX   ", "209A", 0x1000, 2)}, &other, &error)) << error;
  file.Bytes() = other;
  ASSERT_EQ(RunTransfer(), TransferOk);
  EXPECT_EQ(drive.Flashed(), checked);
}

// Firmware is full of identical chunks (erased 0xFF areas). A drive that
// claims success but moves no data must not pass the comparison on bytes
// left from the chunk before.
TEST_F(TransferTest, ReadBackThatDeliversNothingNeverVerifies) {
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  auto plain = Firmware("K53R-TX   ", "209A", 0x1000);
  std::fill(plain.begin() + 0x400, plain.end(), 0xFF);
  LoadPayload({plain});
  drive.AddFault({SimKind::WriteBuffer, 1, 1000, SimFaultKind::SilentSuccess, 0, 0x800});
  drive.AddFault({SimKind::ReadBuffer, 1, 1000, SimFaultKind::SilentSuccess, 0, 0x800});
  EXPECT_EQ(Update(), CompareMismatch);
  EXPECT_EQ(drive.flash_count(), 0);
}

TEST_F(TransferTest, WithoutProgressDialogTheSameCommandsGoOut) {
  AddDrive("K53R-TX   ", "208W");
  LoadPayload({Firmware("K53R-TX   ", "209A", 0x800)});
  ASSERT_EQ(Update(/*with_sink=*/false), TransferOk);
  EXPECT_EQ(sim.Log().size(), 5u);
  EXPECT_EQ(host.events, (std::vector<std::string>{"sleep:10000"}));
}

}  // namespace

// Nothing may interrupt the stretch from the first buffer command to the end
// of the wait after Update Firmware: the front end is told when it begins and
// when it ends, on every way out.
TEST_F(TransferTest, TheUpdateGuardSpansTheBufferCommandsAndTheSettleOnEveryWayOut) {
  Host().update_guard = [](bool on) {
    g_host_log->events.push_back(on ? "guard:on" : "guard:off");
    g_guard_commands_at.push_back(g_guard_sim->Log().size());
  };
  g_guard_sim = &sim;
  SimDrive& drive = AddDrive("K53R-TX   ", "208W");
  LoadPayload({Firmware("K53R-TX   ", "209A", 0x1000)});
  g_guard_commands_at.clear();
  ASSERT_EQ(Update(), TransferOk);
  ASSERT_EQ(g_guard_commands_at.size(), 2u);
  EXPECT_EQ(g_guard_commands_at[0], 0u) << "on before the first buffer command";
  EXPECT_EQ(host.events.front(), "guard:on");
  EXPECT_EQ(host.events.back(), "guard:off");
  const auto settle = std::find(host.events.begin(), host.events.end(), "sleep:10000");
  ASSERT_NE(settle, host.events.end());
  EXPECT_EQ(std::find(settle, host.events.end(), "guard:off"), host.events.end() - 1) << "off only after the settle";

  drive.AddFault(SimFaultRule{SimKind::WriteBuffer, 1, 1000, SimFaultKind::OsRejection, 0, -1});
  g_guard_commands_at.clear();
  ASSERT_EQ(Update(), BufferWriteFailed);
  EXPECT_EQ(host.events.front(), "guard:on");
  EXPECT_EQ(host.events.back(), "guard:off");
  EXPECT_EQ(g_guard_commands_at.size(), 2u);
}
