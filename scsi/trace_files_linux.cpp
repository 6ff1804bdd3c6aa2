// The log file of the command trace on Linux: created (emptied) with
// open(2), written whole with write(2).
#include "scsi/trace_files_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "scsi/trace.h"

namespace {

void* OpenLog(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  return fd < 0 ? nullptr : reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
}

int Fd(void* file) { return static_cast<int>(reinterpret_cast<intptr_t>(file) - 1); }

bool WriteLog(void* file, const void* bytes, size_t length) {
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

void CloseLog(void* file) { close(Fd(file)); }

}  // namespace

void InstallPosixTraceFiles() { TraceFiles() = TraceFileOps{OpenLog, WriteLog, CloseLog}; }
