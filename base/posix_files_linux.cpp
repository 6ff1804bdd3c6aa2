#include "base/posix_files_linux.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// One open output. A split image is written under temp_name and takes its
// own name when it is closed whole.
struct OutputFile {
  int fd = -1;
  bool failed = false;
  std::string temp_name;
  std::string final_name;
};

// The directory split mode writes into.
int g_split_fd = -1;
std::string g_split_path;

OutputOpen Open() { return OutputOpen{OutputOpen::kOpen, ""}; }
OutputOpen Refused(const std::string& reason) { return OutputOpen{OutputOpen::kRefused, reason}; }
OutputOpen Failed(int error) { return OutputOpen{OutputOpen::kFailed, std::strerror(error)}; }

// What a directory entry is, in words, when it is no regular file.
std::string KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISDIR(mode)) return "a directory";
  return "not a regular file";
}

// Why an existing file must not be written: empty when it may.
std::string UnsafeFile(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return "it is " + KindOf(st.st_mode);
  if (st.st_nlink > 1) return "it has other names (hard links)";
  return "";
}

bool ClearNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

void* Handle(OutputFile* file) { return file; }
OutputFile* File(void* handle) { return static_cast<OutputFile*>(handle); }

bool WriteAll(int fd, const void* bytes, size_t length) {
  const char* p = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t n = write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// A temporary name beside the image's own; O_EXCL makes a name someone
// prepared a retry, never a file of theirs.
int CreateTemporary(const std::string& name, std::string* temp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint32_t random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
      random = static_cast<uint32_t>(getpid()) * 2654435761u + static_cast<uint32_t>(attempt);
    }
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x", random);
    *temp = "." + name + suffix;
    const int fd = openat(g_split_fd, temp->c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

void* SplitCreate(const char* path) {
  if (g_split_fd < 0 || !path) return nullptr;
  // Only names in the directory that was opened and checked.
  const std::string full(path);
  const std::string prefix = g_split_path + "/";
  if (full.compare(0, prefix.size(), prefix) != 0) return nullptr;
  const std::string name = full.substr(prefix.size());
  if (name.empty() || name.find('/') != std::string::npos || name[0] == '.') return nullptr;
  auto* file = new (std::nothrow) OutputFile;
  if (!file) return nullptr;
  file->final_name = name;
  file->fd = CreateTemporary(name, &file->temp_name);
  if (file->fd < 0) {
    delete file;
    return nullptr;
  }
  return Handle(file);
}

bool SplitWrite(void* file, const void* bytes, uint32_t length) { return PosixWriteFile(file, bytes, length); }

const SplitFileOps kSplitFileOps{SplitCreate, SplitWrite, PosixCloseFile};

}  // namespace

OutputOpen OpenLogFile(const char* path, void** file) {
  *file = nullptr;
  if (!path || !*path) return Refused("no file is named");
  // Anything that is there already is looked at before it is opened: a FIFO
  // or a device is never opened at all.
  struct stat st;
  if (lstat(path, &st) == 0) {
    const std::string why = UnsafeFile(st);
    if (!why.empty()) return Refused(why);
  }
  // Opened without following a link, without becoming the controlling
  // terminal and without waiting (a FIFO put there since, a lease); not
  // emptied before it is known to be a plain file.
  const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    if (lstat(path, &st) == 0) {
      const std::string why = UnsafeFile(st);
    if (!why.empty()) return Refused(why);
    }
    return Failed(error);
  }
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    return Failed(error);
  }
  const std::string why = UnsafeFile(st);
  if (!why.empty()) {
    close(fd);
    return Refused(why);
  }
  if (ftruncate(fd, 0) != 0 || !ClearNonBlocking(fd)) {
    const int error = errno;
    close(fd);
    return Failed(error);
  }
  auto* out = new (std::nothrow) OutputFile;
  if (!out) {
    close(fd);
    return Failed(ENOMEM);
  }
  out->fd = fd;
  *file = Handle(out);
  return Open();
}

void* PosixCreateFile(const char* path) {
  void* file = nullptr;
  OpenLogFile(path, &file);
  return file;
}

bool PosixWriteFile(void* file, const void* bytes, size_t length) {
  OutputFile* out = File(file);
  if (!out) return false;
  if (!out->failed && !WriteAll(out->fd, bytes, length)) out->failed = true;
  return !out->failed;
}

bool PosixCloseFile(void* file) {
  OutputFile* out = File(file);
  if (!out) return false;
  bool whole = !out->failed;
  if (out->temp_name.empty()) {
    whole = close(out->fd) == 0 && whole;
  } else {
    // The image reaches its name only complete and on the disk.
    whole = whole && fsync(out->fd) == 0;
    whole = close(out->fd) == 0 && whole;
    whole = whole && g_split_fd >= 0 &&
            renameat(g_split_fd, out->temp_name.c_str(), g_split_fd, out->final_name.c_str()) == 0;
    if (!whole && g_split_fd >= 0) unlinkat(g_split_fd, out->temp_name.c_str(), 0);
  }
  delete out;
  return whole;
}

OutputOpen OpenSplitDirectory(const std::string& dir) {
  CloseSplitDirectory();
  if (dir.empty()) return Refused("no directory is named");
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return Refused("it is a symbolic link");
    return Failed(error);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    return Failed(error);
  }
  // Others could swap the files in it once they are written (a sticky
  // directory lets them touch only their own).
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    close(fd);
    return Refused("users other than its owner may write to it and it is not sticky");
  }
  g_split_fd = fd;
  g_split_path = dir;
  return Open();
}

OutputOpen CheckSplitNames(const std::string& dir, int count) {
  if (g_split_fd < 0 || dir != g_split_path) return Refused("the directory is not open");
  for (int k = 1; k <= count; ++k) {
    const std::string name = "Bin@" + std::to_string(k) + ".bin";
    struct stat st;
    if (fstatat(g_split_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // A regular file is replaced by a new one: its other names, if any,
    // keep their contents.
    if (!S_ISREG(st.st_mode)) return Refused(dir + "/" + name + " is " + KindOf(st.st_mode));
  }
  return Open();
}

void CloseSplitDirectory() {
  if (g_split_fd >= 0) close(g_split_fd);
  g_split_fd = -1;
  g_split_path.clear();
}

const SplitFileOps& PosixSplitFileOps() { return kSplitFileOps; }
