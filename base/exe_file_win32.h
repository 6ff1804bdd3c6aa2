// The executable file object of the Windows program: an ExeFile over a
// file handle opened read-only on the program's own executable.
#pragma once
#include <windows.h>

#include "base/exe_file.h"

class Win32ExeFile : public ExeFile {
 public:
  Win32ExeFile() = default;
  ~Win32ExeFile() override { Close(); }
  Win32ExeFile(const Win32ExeFile&) = delete;
  Win32ExeFile& operator=(const Win32ExeFile&) = delete;

  // CreateFileA with read access, sharing for reading, open existing and the
  // random-access hint. False (and closed) when the file cannot be opened.
  bool Open(const char* path);
  // Takes over a handle opened elsewhere (an invalid one leaves it closed).
  void Attach(HANDLE handle);

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }
  uint32_t Length() override;
  // Positions at or before the file's end can be set; others are refused.
  bool Seek(uint32_t position) override;
  uint32_t Tell() override;
  uint32_t Read(void* buffer, uint32_t n) override;
  void Close() override;

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};
