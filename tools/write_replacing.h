// File writing shared by the host tools.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tools {

// Writes bytes to a temporary file beside path and renames it over path, so
// path is either untouched or complete.
inline bool WriteReplacing(const std::string& path, const std::vector<uint8_t>& bytes, mode_t mode,
                           std::string* error) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    *error = path + ": cannot create a file beside it: " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = path + ": write error: " + std::strerror(n < 0 ? errno : EIO);
      close(fd);
      unlink(temp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  const bool synced = fchmod(fd, mode) == 0 && fsync(fd) == 0;
  const int saved = errno;
  if (close(fd) != 0 || !synced) {
    *error = path + ": write error: " + std::strerror(synced ? errno : saved);
    unlink(temp.c_str());
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    *error = path + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace tools
