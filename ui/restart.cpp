#include "ui/restart.h"

#include <cstring>

#include "scsi/dispatcher.h"

namespace {
RestartCalls SystemCalls() {
  return RestartCalls{&GetCurrentProcess, &OpenProcessToken, &LookupPrivilegeValueA, &AdjustTokenPrivileges,
                      &GetLastError,      &InitiateSystemShutdownA, &ExitWindowsEx, &CloseHandle};
}
RestartCalls g_calls = SystemCalls();

// Enables or disables the one privilege; true only when the last error is 0.
bool SetShutdownPrivilege(const RestartCalls& c, HANDLE token, const LUID& luid, bool enable) {
  TOKEN_PRIVILEGES tp = {};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Luid = luid;
  tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  BOOL ok = c.adjust_token_privileges(token, FALSE, &tp, 0, nullptr, nullptr);
  // Not holding the privilege still "succeeds", with ERROR_NOT_ALL_ASSIGNED.
  return ok && c.get_last_error() == 0;
}
}  // namespace

RestartCalls& RestartPlatform() { return g_calls; }
void ResetRestartPlatform() { g_calls = SystemCalls(); }

bool SystemRestart() {
  const RestartCalls& c = g_calls;
  if (!g_pass_through_mode) return c.exit_windows(EWX_REBOOT, 0) != FALSE;

  HANDLE token = nullptr;
  if (!c.open_process_token(c.get_current_process(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  bool accepted = false;
  LUID luid = {};
  if (c.lookup_privilege_value(nullptr, "SeShutdownPrivilege", &luid) &&
      SetShutdownPrivilege(c, token, luid, true)) {
    char message[96];
    std::strncpy(message, kShutdownMessage, sizeof message - 1);
    message[sizeof message - 1] = '\0';
    if (c.initiate_system_shutdown(nullptr, message, 0, TRUE, TRUE) && SetShutdownPrivilege(c, token, luid, false)) {
      c.exit_windows(EWX_REBOOT, 0xFFFFFFFFu);
      accepted = true;
    }
  }
  c.close_handle(token);
  return accepted;
}
