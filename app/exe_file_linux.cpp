#include "app/exe_file_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

bool PosixExeFile::Open(const char* path) {
  Close();
  // Non-blocking only for the open itself: a FIFO must not hang the run.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    close(fd);
    return false;
  }
  fd_ = fd;
  length_ = static_cast<uint32_t>(st.st_size);
  position_ = 0;
  return true;
}

bool PosixExeFile::Seek(uint32_t position) {
  if (fd_ < 0 || position > length_) return false;
  position_ = position;
  return true;
}

uint32_t PosixExeFile::Read(void* buffer, uint32_t n) {
  if (fd_ < 0) return 0;
  uint32_t got = 0;
  while (got < n) {
    const ssize_t r = pread(fd_, static_cast<char*>(buffer) + got, n - got, static_cast<off_t>(position_) + got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<uint32_t>(r);
  }
  position_ += got;
  return got;
}

void PosixExeFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  length_ = 0;
  position_ = 0;
}
