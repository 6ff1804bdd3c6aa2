// The real Win32 calls behind the platform table.
#include "scsi/platform_win32.h"

namespace {

// SetupAPI is looked up at run time: Windows 95 has no SETUPAPI.DLL, and a
// program that imported it would not start there at all. Only the NT
// platform's pass-through enumeration calls it; without the library the
// enumeration finds no device set and so no drive.
HDEVINFO WINAPI NoClassDevs(const GUID*, PCSTR, HWND, DWORD) { return INVALID_HANDLE_VALUE; }
BOOL WINAPI NoInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA) {
  SetLastError(ERROR_NO_MORE_ITEMS);
  return FALSE;
}
BOOL WINAPI NoDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                     PSP_DEVINFO_DATA) {
  return FALSE;
}
BOOL WINAPI NoDestroy(HDEVINFO) { return FALSE; }

template <typename F>
F SetupApiCall(const char* name, F missing) {
  static HMODULE library = LoadLibraryA("SETUPAPI.DLL");
  FARPROC call = library ? GetProcAddress(library, name) : nullptr;
  return call ? reinterpret_cast<F>(reinterpret_cast<void*>(call)) : missing;
}

template <typename F>
F KernelCall(const char* name) {
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  FARPROC call = kernel ? GetProcAddress(kernel, name) : nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(call));
}

Win32Platform RealPlatform() {
  Win32Platform p;
  p.SetupDiGetClassDevsA = SetupApiCall("SetupDiGetClassDevsA", NoClassDevs);
  p.SetupDiEnumDeviceInterfaces = SetupApiCall("SetupDiEnumDeviceInterfaces", NoInterfaces);
  p.SetupDiGetDeviceInterfaceDetailA = SetupApiCall("SetupDiGetDeviceInterfaceDetailA", NoDetail);
  p.SetupDiDestroyDeviceInfoList = SetupApiCall("SetupDiDestroyDeviceInfoList", NoDestroy);
  p.CreateFileA = ::CreateFileA;
  p.DeviceIoControl = ::DeviceIoControl;
  p.LoadLibraryA = ::LoadLibraryA;
  p.GetProcAddress = ::GetProcAddress;
  p.GetVersionExA = ::GetVersionExA;
  p.CreateEventA = ::CreateEventA;
  p.ResetEvent = ::ResetEvent;
  p.SetEvent = ::SetEvent;
  p.WaitForSingleObject = ::WaitForSingleObject;
  p.CloseHandle = ::CloseHandle;
  p.Sleep = ::Sleep;
  p.GetTickCount = ::GetTickCount;
  p.SetThreadExecutionState = KernelCall<DWORD(WINAPI*)(DWORD)>("SetThreadExecutionState");
  return p;
}

}  // namespace

const GUID kCdromInterfaceGuid = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// Built on first use, so a static constructor elsewhere may already use it.
Win32Platform& Platform() {
  static Win32Platform platform = RealPlatform();
  return platform;
}

void ResetPlatform() { Platform() = RealPlatform(); }
