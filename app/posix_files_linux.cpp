#include "app/posix_files_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

// Descriptor n travels as the handle n + 1, so descriptor 0 is no null.
int Fd(void* file) { return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1); }

bool WriteImage(void* file, const void* bytes, uint32_t length) { return PosixWriteFile(file, bytes, length); }

const SplitFileOps kSplitFileOps{PosixCreateFile, WriteImage, PosixCloseFile};

}  // namespace

void* PosixCreateFile(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd < 0 ? nullptr : reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
}

bool PosixWriteFile(void* file, const void* bytes, size_t length) {
  const char* p = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t n = write(Fd(file), p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void PosixCloseFile(void* file) { close(Fd(file)); }

const SplitFileOps& PosixSplitFileOps() { return kSplitFileOps; }
