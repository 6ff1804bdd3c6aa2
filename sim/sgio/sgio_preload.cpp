// libfwsimsg.so / libfwsim_sgio.so: the simulated drives as SCSI generic
// devices, loaded with LD_PRELOAD into any program that sends SG_IO. One
// source for every architecture: built with -m32 for 32-bit Wine, for x86_64
// for 64-bit Wine and for native Linux programs. It answers two kinds of node,
// both from the same drives, the same settings and under the same lock:
//
//  - Wine's device files. A plain file named
//        wine#cdrom#N#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}
//    (any folder; it is what a Wine prefix's dosdevices entry for CD-ROM
//    interface instance N is called) is the device of drive N. On it
//    __fstat64_time64 reports a character device (major 21, minor N) and
//    ioctl(SG_IO) is served. Wine's 32-bit unix side is built with 64-bit
//    time_t and calls __fstat64_time64 and __ioctl_time64; plain ioctl is what
//    64-bit Wine calls. 64-bit Wine's pass-through does not ask what kind of
//    file the device is, so fstat is left alone there.
//  - The sg driver's nodes. /sys/class/scsi_generic and /dev/sgN are answered
//    from a fake sysfs tree: drive i (the i-th "drive" line) is /dev/sg<i+1>
//    with block device sr<i> at host:channel:target:lun A+1:0:T:L, its "type"
//    setting is what sysfs shows, and /dev/sg0 is always a disk (type 0),
//    which discovery must pass over. SG_IO comes as one ioctl or as the sg
//    driver's write() of a request, poll() and read() of its answer: write()
//    serves the request at once (delays included) and keeps the answered
//    header for the node; poll() then reports the node readable and read()
//    hands the header back. A request the service fails fails its write()
//    with that errno, as the ioctl would; read() with nothing answered is
//    EAGAIN (the program opens its nodes non-blocking).
//
// Settings, read once, at the first request or node the process touches:
//   FWSIM_CONFIG  configuration file (sim/sim_config.h); unset: one default drive
//   FWSIM_LOG     wire log (wins over the file's "log")
//   FWSIM_OUT     folder for flashed images (wins over the file's "out")
//   FWSIM_SYSFS   folder in which to build the sysfs tree (else a temporary
//                 folder, removed at exit)
//   FWSIM_DENY    blank-separated node names (sg1 sg2) whose open fails with
//                 EACCES, as for a user without write access
//   FWSIM_POWER   folder that stands in for /sys/class/power_supply (a test's
//                 laptop); unset: the machine's own
//   FWSIM_STATE   folder that stands in for /var/lib/fwupdate-linux (the
//                 update history of a test); unset: the machine's own
// When the first request comes through a Wine device file, that file may
// carry them as NAME=VALUE lines, which win over the environment: Wine gives
// a program started by another Wine program (CreateProcess with an
// environment) that environment on the Windows side only. Paths may be Unix
// paths or Wine paths (X:\...; resolved through $WINEPREFIX/dosdevices,
// ~/.wine without WINEPREFIX).
//
// Every request is served under one lock, whichever node and whichever call
// it came through: the drives, their fault counters and the wire log are
// shared by every thread of the process.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "sim/sgio/sgio_service.h"
#include "sim/sim_config.h"

// The functions this library puts in front of the C library's. Each is
// declared under its C library name with an assembler label, so that the
// headers' 64-bit renames (open -> open64 with _FILE_OFFSET_BITS=64, ioctl ->
// __ioctl_time64 with _TIME_BITS=64) do not rename ours.
#define PRELOAD(name) __asm__(#name) __attribute__((visibility("default")))
extern "C" {
int PreloadOpen(const char* path, int flags, ...) PRELOAD(open);
int PreloadOpen64(const char* path, int flags, ...) PRELOAD(open64);
int PreloadOpenat(int dirfd, const char* path, int flags, ...) PRELOAD(openat);
int PreloadOpenat64(int dirfd, const char* path, int flags, ...) PRELOAD(openat64);
DIR* PreloadOpendir(const char* path) PRELOAD(opendir);
ssize_t PreloadReadlink(const char* path, char* buffer, size_t size) PRELOAD(readlink);
int PreloadLstat(const char* path, void* st) PRELOAD(lstat);
int PreloadLstat64(const char* path, void* st) PRELOAD(lstat64);
int PreloadStat(const char* path, void* st) PRELOAD(stat);
int PreloadStat64(const char* path, void* st) PRELOAD(stat64);
int PreloadMkdir(const char* path, mode_t mode) PRELOAD(mkdir);
int PreloadIoctl(int fd, unsigned long request, ...) PRELOAD(ioctl);
int PreloadIoctlTime64(int fd, unsigned long request, ...) PRELOAD(__ioctl_time64);
int PreloadFstatTime64(int fd, struct stat* st) PRELOAD(__fstat64_time64);
ssize_t PreloadWrite(int fd, const void* buffer, size_t size) PRELOAD(write);
ssize_t PreloadRead(int fd, void* buffer, size_t size) PRELOAD(read);
int PreloadPoll(struct pollfd* fds, nfds_t count, int timeout_ms) PRELOAD(poll);
int PreloadClose(int fd) PRELOAD(close);
}

namespace {

constexpr char kInterfaceSuffix[] = "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr char kInterfacePrefix[] = "wine#cdrom#";
constexpr unsigned kSgMajor = 21;
constexpr char kClassPrefix[] = "/sys/class/scsi_generic";
constexpr char kDevicesPrefix[] = "/sys/devices/fwsim";
constexpr char kPowerPrefix[] = "/sys/class/power_supply";
constexpr char kStatePrefix[] = "/var/lib/fwupdate-linux";
constexpr char kNodePrefix[] = "/dev/sg";

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using OpendirFn = DIR* (*)(const char*);
using ReadlinkFn = ssize_t (*)(const char*, char*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using FstatFn = int (*)(int, struct stat*);
using CloseFn = int (*)(int);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using ReadFn = ssize_t (*)(int, void*, size_t);
using PollFn = int (*)(struct pollfd*, nfds_t, int);

// The C library's function of that name.
template <typename Fn>
Fn Real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// ---------------------------------------------------------------------------
// The simulation: settings, drives, wire log, made once per process.

struct Simulation {
  SimConfig config;
  SimWireLog log;
  SgioService sgio{config, log};
  std::string deny;      // " sg1 sg2 "
  std::string tree;      // the fake sysfs lives here (built at first use)
  bool remove_tree = false;
  std::string power;     // FWSIM_POWER, or empty
  std::string state;     // FWSIM_STATE, or empty
};

pthread_mutex_t g_load_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Simulation*> g_sim{nullptr};  // lives as long as the process
// Held around every service call, whichever node or call it came through.
pthread_mutex_t g_serve_lock = PTHREAD_MUTEX_INITIALIZER;

// "X:\a\b" -> "$WINEPREFIX/dosdevices/x:/a/b"; Unix paths stay.
std::string UnixPath(const std::string& path) {
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
  const ssize_t n = Real<ReadlinkFn>("readlink")(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// The NAME=VALUE lines a Wine device file carries (at most 64 KiB of it).
std::string DeviceText(int fd) {
  std::string text;
  if (FILE* device = std::fopen(PathOf(fd).c_str(), "rb")) {
    char chunk[1024];
    size_t n;
    while (text.size() < 64 * 1024 && (n = std::fread(chunk, 1, sizeof chunk, device)) > 0) text.append(chunk, n);
    std::fclose(device);
  }
  return text;
}

// A setting: NAME=VALUE in the device file's text wins, else the environment.
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

// The one settings loader: configuration, wire log, denied nodes and the
// sysfs folder, from the device file's text and the environment.
Simulation* Load(const std::string& device_text) {
  auto* sim = new Simulation;
  LoadSimConfig(UnixPath(Setting(device_text, "FWSIM_CONFIG")), UnixPath(Setting(device_text, "FWSIM_LOG")),
                UnixPath(Setting(device_text, "FWSIM_OUT")), sim->config);
  sim->config.log_path = UnixPath(sim->config.log_path);
  sim->config.out_dir = UnixPath(sim->config.out_dir);
  if (!sim->config.log_path.empty()) sim->log.Open(sim->config.log_path);
  for (const std::string& error : sim->config.errors) {
    sim->log.Line(error);
    std::fprintf(stderr, "fwsimsg: %s\n", error.c_str());
  }
  sim->deny = " " + Setting(device_text, "FWSIM_DENY") + " ";
  sim->tree = UnixPath(Setting(device_text, "FWSIM_SYSFS"));
  sim->power = UnixPath(Setting(device_text, "FWSIM_POWER"));
  sim->state = UnixPath(Setting(device_text, "FWSIM_STATE"));
  return sim;
}

// The simulation, loaded at the first call; device_fd, when >= 0, is the
// Wine device file whose settings then win.
Simulation& Sim(int device_fd = -1) {
  Simulation* sim = g_sim.load(std::memory_order_acquire);
  if (sim) return *sim;
  pthread_mutex_lock(&g_load_lock);
  sim = g_sim.load(std::memory_order_relaxed);
  if (!sim) {
    sim = Load(device_fd >= 0 ? DeviceText(device_fd) : std::string());
    g_sim.store(sim, std::memory_order_release);
  }
  pthread_mutex_unlock(&g_load_lock);
  return *sim;
}

// Serves one SG_IO request for drive `drive` under the one lock. Returns 0,
// or -1 with errno set.
int Serve(Simulation& sim, size_t drive, sg_io_hdr_t* hdr) {
  int error = 0;
  pthread_mutex_lock(&g_serve_lock);
  const int result = sim.sgio.Serve(drive, hdr, &error);
  pthread_mutex_unlock(&g_serve_lock);
  if (result != 0) errno = error;
  return result;
}

// ---------------------------------------------------------------------------
// Wine's device files.

// The drive number of a Wine device file, or -1 for any other file.
int DeviceDrive(int fd) {
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

// Makes the status of a device file that of drive `drive`'s sg device.
void MakeDevice(struct stat* st, int drive) {
  st->st_mode = (st->st_mode & ~static_cast<mode_t>(S_IFMT)) | S_IFCHR;
  st->st_rdev = makedev(kSgMajor, static_cast<unsigned>(drive));
  st->st_size = 0;
}

// ---------------------------------------------------------------------------
// The sg driver's nodes and their sysfs tree.

std::mutex g_nodes_lock;                 // guards the two tables below
std::map<int, size_t> g_open_nodes;      // fd -> drive index
std::map<int, sg_io_hdr_t> g_answers;    // answered write()s waiting for read()
std::atomic<int> g_node_count{0};        // entries of g_open_nodes (a quick "none")
std::once_flag g_tree_once;

// Makes a folder (it may exist).
void MakeDir(const std::string& path) { mkdir(path.c_str(), 0755); }

// Writes a small file of the fake tree.
void WriteText(const std::string& path, const std::string& text) {
  const int fd = Real<OpenFn>("open")(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (Real<WriteFn>("write")(fd, text.data(), text.size()) < 0) {
  }
  Real<CloseFn>("close")(fd);
}

// One node: class/scsi_generic/<sg>/device -> ../../../devices/fwsim/<hctl>.
void AddNode(const std::string& tree, const std::string& sg, const std::string& hctl, int type,
             const std::string& block) {
  const std::string device = tree + "/devices/fwsim/" + hctl;
  MakeDir(device);
  WriteText(device + "/type", std::to_string(type) + "\n");
  if (!block.empty()) {
    MakeDir(device + "/block");
    MakeDir(device + "/block/" + block);
  }
  MakeDir(tree + "/class/scsi_generic/" + sg);
  if (symlink(("../../../devices/fwsim/" + hctl).c_str(), (tree + "/class/scsi_generic/" + sg + "/device").c_str())) {
  }
}

// Builds the fake sysfs tree of the configured drives.
void BuildTree() {
  Simulation& sim = Sim();
  if (sim.tree.empty()) {
    char pattern[] = "/tmp/fwsim-sysfs-XXXXXX";
    if (mkdtemp(pattern)) {
      sim.tree = pattern;
      sim.remove_tree = true;
    }
  }
  MakeDir(sim.tree);
  MakeDir(sim.tree + "/class");
  MakeDir(sim.tree + "/class/scsi_generic");
  MakeDir(sim.tree + "/devices");
  MakeDir(sim.tree + "/devices/fwsim");
  AddNode(sim.tree, "sg0", "0:0:0:0", 0, "sda");
  for (size_t i = 0; i < sim.config.drives.size(); ++i) {
    const SimDriveConfig& d = *sim.config.drives[i];
    const std::string hctl = std::to_string(d.adapter + 1) + ":0:" + std::to_string(d.target) + ":" +
                             std::to_string(d.lun);
    AddNode(sim.tree, "sg" + std::to_string(i + 1), hctl, d.type, "sr" + std::to_string(i));
  }
}

// The fake tree's folder, built at the first call.
const std::string& Tree() {
  std::call_once(g_tree_once, BuildTree);
  return Sim().tree;
}

// Whether path starts with prefix.
bool StartsWith(const char* path, const char* prefix) {
  return path && std::strncmp(path, prefix, std::strlen(prefix)) == 0;
}

// The path inside the fake tree for a sysfs path we answer, or "".
std::string Redirect(const char* path) {
  if (StartsWith(path, kClassPrefix)) return Tree() + "/class/scsi_generic" + (path + std::strlen(kClassPrefix));
  if (StartsWith(path, kDevicesPrefix)) return Tree() + "/devices/fwsim" + (path + std::strlen(kDevicesPrefix));
  if (StartsWith(path, kPowerPrefix) && !Sim().power.empty()) return Sim().power + (path + std::strlen(kPowerPrefix));
  if (StartsWith(path, kStatePrefix) && !Sim().state.empty()) return Sim().state + (path + std::strlen(kStatePrefix));
  return "";
}

// The drive index of /dev/sgN (N >= 1), or -1.
long NodeDrive(const char* path) {
  if (!StartsWith(path, kNodePrefix)) return -1;
  char* end = nullptr;
  const long n = std::strtol(path + std::strlen(kNodePrefix), &end, 10);
  if (end == path + std::strlen(kNodePrefix) || *end != '\0' || n < 1) return -1;
  if (static_cast<size_t>(n) > Sim().config.drives.size()) return -1;
  return n - 1;
}

// Opens /dev/sgN as a node of drive `drive` (refused when FWSIM_DENY names it).
int OpenNode(const char* path, long drive) {
  const std::string name = std::string(" ") + (path + 5) + " ";
  if (Sim().deny.find(name) != std::string::npos) {
    errno = EACCES;
    return -1;
  }
  const int fd = Real<OpenFn>("open")("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  std::lock_guard<std::mutex> guard(g_nodes_lock);
  if (g_open_nodes.emplace(fd, static_cast<size_t>(drive)).second) ++g_node_count;
  return fd;
}

// The drive index of an open sg node, or -1.
long NodeOf(int fd) {
  if (g_node_count.load() == 0) return -1;
  std::lock_guard<std::mutex> guard(g_nodes_lock);
  const auto it = g_open_nodes.find(fd);
  return it == g_open_nodes.end() ? -1 : static_cast<long>(it->second);
}

// open()/openat() of an absolute path: an sg node, a redirected sysfs path or
// the path itself, through the C library's `real`.
template <typename Call>
int OpenPath(const char* path, Call real) {
  const long drive = NodeDrive(path);
  if (drive >= 0) return OpenNode(path, drive);
  const std::string redirected = Redirect(path);
  return real(redirected.empty() ? path : redirected.c_str());
}

// The mode argument of an open call, when its flags carry one.
mode_t ModeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// open() and open64() through the C library's function `name`.
int Open(const char* name, const char* path, int flags, mode_t mode) {
  return OpenPath(path, [&](const char* p) { return Real<OpenFn>(name)(p, flags, mode); });
}

// openat() and openat64(): only absolute paths can be ours.
int Openat(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
  const auto real = [&](const char* p) { return Real<OpenatFn>(name)(dirfd, p, flags, mode); };
  if (path && path[0] == '/') return OpenPath(path, real);
  return real(path);
}

// The drive an SG_IO request on fd is for: an sg node's, a Wine device
// file's, or -1 for any other file.
long RequestDrive(int fd) {
  const long node = NodeOf(fd);
  return node >= 0 ? node : DeviceDrive(fd);
}

// SG_IO on a node or device file is served; anything else goes to the C
// library's function `real`.
int Ioctl(IoctlFn real, int fd, unsigned long request, void* argument) {
  const long drive = request == SG_IO ? RequestDrive(fd) : -1;
  if (drive < 0) {
    if (real) return real(fd, request, argument);
    errno = ENOSYS;
    return -1;
  }
  Simulation& sim = Sim(fd);
  return Serve(sim, static_cast<size_t>(drive), static_cast<sg_io_hdr_t*>(argument));
}

// The sg driver's write(): serves the request and keeps its answer for read().
ssize_t WriteRequest(int fd, long drive, const void* buffer, size_t size) {
  if (size < sizeof(sg_io_hdr_t) || !buffer) {
    errno = EINVAL;
    return -1;
  }
  {
    std::lock_guard<std::mutex> guard(g_nodes_lock);
    if (g_answers.count(fd)) {  // one request at a time per node here
      errno = EDOM;
      return -1;
    }
  }
  sg_io_hdr_t answer;
  std::memcpy(&answer, buffer, sizeof answer);
  if (Serve(Sim(), static_cast<size_t>(drive), &answer) != 0) return -1;
  std::lock_guard<std::mutex> guard(g_nodes_lock);
  g_answers[fd] = answer;
  return static_cast<ssize_t>(size);
}

// The sg driver's read(): hands back the answer write() kept.
ssize_t ReadAnswer(int fd, void* buffer, size_t size) {
  std::lock_guard<std::mutex> guard(g_nodes_lock);
  const auto it = g_answers.find(fd);
  if (it == g_answers.end()) {
    errno = EAGAIN;
    return -1;
  }
  if (size < sizeof(sg_io_hdr_t) || !buffer) {
    errno = EINVAL;
    return -1;
  }
  std::memcpy(buffer, &it->second, sizeof it->second);
  g_answers.erase(it);
  return static_cast<ssize_t>(sizeof(sg_io_hdr_t));
}

// Marks the sg nodes among fds readable when their answer waits; returns how
// many are ready, or -1 when none of fds is an sg node.
int PollNodes(struct pollfd* fds, nfds_t count) {
  if (g_node_count.load() == 0 || !fds) return -1;
  bool any_ours = false;
  int ready = 0;
  std::lock_guard<std::mutex> guard(g_nodes_lock);
  for (nfds_t i = 0; i < count; ++i) {
    if (!g_open_nodes.count(fds[i].fd)) continue;
    any_ours = true;
    fds[i].revents = 0;
    if (!g_answers.count(fds[i].fd)) continue;
    fds[i].revents = static_cast<short>(fds[i].events & POLLIN);
    if (fds[i].revents) ++ready;
  }
  return any_ours ? ready : -1;
}

// Forgets a closed sg node and its waiting answer.
void CloseNode(int fd) {
  if (g_node_count.load() == 0) return;
  std::lock_guard<std::mutex> guard(g_nodes_lock);
  if (g_open_nodes.erase(fd)) --g_node_count;
  g_answers.erase(fd);
}

// Removes a temporary sysfs tree when the process ends.
struct Cleanup {
  ~Cleanup() {
    Simulation* sim = g_sim.load();
    if (sim && sim->remove_tree && !sim->tree.empty()) {
      const std::string command = "rm -rf '" + sim->tree + "'";
      if (std::system(command.c_str())) {
      }
    }
  }
} g_cleanup;

// The pointer argument of an ioctl (every request served here takes one).
#define IOCTL_ARGUMENT(request, argument) \
  va_list args;                           \
  va_start(args, request);                \
  void* argument = va_arg(args, void*);   \
  va_end(args)

// The mode argument of an open call.
#define OPEN_MODE(flags, mode) \
  va_list args;                \
  va_start(args, flags);       \
  const mode_t mode = ModeOf(flags, args); \
  va_end(args)

}  // namespace

extern "C" {

// With _TIME_BITS=64 (set by the build) struct stat is the 64-bit-time one
// that __fstat64_time64 fills: a Wine device file is a character device.
int PreloadFstatTime64(int fd, struct stat* st) {
  static const auto real = Real<FstatFn>("__fstat64_time64");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  const int result = real(fd, st);
  if (result == 0) {
    const int drive = DeviceDrive(fd);
    if (drive >= 0) MakeDevice(st, drive);
  }
  return result;
}

// ioctl as 32-bit programs with 64-bit time_t call it.
int PreloadIoctlTime64(int fd, unsigned long request, ...) {
  IOCTL_ARGUMENT(request, argument);
  static const IoctlFn real = Real<IoctlFn>("__ioctl_time64");
  return Ioctl(real, fd, request, argument);
}

// ioctl: SG_IO on a node or device file is served.
int PreloadIoctl(int fd, unsigned long request, ...) {
  IOCTL_ARGUMENT(request, argument);
  static const IoctlFn real = Real<IoctlFn>("ioctl");
  return Ioctl(real, fd, request, argument);
}

// open: /dev/sgN and the sysfs paths are ours.
int PreloadOpen(const char* path, int flags, ...) {
  OPEN_MODE(flags, mode);
  return Open("open", path, flags, mode);
}

// open64: as open.
int PreloadOpen64(const char* path, int flags, ...) {
  OPEN_MODE(flags, mode);
  return Open("open64", path, flags, mode);
}

// openat: as open, for absolute paths.
int PreloadOpenat(int dirfd, const char* path, int flags, ...) {
  OPEN_MODE(flags, mode);
  return Openat("openat", dirfd, path, flags, mode);
}

// openat64: as openat.
int PreloadOpenat64(int dirfd, const char* path, int flags, ...) {
  OPEN_MODE(flags, mode);
  return Openat("openat64", dirfd, path, flags, mode);
}

// opendir: the sysfs folders are the fake tree's.
DIR* PreloadOpendir(const char* path) {
  const std::string redirected = Redirect(path);
  return Real<OpendirFn>("opendir")(redirected.empty() ? path : redirected.c_str());
}

// readlink: the sysfs links are the fake tree's.
ssize_t PreloadReadlink(const char* path, char* buffer, size_t size) {
  const std::string redirected = Redirect(path);
  return Real<ReadlinkFn>("readlink")(redirected.empty() ? path : redirected.c_str(), buffer, size);
}

// The stat family and mkdir: the redirected folders are the stand-ins'. The
// stat buffer passes through untouched to the C library's function of the
// same name, whatever its layout.
using StatFn = int (*)(const char*, void*);
int StatThrough(const char* name, const char* path, void* st) {
  const std::string redirected = Redirect(path);
  return Real<StatFn>(name)(redirected.empty() ? path : redirected.c_str(), st);
}
int PreloadLstat(const char* path, void* st) { return StatThrough("lstat", path, st); }
int PreloadLstat64(const char* path, void* st) { return StatThrough("lstat64", path, st); }
int PreloadStat(const char* path, void* st) { return StatThrough("stat", path, st); }
int PreloadStat64(const char* path, void* st) { return StatThrough("stat64", path, st); }
int PreloadMkdir(const char* path, mode_t mode) {
  using MkdirFn = int (*)(const char*, mode_t);
  const std::string redirected = Redirect(path);
  return Real<MkdirFn>("mkdir")(redirected.empty() ? path : redirected.c_str(), mode);
}

// write: a request to an sg node is served at once.
ssize_t PreloadWrite(int fd, const void* buffer, size_t size) {
  const long drive = NodeOf(fd);
  if (drive < 0) return Real<WriteFn>("write")(fd, buffer, size);
  return WriteRequest(fd, drive, buffer, size);
}

// read: an sg node hands back its answer.
ssize_t PreloadRead(int fd, void* buffer, size_t size) {
  if (NodeOf(fd) < 0) return Real<ReadFn>("read")(fd, buffer, size);
  return ReadAnswer(fd, buffer, size);
}

// poll: sg nodes are ready when their answer waits.
int PreloadPoll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  const int ready = PollNodes(fds, count);
  if (ready < 0) return Real<PollFn>("poll")(fds, count, timeout_ms);
  // Requests are answered within write(): nothing of ours becomes ready later.
  return ready ? ready : Real<PollFn>("poll")(nullptr, 0, timeout_ms);
}

// close: an sg node is forgotten.
int PreloadClose(int fd) {
  CloseNode(fd);
  return Real<CloseFn>("close")(fd);
}

}  // extern "C"
