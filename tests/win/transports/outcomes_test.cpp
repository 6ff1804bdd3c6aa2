// Both Windows transports under the dispatcher: each category of outcome,
// made the way each transport meets it (the ASPI library's request status,
// the pass-through driver's answer), leads to the same decision for every
// kind of command.
#include <gtest/gtest.h>

#include <string>

#include "scsi/discovery.h"
#include "scsi/dispatcher.h"
#include "tests/win/transports/stand_ins.h"

namespace {

enum class Kind { kGood, kUnitAttention, kOtherSense, kBusy, kLost, kRejected };

const char* NameOf(Kind kind) {
  switch (kind) {
    case Kind::kGood: return "good";
    case Kind::kUnitAttention: return "check, unit attention";
    case Kind::kOtherSense: return "check, internal target failure";
    case Kind::kBusy: return "busy";
    case Kind::kLost: return "lost";
    case Kind::kRejected: return "rejected";
  }
  return "";
}

// The fixed-format sense of a CHECK CONDITION with this code.
std::vector<uint8_t> SenseOf(uint16_t code) {
  std::vector<uint8_t> sense(18, 0);
  sense[0] = 0x70;
  sense[7] = 10;
  sense[12] = static_cast<uint8_t>(code >> 8);
  sense[13] = static_cast<uint8_t>(code);
  return sense;
}

uint16_t g_check_code = 0;
uint8_t g_target_status = 0;

// The library answers every execute request with the target status and sense.
void LibraryAnswers(AspiExecRequest& c) {
  c.status = g_target_status == kScsiStatusGood ? kAspiCompleted : kAspiError;
  c.target_status = g_target_status;
  if (g_target_status == kScsiStatusCheckCondition) {
    const std::vector<uint8_t> sense = SenseOf(g_check_code);
    std::copy(sense.begin(), sense.end(), c.sense_area);
  }
}

// Sets the world up so that every attempt of the current transport ends as `kind`.
void Arrange(Kind kind, bool pass_through) {
  g_target_status = kind == Kind::kGood           ? kScsiStatusGood
                    : kind == Kind::kBusy         ? kScsiStatusBusy
                                                  : kScsiStatusCheckCondition;
  g_check_code = kind == Kind::kUnitAttention ? 0x2900 : 0x4400;
  if (pass_through) {
    g_world.platform_id = VER_PLATFORM_WIN32_NT;
    g_world.interfaces = {{"\\\\?\\cdrom0", kind == Kind::kRejected, false}};
    g_world.ioctl_scsi_status = g_target_status;
    if (g_target_status == kScsiStatusCheckCondition) g_world.ioctl_sense = SenseOf(g_check_code);
    g_world.ioctl_result = kind == Kind::kLost || kind == Kind::kRejected ? FALSE : TRUE;
  } else {
    g_world.platform_id = VER_PLATFORM_WIN32_WINDOWS;
    g_world.devices = {{0, 1, 0, 5}};
    if (kind == Kind::kLost) {
      // Held past the time-out, let go when asked to abort.
      g_world.on_execute = [](AspiExecRequest& c) { c.status = kAspiPending; };
      g_world.on_abort = [] { g_world.executes.back().address->status = kAspiAborted; };
    } else if (kind == Kind::kRejected) {
      g_world.on_execute = [](AspiExecRequest& c) { c.status = kAspiPending; };
      g_world.send_result_override = kAspiInvalidRequest;
    } else {
      g_world.on_execute = LibraryAnswers;
    }
  }
}

size_t AttemptsSent(bool pass_through) {
  return pass_through ? g_world.ioctls.size() : g_world.executes.size();
}

struct Decision {
  int result;
  size_t attempts;
  bool operator==(const Decision& o) const { return result == o.result && attempts == o.attempts; }
};
std::ostream& operator<<(std::ostream& os, const Decision& d) {
  return os << "{result " << d.result << ", attempts " << d.attempts << "}";
}

// One command of the given completion on a fresh world of one transport.
Decision RunCommand(Kind kind, bool pass_through, Completion completion) {
  InstallWorld();
  Arrange(kind, pass_through);
  EXPECT_EQ(DiscoverDrives(), 1);
  EXPECT_EQ(SelectDrive(0), 1);
  ScsiCommand command;
  command.cdb[0] = 0x33;
  command.cdb[1] = 0x6C;
  command.cdb[2] = 0xF1;
  const int result = SendScsiCommand(command, 1000, completion);
  const Decision d{result, AttemptsSent(pass_through)};
  UninstallWorld();
  return d;
}

TEST(Outcomes, EachCategoryLeadsToTheSameDecisionOnBothWindowsTransports) {
  struct Expected {
    Kind kind;
    Decision answered, carried_out, at_most_once;
  } table[] = {
      {Kind::kGood, {1, 1}, {1, 1}, {1, 1}},
      {Kind::kUnitAttention, {1, 1}, {0, 5}, {0, 5}},
      {Kind::kOtherSense, {0, 5}, {0, 5}, {0, 1}},
      {Kind::kBusy, {0, 5}, {0, 5}, {0, 1}},
      {Kind::kLost, {0, 5}, {0, 5}, {0, 1}},
      {Kind::kRejected, {0, 5}, {0, 5}, {0, 1}},
  };
  for (const Expected& e : table) {
    SCOPED_TRACE(NameOf(e.kind));
    const struct {
      Completion completion;
      Decision expected;
    } kinds[] = {{Completion::kAnswered, e.answered},
                 {Completion::kCarriedOut, e.carried_out},
                 {Completion::kCarriedOutAtMostOnce, e.at_most_once}};
    for (const auto& k : kinds) {
      SCOPED_TRACE(static_cast<int>(k.completion));
      const Decision aspi = RunCommand(e.kind, false, k.completion);
      const Decision nt = RunCommand(e.kind, true, k.completion);
      EXPECT_EQ(aspi, k.expected) << "ASPI";
      EXPECT_EQ(nt, k.expected) << "NT pass-through";
    }
  }
}

// What each transport reports for each category, read straight from its
// attempt: the category the dispatcher's decision rests on.
TEST(Outcomes, EachTransportNamesTheCategoryItMet) {
  const Kind kinds[] = {Kind::kGood, Kind::kUnitAttention, Kind::kBusy, Kind::kLost, Kind::kRejected};
  const ScsiCategory expected[] = {ScsiCategory::kGood, ScsiCategory::kDriveStatus, ScsiCategory::kDriveStatus,
                                   ScsiCategory::kLost, ScsiCategory::kRejected};
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(NameOf(kinds[i]));
    for (bool pass_through : {false, true}) {
      InstallWorld();
      Arrange(kinds[i], pass_through);
      ASSERT_EQ(DiscoverDrives(), 1);
      ASSERT_EQ(SelectDrive(0), 1);
      ScsiRequest request;
      request.timeout_ms = 1000;
      const ScsiOutcome o = pass_through ? PassThroughAttempt(request) : AspiAttempt(request);
      EXPECT_EQ(o.category, expected[i]) << (pass_through ? "NT pass-through" : "ASPI");
      if (o.category == ScsiCategory::kDriveStatus) EXPECT_EQ(o.status, g_target_status);
      UninstallWorld();
    }
  }
}

}  // namespace
