// The system restart through stand-in platform calls.
#include <string>
#include <vector>

#include "tests/win/ui/ui_support.h"
#include "ui/restart.h"

namespace {

std::vector<std::string> g_calls;
BOOL g_open_ok, g_lookup_ok, g_adjust_ok, g_shutdown_ok, g_exit_ok;
DWORD g_error_after_enable, g_error_after_disable, g_last_error;
std::string g_privilege, g_message;
DWORD g_exit_reason;
HANDLE const kToken = reinterpret_cast<HANDLE>(0x1234);

HANDLE WINAPI FakeProcess() { return reinterpret_cast<HANDLE>(-1); }
BOOL WINAPI FakeOpen(HANDLE, DWORD access, PHANDLE token) {
  g_calls.push_back("open");
  EXPECT_EQ(access, static_cast<DWORD>(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY));
  *token = kToken;
  return g_open_ok;
}
BOOL WINAPI FakeLookup(LPCSTR system, LPCSTR name, PLUID luid) {
  g_calls.push_back("lookup");
  EXPECT_EQ(system, nullptr);
  g_privilege = name;
  luid->LowPart = 19;
  luid->HighPart = 0;
  return g_lookup_ok;
}
BOOL WINAPI FakeAdjust(HANDLE token, BOOL all, PTOKEN_PRIVILEGES tp, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
  EXPECT_EQ(token, kToken);
  EXPECT_FALSE(all);
  EXPECT_EQ(tp->PrivilegeCount, 1u);
  EXPECT_EQ(tp->Privileges[0].Luid.LowPart, 19u);
  bool enable = tp->Privileges[0].Attributes == SE_PRIVILEGE_ENABLED;
  g_calls.push_back(enable ? "enable" : "disable");
  g_last_error = enable ? g_error_after_enable : g_error_after_disable;
  return g_adjust_ok;
}
DWORD WINAPI FakeLastError() { return g_last_error; }
BOOL WINAPI FakeShutdown(LPSTR machine, LPSTR message, DWORD timeout, BOOL force, BOOL reboot) {
  g_calls.push_back("shutdown");
  EXPECT_EQ(machine, nullptr);
  g_message = message;
  EXPECT_EQ(timeout, 0u);
  EXPECT_TRUE(force);
  EXPECT_TRUE(reboot);
  return g_shutdown_ok;
}
BOOL WINAPI FakeExit(UINT flags, DWORD reason) {
  g_calls.push_back("exit");
  EXPECT_EQ(flags, static_cast<UINT>(EWX_REBOOT));
  g_exit_reason = reason;
  return g_exit_ok;
}
BOOL WINAPI FakeClose(HANDLE h) {
  EXPECT_EQ(h, kToken);
  g_calls.push_back("close");
  return TRUE;
}

class RestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetScsiState();
    g_calls.clear();
    g_open_ok = g_lookup_ok = g_adjust_ok = g_shutdown_ok = g_exit_ok = TRUE;
    g_error_after_enable = g_error_after_disable = g_last_error = 0;
    g_exit_reason = 12345;
    RestartPlatform() = RestartCalls{FakeProcess, FakeOpen,  FakeLookup, FakeAdjust,
                                     FakeLastError, FakeShutdown, FakeExit, FakeClose};
  }
  void TearDown() override {
    ResetRestartPlatform();
    ResetScsiState();
  }
  using Calls = std::vector<std::string>;
};

TEST_F(RestartTest, WithoutPassThroughItIsOnePlainRebootRequest) {
  g_pass_through_mode = false;
  EXPECT_TRUE(SystemRestart());
  EXPECT_EQ(g_calls, Calls{"exit"});
  EXPECT_EQ(g_exit_reason, 0u);
  g_calls.clear();
  g_exit_ok = FALSE;
  EXPECT_FALSE(SystemRestart());
  EXPECT_EQ(g_calls, Calls{"exit"});
}

TEST_F(RestartTest, NtPathEnablesShutsDownDisablesAndReboots) {
  g_pass_through_mode = true;
  EXPECT_TRUE(SystemRestart());
  EXPECT_EQ(g_calls, (Calls{"open", "lookup", "enable", "shutdown", "disable", "exit", "close"}));
  EXPECT_EQ(g_privilege, "SeShutdownPrivilege");
  EXPECT_EQ(g_message, "Click on the main window and press \t\t the Escape key to cancel shutdown.");
  EXPECT_EQ(g_exit_reason, 0xFFFFFFFFu);
  g_calls.clear();
  g_exit_ok = FALSE;
  EXPECT_TRUE(SystemRestart()) << "the last reboot request's result is ignored";
}

TEST_F(RestartTest, NtPathStopsAtTheFirstFailureWithoutShuttingDown) {
  g_pass_through_mode = true;
  g_error_after_enable = ERROR_NOT_ALL_ASSIGNED;  // the privilege is not held
  EXPECT_FALSE(SystemRestart());
  EXPECT_EQ(g_calls, (Calls{"open", "lookup", "enable", "close"}));

  SetUp();
  g_pass_through_mode = true;
  g_open_ok = FALSE;
  EXPECT_FALSE(SystemRestart());
  EXPECT_EQ(g_calls, Calls{"open"});

  SetUp();
  g_pass_through_mode = true;
  g_adjust_ok = FALSE;
  EXPECT_FALSE(SystemRestart());
  EXPECT_EQ(g_calls, (Calls{"open", "lookup", "enable", "close"}));

  SetUp();
  g_pass_through_mode = true;
  g_shutdown_ok = FALSE;  // the privilege stays enabled
  EXPECT_FALSE(SystemRestart());
  EXPECT_EQ(g_calls, (Calls{"open", "lookup", "enable", "shutdown", "close"}));

  SetUp();
  g_pass_through_mode = true;
  g_error_after_disable = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(SystemRestart());
  EXPECT_EQ(g_calls, (Calls{"open", "lookup", "enable", "shutdown", "disable", "close"}));
}

}  // namespace
