// The system restart offered after a successful update.
#pragma once
#include <windows.h>

// The platform calls of the restart, replaceable by tests.
struct RestartCalls {
  HANDLE(WINAPI* get_current_process)();
  BOOL(WINAPI* open_process_token)(HANDLE process, DWORD access, PHANDLE token);
  BOOL(WINAPI* lookup_privilege_value)(LPCSTR system, LPCSTR name, PLUID luid);
  BOOL(WINAPI* adjust_token_privileges)(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES state, DWORD length,
                                        PTOKEN_PRIVILEGES previous, PDWORD returned);
  DWORD(WINAPI* get_last_error)();
  BOOL(WINAPI* initiate_system_shutdown)(LPSTR machine, LPSTR message, DWORD timeout, BOOL force_close,
                                         BOOL reboot);
  BOOL(WINAPI* exit_windows)(UINT flags, DWORD reason);
  BOOL(WINAPI* close_handle)(HANDLE handle);
};
RestartCalls& RestartPlatform();
void ResetRestartPlatform();

constexpr const char* kShutdownMessage = "Click on the main window and press \t\t the Escape key to cancel shutdown.";

// Restarts the computer: on the NT family (pass-through mode) with the
// shutdown privilege, elsewhere with a plain reboot request. true when the
// request was accepted; silent either way.
bool SystemRestart();
