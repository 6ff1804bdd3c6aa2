// The simulated drives as SCSI generic devices of a native Linux program,
// loaded with LD_PRELOAD: /sys/class/scsi_generic and /dev/sgN are answered
// from the simulated drive configuration, and SG_IO on those nodes goes to
// the shared SG_IO service, whether it comes as one ioctl or as the sg
// driver's write() of a request, poll() and read() of its answer. Nothing
// else of the program is touched.
//
// Environment:
//   FWSIM_CONFIG  configuration file (sim/sim_config.h); unset: one default drive
//   FWSIM_LOG     wire log (wins over the file's "log")
//   FWSIM_OUT     folder for flashed images (wins over the file's "out")
//   FWSIM_SYSFS   folder in which to build the sysfs tree (else a temporary
//                 folder, removed at exit)
//   FWSIM_DENY    blank-separated node names (sg1 sg2) whose open fails with
//                 EACCES, as for a user without write access
//
// write() of an sg_io_hdr serves the request at once (delays included) and
// keeps the answered header for the node; poll() then reports the node
// readable and read() hands the header back, as the sg driver does for a
// completed request. A request the service fails (a fault, a time-out) fails
// its write() with that errno, as the ioctl would. read() with nothing
// answered is EAGAIN (the program opens its nodes non-blocking).
//
// Drive i (the i-th "drive" line) is /dev/sg<i+1> with block device sr<i>
// at host:channel:target:lun A:0:T:L; its "type" setting is what sysfs shows.
// /dev/sg0 is always a disk (type 0), which discovery must pass over.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "sim/sgio/sgio_service.h"
#include "sim/sim_config.h"

namespace {

constexpr char kClassPrefix[] = "/sys/class/scsi_generic";
constexpr char kDevicesPrefix[] = "/sys/devices/fwsim";
constexpr char kNodePrefix[] = "/dev/sg";

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using OpendirFn = DIR* (*)(const char*);
using ReadlinkFn = ssize_t (*)(const char*, char*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using ReadFn = ssize_t (*)(int, void*, size_t);
using PollFn = int (*)(struct pollfd*, nfds_t, int);

template <typename Fn>
Fn Real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

struct Simulation {
  SimConfig config;
  SimWireLog log;
  SgioService* service = nullptr;
  std::string tree;            // the fake sysfs lives here
  bool remove_tree = false;
  std::string deny;            // " sg1 sg2 "
  std::map<int, size_t> open_nodes;  // fd -> drive index
  // Answered requests of write(), by node, waiting for read().
  std::map<int, sg_io_hdr_t> answers;
  std::mutex lock;
};

Simulation* g_sim = nullptr;
std::once_flag g_once;

const char* Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void MakeDir(const std::string& path) { mkdir(path.c_str(), 0755); }

void WriteText(const std::string& path, const std::string& text) {
  const int fd = Real<OpenFn>("open")(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, text.data(), text.size()) < 0) {
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

void Start() {
  auto* sim = new Simulation;
  LoadSimConfig(Env("FWSIM_CONFIG"), Env("FWSIM_LOG"), Env("FWSIM_OUT"), sim->config);
  for (const std::string& error : sim->config.errors) std::fprintf(stderr, "fwsim: %s\n", error.c_str());
  if (!sim->config.log_path.empty()) sim->log.Open(sim->config.log_path);
  sim->service = new SgioService(sim->config, sim->log);
  sim->deny = std::string(" ") + Env("FWSIM_DENY") + " ";

  sim->tree = Env("FWSIM_SYSFS");
  if (sim->tree.empty()) {
    char pattern[] = "/tmp/fwsim-sysfs-XXXXXX";
    if (mkdtemp(pattern)) {
      sim->tree = pattern;
      sim->remove_tree = true;
    }
  }
  MakeDir(sim->tree);
  MakeDir(sim->tree + "/class");
  MakeDir(sim->tree + "/class/scsi_generic");
  MakeDir(sim->tree + "/devices");
  MakeDir(sim->tree + "/devices/fwsim");
  AddNode(sim->tree, "sg0", "0:0:0:0", 0, "sda");
  for (size_t i = 0; i < sim->config.drives.size(); ++i) {
    const SimDriveConfig& d = *sim->config.drives[i];
    const std::string hctl = std::to_string(d.adapter + 1) + ":0:" + std::to_string(d.target) + ":" +
                             std::to_string(d.lun);
    AddNode(sim->tree, "sg" + std::to_string(i + 1), hctl, d.type, "sr" + std::to_string(i));
  }
  g_sim = sim;
}

Simulation& Sim() {
  std::call_once(g_once, Start);
  return *g_sim;
}

bool StartsWith(const char* path, const char* prefix) {
  return path && std::strncmp(path, prefix, std::strlen(prefix)) == 0;
}

// The path inside the fake tree for a sysfs path we answer, or "".
std::string Redirect(const char* path) {
  if (StartsWith(path, kClassPrefix)) return Sim().tree + "/class/scsi_generic" + (path + std::strlen(kClassPrefix));
  if (StartsWith(path, kDevicesPrefix)) return Sim().tree + "/devices/fwsim" + (path + std::strlen(kDevicesPrefix));
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

int OpenNode(const char* path, long drive) {
  Simulation& sim = Sim();
  const std::string name = std::string(" ") + (path + 5) + " ";
  if (sim.deny.find(name) != std::string::npos) {
    errno = EACCES;
    return -1;
  }
  const int fd = Real<OpenFn>("open")("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  std::lock_guard<std::mutex> guard(sim.lock);
  sim.open_nodes[fd] = static_cast<size_t>(drive);
  return fd;
}

int Open(const char* path, int flags, mode_t mode, OpenFn real) {
  const long drive = NodeDrive(path);
  if (drive >= 0) return OpenNode(path, drive);
  const std::string redirected = Redirect(path);
  return real(redirected.empty() ? path : redirected.c_str(), flags, mode);
}

mode_t ModeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// The drive index of an open fake node, or -1.
long NodeOf(int fd) {
  if (!g_sim) return -1;
  std::lock_guard<std::mutex> guard(g_sim->lock);
  const auto it = g_sim->open_nodes.find(fd);
  return it == g_sim->open_nodes.end() ? -1 : static_cast<long>(it->second);
}

struct Cleanup {
  ~Cleanup() {
    if (g_sim && g_sim->remove_tree && !g_sim->tree.empty()) {
      const std::string command = "rm -rf '" + g_sim->tree + "'";
      if (std::system(command.c_str())) {
      }
    }
  }
} g_cleanup;

}  // namespace

#define EXPORTED __attribute__((visibility("default")))

extern "C" {

EXPORTED int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  return Open(path, flags, mode, Real<OpenFn>("open"));
}

EXPORTED int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  return Open(path, flags, mode, Real<OpenFn>("open64"));
}

EXPORTED int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  if (path[0] == '/') {
    const long drive = NodeDrive(path);
    if (drive >= 0) return OpenNode(path, drive);
    const std::string redirected = Redirect(path);
    if (!redirected.empty()) return Real<OpenatFn>("openat")(dirfd, redirected.c_str(), flags, mode);
  }
  return Real<OpenatFn>("openat")(dirfd, path, flags, mode);
}

EXPORTED DIR* opendir(const char* path) {
  const std::string redirected = Redirect(path);
  return Real<OpendirFn>("opendir")(redirected.empty() ? path : redirected.c_str());
}

EXPORTED ssize_t readlink(const char* path, char* buffer, size_t size) {
  const std::string redirected = Redirect(path);
  return Real<ReadlinkFn>("readlink")(redirected.empty() ? path : redirected.c_str(), buffer, size);
}

EXPORTED int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (request == SG_IO && g_sim) {
    size_t drive = 0;
    bool ours = false;
    {
      std::lock_guard<std::mutex> guard(g_sim->lock);
      const auto it = g_sim->open_nodes.find(fd);
      if (it != g_sim->open_nodes.end()) {
        drive = it->second;
        ours = true;
      }
    }
    if (ours) {
      int error = 0;
      if (g_sim->service->Serve(drive, static_cast<sg_io_hdr_t*>(argument), &error) != 0) {
        errno = error;
        return -1;
      }
      return 0;
    }
  }
  return Real<IoctlFn>("ioctl")(fd, request, argument);
}

EXPORTED ssize_t write(int fd, const void* buffer, size_t size) {
  const long drive = NodeOf(fd);
  if (drive < 0) return Real<WriteFn>("write")(fd, buffer, size);
  if (size < sizeof(sg_io_hdr_t) || !buffer) {
    errno = EINVAL;
    return -1;
  }
  {
    std::lock_guard<std::mutex> guard(g_sim->lock);
    if (g_sim->answers.count(fd)) {  // one request at a time per node here
      errno = EDOM;
      return -1;
    }
  }
  sg_io_hdr_t answer;
  std::memcpy(&answer, buffer, sizeof answer);
  int error = 0;
  if (g_sim->service->Serve(static_cast<size_t>(drive), &answer, &error) != 0) {
    errno = error;
    return -1;
  }
  std::lock_guard<std::mutex> guard(g_sim->lock);
  g_sim->answers[fd] = answer;
  return static_cast<ssize_t>(size);
}

EXPORTED ssize_t read(int fd, void* buffer, size_t size) {
  if (NodeOf(fd) < 0) return Real<ReadFn>("read")(fd, buffer, size);
  std::lock_guard<std::mutex> guard(g_sim->lock);
  const auto it = g_sim->answers.find(fd);
  if (it == g_sim->answers.end()) {
    errno = EAGAIN;
    return -1;
  }
  if (size < sizeof(sg_io_hdr_t) || !buffer) {
    errno = EINVAL;
    return -1;
  }
  std::memcpy(buffer, &it->second, sizeof it->second);
  g_sim->answers.erase(it);
  return static_cast<ssize_t>(sizeof(sg_io_hdr_t));
}

EXPORTED int poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  bool any_ours = false;
  int ready = 0;
  if (g_sim && fds) {
    std::lock_guard<std::mutex> guard(g_sim->lock);
    for (nfds_t i = 0; i < count; ++i) {
      if (!g_sim->open_nodes.count(fds[i].fd)) continue;
      any_ours = true;
      fds[i].revents = 0;
      const auto it = g_sim->answers.find(fds[i].fd);
      if (it == g_sim->answers.end()) continue;
      fds[i].revents = static_cast<short>(fds[i].events & POLLIN);
      if (fds[i].revents) ++ready;
    }
  }
  // Requests are answered within write(): nothing of ours becomes ready later.
  if (any_ours) return ready ? ready : Real<PollFn>("poll")(nullptr, 0, timeout_ms);
  return Real<PollFn>("poll")(fds, count, timeout_ms);
}

EXPORTED int close(int fd) {
  if (g_sim) {
    std::lock_guard<std::mutex> guard(g_sim->lock);
    g_sim->open_nodes.erase(fd);
    g_sim->answers.erase(fd);
  }
  return Real<CloseFn>("close")(fd);
}

}  // extern "C"
