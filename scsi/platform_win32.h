// The Win32 edge of the SCSI layer: every platform call of the two transports
// and of drive discovery goes through one table of function pointers, so tests
// can stand in for SetupAPI, the kernel and the ASPI library. The defaults are
// the real calls.
#pragma once
#include <windows.h>
#include <setupapi.h>

#include <cstdint>

#include "scsi/scsi_command.h"

struct Win32Platform {
  HDEVINFO(WINAPI* SetupDiGetClassDevsA)(const GUID* class_guid, PCSTR enumerator, HWND parent,
                                         DWORD flags);
  BOOL(WINAPI* SetupDiEnumDeviceInterfaces)(HDEVINFO set, PSP_DEVINFO_DATA device,
                                            const GUID* interface_guid, DWORD index,
                                            PSP_DEVICE_INTERFACE_DATA interface_data);
  BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA)(HDEVINFO set,
                                                 PSP_DEVICE_INTERFACE_DATA interface_data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                 DWORD detail_size, PDWORD required_size,
                                                 PSP_DEVINFO_DATA device);
  BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO set);
  HANDLE(WINAPI* CreateFileA)(LPCSTR name, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE template_file);
  BOOL(WINAPI* DeviceIoControl)(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
  HMODULE(WINAPI* LoadLibraryA)(LPCSTR name);
  FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR name);
  BOOL(WINAPI* GetVersionExA)(LPOSVERSIONINFOA info);
  HANDLE(WINAPI* CreateEventA)(LPSECURITY_ATTRIBUTES security, BOOL manual_reset,
                               BOOL initial_state, LPCSTR name);
  BOOL(WINAPI* ResetEvent)(HANDLE event);
  BOOL(WINAPI* SetEvent)(HANDLE event);
  DWORD(WINAPI* WaitForSingleObject)(HANDLE handle, DWORD ms);
  BOOL(WINAPI* CloseHandle)(HANDLE handle);
  void(WINAPI* Sleep)(DWORD ms);
  DWORD(WINAPI* GetTickCount)();
  // Looked up at run time (Windows 95 has none): null where it is missing.
  DWORD(WINAPI* SetThreadExecutionState)(DWORD flags);
};

// The process-wide table; ResetPlatform restores the real calls. The two
// messages of the ASPI transport go through Host().message_box.
Win32Platform& Platform();
void ResetPlatform();

// SCSI pass-through (NT platform) -------------------------------------------

constexpr DWORD kIoctlScsiPassThroughDirect = 0x4D014;
constexpr DWORD kCdromInterfaceFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
extern const GUID kCdromInterfaceGuid;  // {53F56308-B6BF-11D0-94F2-00A0C91EFB8B}

// Opens every present CD-ROM interface into the drive table (at most 200, in
// enumeration order; an interface that cannot be opened keeps its slot with
// no handle) and returns the count, which is also the table's count.
int PassThroughEnumerateDrives();
// One attempt of the request on the current drive (its interface handle):
// one DeviceIoControl with SCSI_PASS_THROUGH_DIRECT (passthrough_win32.h).
// kGood with the bytes the system says moved; kDriveStatus with the status
// (and, for CHECK CONDITION, the sense buffer); kLost when the call failed
// (the system gave no status: it lost the request or failed it), kRejected
// when the drive has no open handle (nothing was sent).
ScsiOutcome PassThroughAttempt(const ScsiRequest& request);

// ASPI for Win32 (every other platform) ----------------------------------------

// Loads WNASPI32.DLL (once per process) and appends every CD-ROM device at
// targets 0..6, LUN 0 of every host adapter to the drive table (at most 200).
// Returns the count; 0 when the library is missing, lacks its two called
// entry points, is not ready or has no adapter.
int AspiEnumerateDrives();
// One attempt of the request on the current drive (adapter, target): one
// execute request (aspi_win32.h) with its own completion event. kGood when
// the library completes it; kDriveStatus for the target's status (SS_ERR);
// kLost after a time-out, an abort or an adapter error; kRejected when no
// request went out (no library, an event failure, a request the library
// refused). Every failure carries the request status as transport code; a
// request given up while the library holds it raises g_abandon_command and
// carries sense 08h/01h (communication time-out).
ScsiOutcome AspiAttempt(const ScsiRequest& request);

// How long the transport waits, after a time-out and an abort request, for
// the library to let go of the pending request: every kAspiLetGoPollMs, at
// most kAspiLetGoPolls times.
constexpr DWORD kAspiLetGoPollMs = 50;
constexpr int kAspiLetGoPolls = 60;
// Requests the library never let go of; their memory is deliberately kept.
int AspiAbandonedRequests();
// Requests whose copies are kept because the library had them past the
// time-out (the abandoned ones included): it may still write into them.
int AspiKeptRequests();
// True for a completion event that must never be closed: the library may
// still post it for a request it had past the time-out. Closing it would let
// the system hand the same handle to a later command, which that late post
// would then wake.
bool AspiEventKept(void* event);
// Forgets the loaded library and its entry points (tests; the library itself
// stays loaded).
void ResetAspiTransport();
