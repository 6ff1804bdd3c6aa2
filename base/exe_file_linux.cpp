#include "base/exe_file_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// Why a file is no updater to read: empty when it may be one.
std::string NotAnUpdater(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
  if (static_cast<uint64_t>(st.st_size) > PosixExeFile::kMaxLength) {
    return "it is " + std::to_string(static_cast<uint64_t>(st.st_size)) + " bytes, more than an updater can be (" +
           std::to_string(PosixExeFile::kMaxLength >> 20) + " MiB); it was not read";
  }
  return "";
}

}  // namespace

bool PosixExeFile::Open(const char* path, std::string* why) {
  Close();
  std::string reason;
  struct stat st;
  // A device or a FIFO is never opened on purpose (opening one can act).
  if (stat(path, &st) == 0) reason = NotAnUpdater(st);
  int fd = -1;
  if (reason.empty()) {
    // Whatever took the name since is opened without waiting and without
    // becoming the controlling terminal, and looked at again.
    fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      reason = std::strerror(errno);
    } else if (fstat(fd, &st) != 0) {
      reason = std::strerror(errno);
    } else {
      reason = NotAnUpdater(st);
    }
  }
  if (!reason.empty()) {
    if (fd >= 0) close(fd);
    if (why) *why = reason;
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
