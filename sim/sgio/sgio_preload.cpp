// libfwsimsg.so: the simulated drives as SCSI generic devices, for programs
// that send SG_IO (Wine's IOCTL_SCSI_PASS_THROUGH_DIRECT among them). Loaded
// with LD_PRELOAD; built for the program's architecture (i386 for 32-bit
// Wine, x86_64 for 64-bit Wine).
//
// A drive's device is a plain file named
//     wine#cdrom#N#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}
// (any folder; it is what a Wine prefix's dosdevices entry for CD-ROM
// interface instance N is called): drive N is the N-th `drive` line of the
// configuration. On such a file fstat reports a character device
// (major 21, minor N) and ioctl(SG_IO) is answered by SgioService; every
// other file and request goes to the C library unchanged.
//
// Configuration as for every service of the simulated drive: FWSIM_CONFIG,
// FWSIM_LOG, FWSIM_OUT (sim/sim_config.h), read at the first SG_IO request.
// The device file may carry them too, one NAME=VALUE a line, and then wins
// over the environment: Wine gives a program started by another Wine
// program (CreateProcess with an environment) that environment on the
// Windows side only; its Unix side keeps the one Wine was started with.
// Paths may be Unix paths or Wine paths (X:\...; resolved through
// $WINEPREFIX/dosdevices, ~/.wine without WINEPREFIX).
//
// Wine's 32-bit unix side is built with 64-bit time_t and calls
// __fstat64_time64 and __ioctl_time64; plain ioctl is served too (64-bit
// Wine calls it). 64-bit Wine's pass-through does not look at what kind of
// file the device is, so its fstat is left alone.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sim/sgio/sgio_service.h"

namespace {

constexpr char kInterfaceSuffix[] = "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr char kInterfacePrefix[] = "wine#cdrom#";
constexpr unsigned kSgMajor = 21;

struct Service {
  SimConfig config;
  SimWireLog log;
  SgioService sgio{config, log};
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Service* g_service = nullptr;  // made at the first request, lives as long as the process

// "X:\a\b" -> "$WINEPREFIX/dosdevices/x:/a/b"; Unix paths stay.
std::string UnixPath(const char* value) {
  std::string path = value ? value : "";
  if (path.size() < 3 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0])) ||
      (path[2] != '\\' && path[2] != '/')) {
    return path;
  }
  std::string prefix;
  if (const char* p = std::getenv("WINEPREFIX")) {
    prefix = p;
  } else if (const char* home = std::getenv("HOME")) {
    prefix = std::string(home) + "/.wine";
  }
  std::string out = prefix + "/dosdevices/" + static_cast<char>(std::tolower(static_cast<unsigned char>(path[0]))) +
                    ":" + path.substr(2);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

// The path of an open file, "" when it has none.
std::string PathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// A setting: NAME=VALUE in the device file wins, else the environment.
std::string Setting(const std::string& device_text, const char* name) {
  const std::string key = std::string(name) + "=";
  size_t at = 0;
  while (at < device_text.size()) {
    size_t end = device_text.find('\n', at);
    if (end == std::string::npos) end = device_text.size();
    std::string line = device_text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
    at = end + 1;
  }
  const char* value = std::getenv(name);
  return value ? value : "";
}

Service& TheService(int fd) {
  if (!g_service) {
    g_service = new Service;
    std::string text;
    if (FILE* device = std::fopen(PathOf(fd).c_str(), "rb")) {
      char chunk[1024];
      size_t n;
      while (text.size() < 64 * 1024 && (n = std::fread(chunk, 1, sizeof chunk, device)) > 0) text.append(chunk, n);
      std::fclose(device);
    }
    LoadSimConfig(UnixPath(Setting(text, "FWSIM_CONFIG").c_str()), UnixPath(Setting(text, "FWSIM_LOG").c_str()),
                  UnixPath(Setting(text, "FWSIM_OUT").c_str()), g_service->config);
    g_service->config.log_path = UnixPath(g_service->config.log_path.c_str());
    g_service->config.out_dir = UnixPath(g_service->config.out_dir.c_str());
    g_service->log.Open(g_service->config.log_path);
    for (const std::string& e : g_service->config.errors) {
      g_service->log.Line(e);
      std::fprintf(stderr, "fwsimsg: %s\n", e.c_str());
    }
  }
  return *g_service;
}

// The drive number of a device file, or -1 for any other file.
int DriveOf(int fd) {
  const std::string path = PathOf(fd);
  if (path.empty()) return -1;
  const char* name = std::strrchr(path.c_str(), '/');
  name = name ? name + 1 : path.c_str();
  const size_t prefix = sizeof kInterfacePrefix - 1;
  if (strncasecmp(name, kInterfacePrefix, prefix) != 0) return -1;
  const char* digits = name + prefix;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) return -1;
  char* end = nullptr;
  const unsigned long number = std::strtoul(digits, &end, 10);
  if (number > 255 || strcasecmp(end, kInterfaceSuffix) != 0) return -1;
  return static_cast<int>(number);
}

template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void MakeDevice(struct stat* st, int drive) {
  st->st_mode = (st->st_mode & ~static_cast<mode_t>(S_IFMT)) | S_IFCHR;
  st->st_rdev = makedev(kSgMajor, static_cast<unsigned>(drive));
  st->st_size = 0;
}

using IoctlFn = int (*)(int, unsigned long, ...);

// SG_IO on a device file is served; anything else goes to the C library's
// function `real`.
int Ioctl(IoctlFn real, int fd, unsigned long request, void* argument) {
  const int drive = request == SG_IO ? DriveOf(fd) : -1;
  if (drive < 0) {
    if (real) return real(fd, request, argument);
    errno = ENOSYS;
    return -1;
  }
  pthread_mutex_lock(&g_lock);
  int error = 0;
  const int result = TheService(fd).sgio.Serve(static_cast<size_t>(drive), static_cast<sg_io_hdr_t*>(argument), &error);
  pthread_mutex_unlock(&g_lock);
  if (result != 0) errno = error;
  return result;
}

}  // namespace

extern "C" {

// With _TIME_BITS=64 (set by the build) struct stat is the 64-bit-time one
// that __fstat64_time64 fills.
__attribute__((visibility("default"))) int __fstat64_time64(int fd, struct stat* st) {
  static auto real = Next<int (*)(int, struct stat*)>("__fstat64_time64");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  const int result = real(fd, st);
  if (result == 0) {
    const int drive = DriveOf(fd);
    if (drive >= 0) MakeDevice(st, drive);
  }
  return result;
}

// ioctl's third argument is one pointer for every request served here.
__attribute__((visibility("default"))) int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  static const IoctlFn real = Next<IoctlFn>("__ioctl_time64");
  return Ioctl(real, fd, request, argument);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  static const IoctlFn real = Next<IoctlFn>("ioctl");
  return Ioctl(real, fd, request, argument);
}

}  // extern "C"
