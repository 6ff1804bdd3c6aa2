// A scripted transport for the dispatcher tests: each attempt takes the next
// step of the script (result, SCSI status, sense code) and every call is
// recorded. Installed into Transports() and Host() by ScsiFixture.
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

struct Step {
  int result;             // what the attempt returns
  uint8_t scsi_status;    // pass-through: ScsiStatus written by the attempt
  uint16_t sense;         // ASC/ASCQ written at bytes 12/13 of the sense data
};

struct FakeTransport {
  std::vector<Step> script;   // the last step repeats when the script runs out
  size_t attempts = 0;
  std::vector<uint32_t> timeouts;
  std::vector<ScsiCommand> aspi_records;        // copies at each attempt
  std::vector<PassThroughRequest> requests;     // copies at each attempt
  std::vector<PassThroughRequest*> request_addresses;
  // Runs inside an attempt before the script step is applied.
  std::function<void()> during_attempt;

  int events_created = 0;
  std::vector<void*> events_closed;
  bool fail_event = false;

  std::vector<uint32_t> sleeps;
  std::vector<std::string> messages;

  Step Next() {
    ++attempts;
    if (script.empty()) return Step{0, 0, 0};
    return script[std::min(attempts - 1, script.size() - 1)];
  }
};

inline FakeTransport* g_fake = nullptr;
inline char g_event_tokens[16];

inline int FakePassThrough(PassThroughRequest& request, uint32_t timeout_ms) {
  g_fake->timeouts.push_back(timeout_ms);
  g_fake->requests.push_back(request);
  g_fake->request_addresses.push_back(&request);
  if (g_fake->during_attempt) g_fake->during_attempt();
  const Step step = g_fake->Next();
  if (step.result != -1) {
    request.sptd.ScsiStatus = step.scsi_status;
    request.sense[12] = static_cast<uint8_t>(step.sense >> 8);
    request.sense[13] = static_cast<uint8_t>(step.sense);
  }
  return step.result;
}

inline int FakeAspi(ScsiCommand& command, uint32_t timeout_ms) {
  g_fake->timeouts.push_back(timeout_ms);
  g_fake->aspi_records.push_back(command);
  if (g_fake->during_attempt) g_fake->during_attempt();
  const Step step = g_fake->Next();
  command.status = static_cast<uint8_t>(step.result);
  command.target_status = step.scsi_status;
  command.sense_area[12] = static_cast<uint8_t>(step.sense >> 8);
  command.sense_area[13] = static_cast<uint8_t>(step.sense);
  return step.result;
}

inline void* FakeCreateEvent() {
  if (g_fake->fail_event) return nullptr;
  return &g_event_tokens[g_fake->events_created++ % sizeof g_event_tokens];
}
inline void FakeCloseEvent(void* event) { g_fake->events_closed.push_back(event); }
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
    Transports() = TransportSeams{FakePassThrough, FakeAspi, FakeCreateEvent, FakeCloseEvent};
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
  static ScsiCommand Cleared() {
    ScsiCommand c;
    std::memset(&c, 0, sizeof c);
    return c;
  }

  FakeTransport fake_;
  UpdateState state_;
};
