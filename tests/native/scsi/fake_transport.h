// A scripted transport for the dispatcher tests: each attempt takes the next
// step of the script (a neutral outcome) and every request is recorded. The
// same fake sits in both transport slots: the dispatcher judges outcomes
// alone, whichever transport made them. Installed into Transports() and
// Host() by ScsiFixture.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/app_state.h"
#include "base/host.h"
#include "scsi/dispatcher.h"

// One attempt's outcome. `sense` (ASC/ASCQ) goes into fixed-format sense
// data of 18 bytes, with CHECK CONDITION always, otherwise only when nonzero.
struct Step {
  ScsiCategory category = ScsiCategory::kRejected;
  uint8_t status = kScsiStatusGood;
  uint16_t sense = 0;
  uint32_t transport_code = 0;
  int64_t transferred = -1;  // kGood: bytes moved; -1 all that was asked
};

inline Step Good() { return Step{ScsiCategory::kGood}; }
inline Step GoodMoving(uint32_t bytes) { return Step{ScsiCategory::kGood, kScsiStatusGood, 0, 0, bytes}; }
inline Step Check(uint16_t sense, uint32_t code = 0) {
  return Step{ScsiCategory::kDriveStatus, kScsiStatusCheckCondition, sense, code};
}
inline Step DriveStatus(uint8_t status, uint16_t sense = 0, uint32_t code = 0) {
  return Step{ScsiCategory::kDriveStatus, status, sense, code};
}
inline Step Lost(uint32_t code = 0, uint16_t sense = 0) { return Step{ScsiCategory::kLost, 0, sense, code}; }
inline Step Rejected(uint32_t code = 0) { return Step{ScsiCategory::kRejected, 0, 0, code}; }

// The outcome a step stands for, for a request of `asked` data bytes.
inline ScsiOutcome OutcomeOf(const Step& step, uint32_t asked) {
  ScsiOutcome outcome;
  outcome.category = step.category;
  outcome.status = step.status;
  outcome.transport_code = step.transport_code;
  if (step.category == ScsiCategory::kGood)
    outcome.transferred = step.transferred < 0 ? asked : static_cast<uint32_t>(step.transferred);
  const bool check = step.category == ScsiCategory::kDriveStatus && step.status == kScsiStatusCheckCondition;
  if (check || step.sense != 0) {
    outcome.sense[0] = 0x70;
    outcome.sense[7] = 10;
    outcome.sense[12] = static_cast<uint8_t>(step.sense >> 8);
    outcome.sense[13] = static_cast<uint8_t>(step.sense);
    outcome.sense_length = 18;
  }
  return outcome;
}

struct FakeTransport {
  std::vector<Step> script;   // the last step repeats when the script runs out
  size_t attempts = 0;
  std::vector<ScsiRequest> requests;  // copies at each attempt
  std::vector<bool> pass_through_slot;  // which slot each attempt came through
  // Runs inside an attempt before the script step is applied.
  std::function<void()> during_attempt;

  std::vector<uint32_t> sleeps;
  std::vector<std::string> messages;

  Step Next() {
    ++attempts;
    if (script.empty()) return Rejected();
    return script[std::min(attempts - 1, script.size() - 1)];
  }
};

inline FakeTransport* g_fake = nullptr;

inline ScsiOutcome FakeAttempt(const ScsiRequest& request, bool pass_through) {
  g_fake->requests.push_back(request);
  g_fake->pass_through_slot.push_back(pass_through);
  if (g_fake->during_attempt) g_fake->during_attempt();
  return OutcomeOf(g_fake->Next(), request.data_length);
}
inline ScsiOutcome FakePassThrough(const ScsiRequest& request) { return FakeAttempt(request, true); }
inline ScsiOutcome FakeAspi(const ScsiRequest& request) { return FakeAttempt(request, false); }

inline void FakeSleep(uint32_t ms) { g_fake->sleeps.push_back(ms); }
inline void FakeMessage(const char* text) { g_fake->messages.emplace_back(text); }

class ScsiFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetScsiState();
    ResetTransports();
    ResetHost();
    SetAppState(&state_);
    g_fake = &fake_;
    Transports() = TransportSeams{FakePassThrough, FakeAspi};
    Host().sleep_ms = FakeSleep;
    Host().message_box = FakeMessage;
  }
  void TearDown() override {
    ResetTransports();
    ResetHost();
    ResetScsiState();
    SetAppState(nullptr);
    g_fake = nullptr;
  }
  static ScsiCommand Cleared() { return ScsiCommand{}; }

  FakeTransport fake_;
  UpdateState state_;
};
