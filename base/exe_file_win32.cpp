#include "base/exe_file_win32.h"

bool Win32ExeFile::Open(const char* path) {
  Close();
  handle_ = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS,
                        nullptr);
  return IsOpen();
}

void Win32ExeFile::Attach(HANDLE handle) {
  Close();
  handle_ = handle ? handle : INVALID_HANDLE_VALUE;
}

uint32_t Win32ExeFile::Length() {
  if (!IsOpen()) return 0;
  // Low 32 bits only: files of 4 GiB and more are not supported.
  const DWORD low = GetFileSize(handle_, nullptr);
  return low == INVALID_FILE_SIZE ? 0 : low;
}

bool Win32ExeFile::Seek(uint32_t position) {
  if (!IsOpen() || position > Length()) return false;
  // A high word of 0 makes the whole unsigned 32-bit range addressable.
  LONG high = 0;
  const DWORD low = SetFilePointer(handle_, static_cast<LONG>(position), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  return low == position && high == 0;
}

uint32_t Win32ExeFile::Tell() {
  if (!IsOpen()) return 0;
  LONG high = 0;
  const DWORD low = SetFilePointer(handle_, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0;
  return low;
}

uint32_t Win32ExeFile::Read(void* buffer, uint32_t n) {
  if (!IsOpen() || buffer == nullptr) return 0;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  // ReadFile may return fewer bytes than asked; stop at the end or an error.
  while (total < n) {
    DWORD got = 0;
    if (!ReadFile(handle_, out + total, n - total, &got, nullptr) || got == 0) break;
    total += got;
  }
  return total;
}

void Win32ExeFile::Close() {
  if (IsOpen()) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}
