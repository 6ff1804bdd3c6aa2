// The trace's log file through the Windows file calls.
#include "scsi/trace_files_win32.h"

#include <windows.h>

#include "scsi/trace.h"

namespace {

void* OpenLog(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_FLAG_RANDOM_ACCESS, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool WriteLog(void* file, const void* bytes, size_t length) {
  DWORD written = 0;
  return WriteFile(static_cast<HANDLE>(file), bytes, static_cast<DWORD>(length), &written, nullptr) &&
         written == length;
}

void CloseLog(void* file) { CloseHandle(static_cast<HANDLE>(file)); }

}  // namespace

void InstallWin32TraceFiles() { TraceFiles() = TraceFileOps{OpenLog, WriteLog, CloseLog}; }
