// The real Win32 calls behind the platform table.
#include "scsi/win32_platform.h"

namespace {

Win32Platform RealPlatform() {
  Win32Platform p;
  p.SetupDiGetClassDevsA = ::SetupDiGetClassDevsA;
  p.SetupDiEnumDeviceInterfaces = ::SetupDiEnumDeviceInterfaces;
  p.SetupDiGetDeviceInterfaceDetailA = ::SetupDiGetDeviceInterfaceDetailA;
  p.SetupDiDestroyDeviceInfoList = ::SetupDiDestroyDeviceInfoList;
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
