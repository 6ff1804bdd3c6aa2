// The payload file of the Linux program: an ExeFile over a read-only file
// descriptor on the updater (its own executable, or a vendor's).
#pragma once
#include "app/exe_file.h"

class PosixExeFile : public ExeFile {
 public:
  PosixExeFile() = default;
  ~PosixExeFile() override { Close(); }
  PosixExeFile(const PosixExeFile&) = delete;
  PosixExeFile& operator=(const PosixExeFile&) = delete;

  // Opens a regular file below 4 GiB for reading; false (and closed)
  // otherwise, so a FIFO or a device never blocks the run.
  bool Open(const char* path);

  bool IsOpen() const override { return fd_ >= 0; }
  uint32_t Length() override { return length_; }
  bool Seek(uint32_t position) override;
  uint32_t Tell() override { return position_; }
  uint32_t Read(void* buffer, uint32_t n) override;
  void Close() override;

 private:
  int fd_ = -1;
  uint32_t length_ = 0;
  uint32_t position_ = 0;
};
