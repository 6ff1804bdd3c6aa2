// The payload file of the Linux program: an ExeFile over a read-only file
// descriptor on the updater (its own executable, or a vendor's).
#pragma once
#include <string>

#include "base/exe_file.h"

class PosixExeFile : public ExeFile {
 public:
  PosixExeFile() = default;
  ~PosixExeFile() override { Close(); }
  PosixExeFile(const PosixExeFile&) = delete;
  PosixExeFile& operator=(const PosixExeFile&) = delete;

  // The largest file taken for an updater: the program and a few images of
  // the 16 MiB that a drive's buffer can address. A larger file is no
  // updater, and it is read whole into memory.
  static constexpr uint32_t kMaxLength = 64u << 20;

  // Opens a regular file of at most kMaxLength bytes for reading; false (and
  // closed, with *why in words for a person when why is given) otherwise. A
  // path that is no regular file is not opened at all where that can be
  // seen beforehand, and never waited on or made the controlling terminal.
  bool Open(const char* path, std::string* why = nullptr);

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
