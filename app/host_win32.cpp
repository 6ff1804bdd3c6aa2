#include "app/host_win32.h"

#include <windows.h>

#include <string>
#include <vector>

#include "base/host.h"
#include "scsi/platform_win32.h"
#include "ui/winapp.h"

namespace {

std::string g_app_name = "fwupdate";

void Win32Sleep(uint32_t ms) { Sleep(ms); }

void Win32MessageBox(const char* text) { MessageBoxA(nullptr, text ? text : "", g_app_name.c_str(), MB_OK); }

bool Win32AskYesNo(const char* text, const char* caption) {
  return MessageBoxA(nullptr, text ? text : "", caption ? caption : g_app_name.c_str(),
                     MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void* CreateOutputFile(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool WriteOutputFile(void* file, const void* bytes, uint32_t length) {
  if (file == nullptr) return false;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint32_t done = 0;
  while (done < length) {
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(file), p + done, length - done, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

bool CloseOutputFile(void* file) { return file != nullptr && CloseHandle(static_cast<HANDLE>(file)); }

// Keeps the computer awake while the drive is written and flashed: a system
// that sleeps half-way bricks the drive as surely as a power cut. Windows 95
// has no such request; there nothing is asked.
void Win32UpdateGuard(bool active) {
  DWORD(WINAPI * request)(DWORD) = Platform().SetThreadExecutionState;
  if (request) request(active ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

const SplitFileOps kSplitFileOps{CreateOutputFile, WriteOutputFile, CloseOutputFile};

}  // namespace

void InstallWin32Host() {
  g_app_name = AfxGetAppName();
  HostSeams& host = Host();
  host.sleep_ms = Win32Sleep;
  host.message_box = Win32MessageBox;
  host.ask_yes_no = Win32AskYesNo;
  host.update_guard = Win32UpdateGuard;
}

const SplitFileOps& Win32SplitFileOps() { return kSplitFileOps; }

std::string ModuleFileName() {
  std::vector<char> name(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return std::string();
    if (n < name.size()) return std::string(name.data(), n);
    if (name.size() >= 32768) return std::string();  // no longer path exists
    name.resize(name.size() * 2);
  }
}
