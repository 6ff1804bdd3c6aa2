// Host-side cost of the drive protocol against a simulated drive that answers
// at once: one command through builder and dispatcher, and a whole
// 0x80000-byte transfer with read-back (the flash settle wait stubbed).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "base/app_state.h"
#include "base/exe_file.h"
#include "base/host.h"
#include "base/payload.h"
#include "base/payload_pack.h"
#include "drive/commands.h"
#include "drive/identify.h"
#include "drive/transfer.h"
#include "scsi/dispatcher.h"
#include "sim/sim_drive.h"
#include "tests/support/sim_install.h"

namespace {

SimDrives::Mode ModeOf(const benchmark::State& state) {
  return state.range(0) ? SimDrives::Mode::PassThrough : SimDrives::Mode::Aspi;
}

class Bench {
 public:
  explicit Bench(SimDrives::Mode mode) : sim(mode) {
    ResetScsiState();
    ResetHost();  // sleeps return at once
    SimIdentity id;
    id.model = "K53R-TX   ";
    id.version = "208W";
    sim.Add(id).set_recording(false);
    SimInstall(sim);
    SelectDrive(0);
  }
  ~Bench() {
    SimUninstall();
    ResetScsiState();
  }
  SimDrives sim;
};

void BM_WriteBufferCommand(benchmark::State& state) {
  Bench bench(ModeOf(state));
  std::vector<uint8_t> chunk(kChunkSize, 0xA5);
  uint32_t offset = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(WriteBuffer(chunk.data(), offset, kChunkSize, 0x00));
    offset = (offset + kChunkSize) & 0x7FFFF;
  }
}
BENCHMARK(BM_WriteBufferCommand)->Arg(0)->Arg(1)->ArgName("pass_through");

void BM_InquiryCommand(benchmark::State& state) {
  Bench bench(ModeOf(state));
  uint8_t reply[56];
  for (auto _ : state) benchmark::DoNotOptimize(Inquiry(reply, sizeof reply));
}
BENCHMARK(BM_InquiryCommand)->Arg(0)->Arg(1)->ArgName("pass_through");

void BM_FullTransfer(benchmark::State& state) {
  Bench bench(ModeOf(state));
  std::vector<uint8_t> packed;
  std::string error;
  if (!PackPayload(std::vector<uint8_t>(0x400, 0x90), {MakeSampleFirmware("K53R-TX   ", "209A", 0x80000, 5)},
                   &packed, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  MemoryExeFile file(packed);
  UpdateState run;
  SetAppState(&run);
  run.drive_count = 1;
  run.drive_identity_table.reset(new DriveIdentity[1]());
  run.executable_file = &file;
  if (LoadAndCheck(file) != LoadResult::Intact) {
    state.SkipWithError("the packed payload fails its check");
    SetAppState(nullptr);
    return;
  }
  run.image_count = ReadImageDirectory();
  IdentifyDrives();
  run.target_image_entry = 0;
  run.target_image_name = run.image_directory[0].image_name;
  ApplyModelRules(0);  // read-back on
  for (auto _ : state) {
    if (RunTransfer() != TransferOk) {
      state.SkipWithError("transfer failed");
      break;
    }
  }
  SimDrive& drive = bench.sim.drive(0);
  const double runs = static_cast<double>(state.iterations());
  state.counters["writes_per_run"] = drive.Received(SimKind::WriteBuffer) / runs;
  state.counters["reads_per_run"] = drive.Received(SimKind::ReadBuffer) / runs;
  state.counters["flashes_per_run"] = drive.flash_count() / runs;
  SetAppState(nullptr);
}
BENCHMARK(BM_FullTransfer)->Arg(0)->Arg(1)->ArgName("pass_through")->Unit(benchmark::kMillisecond);

}  // namespace
