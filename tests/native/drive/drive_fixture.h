// A fresh run against simulated drives: own update state, the real
// dispatcher and command builders, recording host seams and progress sink.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/app_state.h"
#include "base/exe_file.h"
#include "base/host.h"
#include "base/payload.h"
#include "base/payload_pack.h"
#include "drive/identify.h"
#include "drive/transfer.h"
#include "scsi/dispatcher.h"
#include "sim/sim_drive.h"
#include "tests/support/sim_install.h"

struct HostLog {
  std::vector<std::string> events;  // "box:..", "ask:..|caption", "sleep:..", "status:..", "pos:.."
  bool answer = true;
};
inline HostLog* g_host_log = nullptr;

class RecordingSink : public ProgressSink {
 public:
  std::vector<std::string> statuses;
  std::vector<int> positions;
  void SetStatus(const char* text) override {
    statuses.push_back(text);
    g_host_log->events.push_back(std::string("status:") + text);
  }
  void SetPosition(int p) override {
    positions.push_back(p);
    g_host_log->events.push_back("pos:" + std::to_string(p));
  }
};

class DriveTest : public ::testing::Test {
 protected:
  explicit DriveTest(SimDrives::Mode mode = SimDrives::Mode::Aspi) : sim(mode) {}

  void SetUp() override {
    ResetScsiState();
    ResetHost();
    SetAppState(&state);
    g_host_log = &host;
    Host().sleep_ms = [](uint32_t ms) { g_host_log->events.push_back("sleep:" + std::to_string(ms)); };
    Host().message_box = [](const char* t) { g_host_log->events.push_back(std::string("box:") + t); };
    Host().ask_yes_no = [](const char* t, const char* c) {
      g_host_log->events.push_back(std::string("ask:") + t + "|" + c);
      return g_host_log->answer;
    };
  }
  void TearDown() override {
    SimUninstall();
    SetAppState(nullptr);
    ResetHost();
    ResetScsiState();
    g_host_log = nullptr;
  }

  // Adds drives, installs them and allocates the identity table.
  SimDrive& AddDrive(const std::string& model, const std::string& version) {
    SimIdentity id;
    id.model = model;
    id.version = version;
    SimDrive& d = sim.Add(id);
    Install();
    return d;
  }
  void Install() {
    SimInstall(sim);
    state.drive_count = static_cast<int>(sim.size());
    state.drive_identity_table.reset(new DriveIdentity[sim.size() ? sim.size() : 1]());
  }

  // Packs plain images (first lies behind the start marker) into an
  // executable, loads and checks it as the run does and reads its directory.
  void LoadPayload(const std::vector<std::vector<uint8_t>>& images) {
    std::vector<uint8_t> program(0x200, 0x90), packed;
    std::string error;
    ASSERT_TRUE(PackPayload(program, images, &packed, &error)) << error;
    file = MemoryExeFile(packed);
    state.executable_file = &file;
    ASSERT_EQ(LoadAndCheck(file), LoadResult::Intact);
    state.image_count = ReadImageDirectory();
  }

  // The accept step as a front end answers it: the refusal shown as a box,
  // the question asked through the host; true on Yes.
  static bool Accept(uint8_t drive, int entry, const char* caption) {
    const AcceptVerdict verdict = AcceptStep(drive, entry, caption);
    if (verdict.outcome == AcceptOutcome::Refused) Host().message_box(verdict.text.c_str());
    return verdict.outcome == AcceptOutcome::Ask && Host().ask_yes_no(verdict.text.c_str(), verdict.caption.c_str());
  }

  // Identifies, accepts entry 0 for drive 0 and runs the transfer.
  TransferResult Update(bool with_sink = true) {
    IdentifyDrives();
    host.answer = true;
    EXPECT_TRUE(Accept(0, 0, "fwupdate"));
    sim.ClearLog();
    host.events.clear();
    if (with_sink) state.progress_sink = &sink;
    return RunTransfer();
  }

  UpdateState state;
  HostLog host;
  RecordingSink sink;
  SimDrives sim;
  MemoryExeFile file;
};

inline std::vector<uint8_t> Firmware(const std::string& model, const std::string& version, uint32_t size,
                                     uint32_t seed = 7) {
  return MakeSampleFirmware(model, version, size, seed);
}
