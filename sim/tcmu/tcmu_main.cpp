// fwsim-tcmu: the simulated drives as Linux SCSI devices. Serves the command
// rings of the kernel's user-space target backstores (target_core_user)
// named fwsim-A-T-L, one per configured drive (A T L its address in the
// configuration file); a loopback target then shows each as a CD-ROM drive
// with its own sr and sg node.
//
//   fwsim-tcmu --list          prints "A T L" for every configured drive
//   fwsim-tcmu [--ready FILE]  serves the drives until SIGTERM or SIGINT;
//                              creates FILE once every ring is mapped
//
// Environment: FWSIM_CONFIG, FWSIM_LOG, FWSIM_OUT, as for every service of
// the simulated drive (sim/sim_config.h). The backstores must be enabled
// before the handler starts, and the handler must run before their LUNs are
// linked: the link makes the kernel probe the device.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_config.h"
#include "sim/tcmu/tcmu_ring.h"
#include "sim/tcmu/tcmu_service.h"

namespace {

constexpr const char* kUioClass = "/sys/class/uio";
constexpr const char* kTargetCore = "/sys/kernel/config/target/core";
// The kernel's default command time-out when its setting cannot be read.
constexpr uint32_t kDefaultKernelTimeoutS = 30;
// What the handler sets: the slowest configured answer and this margin, at
// least the minimum.
constexpr uint32_t kMinKernelTimeoutS = 10;
constexpr uint32_t kKernelTimeoutMarginS = 5;
// How long past the kernel's time-out a never-completing command is held.
constexpr uint32_t kNeverMarginMs = 2000;

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string ReadLine(const std::string& path) {
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  return line;
}

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

struct Device {
  std::string uio;  // uioN
  int fd = -1;
  uint8_t* map = nullptr;
  size_t size = 0;
  TcmuRing ring;
  std::unique_ptr<TcmuDriveService> service;
  uint64_t due_ms = 0;
  bool broken = false;

  ~Device() {
    if (map) munmap(map, size);
    if (fd >= 0) close(fd);
  }
};

// "tcm-user/HBA/NAME/CONFIG" -> HBA, NAME.
bool ParseUioName(const std::string& name, std::string* hba, std::string* backstore) {
  const std::string prefix = "tcm-user/";
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  const size_t a = prefix.size();
  const size_t b = name.find('/', a);
  if (b == std::string::npos) return false;
  const size_t c = name.find('/', b + 1);
  *hba = name.substr(a, b - a);
  *backstore = name.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
  return !hba->empty() && !backstore->empty();
}

// Maps the ring of the UIO device that serves the backstore; "" or an error text.
std::string MapDevice(const std::string& uio, Device& d) {
  d.uio = uio;
  const std::string size_text = ReadLine(std::string(kUioClass) + "/" + uio + "/maps/map0/size");
  char* end = nullptr;
  const unsigned long long size = std::strtoull(size_text.c_str(), &end, 0);
  if (size_text.empty() || *end != '\0' || size == 0) return uio + ": no map size";
  d.fd = open(("/dev/" + uio).c_str(), O_RDWR | O_CLOEXEC);
  if (d.fd < 0) return "/dev/" + uio + ": " + std::strerror(errno);
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, d.fd, 0);
  if (map == MAP_FAILED) return "/dev/" + uio + ": mmap: " + std::strerror(errno);
  d.map = static_cast<uint8_t*>(map);
  d.size = static_cast<size_t>(size);
  std::string error;
  if (!d.ring.Attach(d.map, d.size, &error)) return "/dev/" + uio + ": " + error;
  return "";
}

// The kernel gives up a command its backstore has not answered within the
// backstore's cmd_time_out. A drive answers as late as its configuration
// says, so the kernel is told to wait that long and some seconds more
// (never less than kMinKernelTimeoutS); a command that never completes is
// then held until the kernel has given it up. Returns that hold in ms.
uint32_t SetKernelTimeout(const SimDriveConfig& drive, const std::string& hba, const std::string& backstore) {
  uint32_t slowest_ms = drive.delay_ms;
  for (const SimAsyncRule& rule : drive.async) slowest_ms = std::max(slowest_ms, rule.ms);
  const uint32_t wanted_s = std::max(kMinKernelTimeoutS, (slowest_ms + 999) / 1000 + kKernelTimeoutMarginS);
  const std::string path = std::string(kTargetCore) + "/user_" + hba + "/" + backstore + "/attrib/cmd_time_out";
  {
    std::ofstream f(path);
    f << wanted_s << "\n";
  }
  const std::string text = ReadLine(path);
  char* end = nullptr;
  unsigned long s = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || s == 0) s = kDefaultKernelTimeoutS;
  if (s < wanted_s)
    std::fprintf(stderr, "fwsim-tcmu: %s: the kernel waits only %lu s for a command, the drive's slowest takes %u ms\n",
                 backstore.c_str(), s, slowest_ms);
  return static_cast<uint32_t>(s * 1000 + kNeverMarginMs);
}

void Notify(Device& d) {
  const uint32_t one = 1;
  if (write(d.fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one))
    std::fprintf(stderr, "fwsim-tcmu: %s: notify: %s\n", d.uio.c_str(), std::strerror(errno));
}

void ServeDevice(Device& d) {
  if (d.broken) return;
  std::string error;
  const int answered = d.service->Serve(d.ring, NowMs(), &d.due_ms, &error);
  if (answered < 0) {
    d.broken = true;
    std::fprintf(stderr, "fwsim-tcmu: %s: %s; device left alone\n", d.service->Name().c_str(), error.c_str());
    return;
  }
  if (answered > 0) Notify(d);
}

int Serve(SimConfig& config, SimWireLog& log, const std::string& ready_file) {
  std::vector<std::unique_ptr<Device>> devices;
  std::vector<std::string> wanted;
  for (const auto& drive : config.drives) {
    wanted.push_back(TcmuBackstoreName(*drive));
    devices.push_back(std::make_unique<Device>());
  }

  DIR* dir = opendir(kUioClass);
  if (!dir) {
    std::fprintf(stderr, "fwsim-tcmu: %s: %s (is the uio module loaded?)\n", kUioClass, std::strerror(errno));
    return 1;
  }
  while (dirent* e = readdir(dir)) {
    const std::string uio = e->d_name;
    if (uio.compare(0, 3, "uio") != 0) continue;
    std::string hba, backstore;
    if (!ParseUioName(ReadLine(std::string(kUioClass) + "/" + uio + "/name"), &hba, &backstore)) continue;
    for (size_t i = 0; i < devices.size(); ++i) {
      if (wanted[i] != backstore || devices[i]->map) continue;
      const std::string error = MapDevice(uio, *devices[i]);
      if (!error.empty()) {
        closedir(dir);
        std::fprintf(stderr, "fwsim-tcmu: %s\n", error.c_str());
        return 1;
      }
      SimDriveConfig& drive = *config.drives[i];
      devices[i]->service =
          std::make_unique<TcmuDriveService>(drive, log, config.out_dir, SetKernelTimeout(drive, hba, backstore));
    }
  }
  closedir(dir);
  for (size_t i = 0; i < devices.size(); ++i) {
    if (!devices[i]->map) {
      std::fprintf(stderr, "fwsim-tcmu: no enabled user backstore named %s\n", wanted[i].c_str());
      return 1;
    }
  }

  struct sigaction sa {};
  sa.sa_handler = OnStop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  if (!ready_file.empty()) {
    FILE* f = std::fopen(ready_file.c_str(), "w");
    if (!f) {
      std::fprintf(stderr, "fwsim-tcmu: cannot create %s\n", ready_file.c_str());
      return 1;
    }
    std::fclose(f);
  }

  for (auto& d : devices) ServeDevice(*d);
  std::vector<pollfd> fds(devices.size());
  while (!g_stop) {
    uint64_t next_due = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
      fds[i] = {devices[i]->fd, static_cast<short>(devices[i]->broken ? 0 : POLLIN), 0};
      const uint64_t due = devices[i]->due_ms;
      if (due && (!next_due || due < next_due)) next_due = due;
    }
    int timeout = -1;
    if (next_due) {
      const uint64_t now = NowMs();
      timeout = next_due > now ? static_cast<int>(std::min<uint64_t>(next_due - now, 60000)) : 0;
    }
    const int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) {
      std::fprintf(stderr, "fwsim-tcmu: poll: %s\n", std::strerror(errno));
      return 1;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
      Device& d = *devices[i];
      if (n > 0 && (fds[i].revents & POLLIN)) {
        uint32_t events = 0;
        if (read(d.fd, &events, sizeof events) < 0 && errno != EINTR && errno != EAGAIN)
          std::fprintf(stderr, "fwsim-tcmu: %s: read: %s\n", d.uio.c_str(), std::strerror(errno));
        ServeDevice(d);
      } else if (d.due_ms && d.due_ms <= NowMs()) {
        ServeDevice(d);
      }
    }
  }
  for (const auto& d : devices) {
    if (d->broken) return 2;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool list = false;
  std::string ready;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--list") {
      list = true;
    } else if (a == "--ready" && i + 1 < argc) {
      ready = argv[++i];
    } else {
      std::fprintf(stderr, "usage: fwsim-tcmu --list | fwsim-tcmu [--ready FILE]\n");
      return 64;
    }
  }

  SimConfig config;
  LoadSimConfig(Env("FWSIM_CONFIG"), Env("FWSIM_LOG"), Env("FWSIM_OUT"), config);
  for (const std::string& e : config.errors) std::fprintf(stderr, "fwsim-tcmu: %s\n", e.c_str());
  if (list) {
    for (const auto& d : config.drives) std::printf("%u %u %u\n", d->adapter, d->target, d->lun);
    return 0;
  }

  // A long-lived service: the wire log keeps the record, the drives keep none
  // in memory.
  for (const auto& d : config.drives) d->sim->set_recording(false);
  SimWireLog log;
  if (!config.log_path.empty() && !log.Open(config.log_path))
    std::fprintf(stderr, "fwsim-tcmu: cannot write the wire log %s\n", config.log_path.c_str());
  for (const std::string& e : config.errors) log.Line(e);
  if (config.drives.empty()) {
    std::fprintf(stderr, "fwsim-tcmu: no drive configured\n");
    return 1;
  }
  return Serve(config, log, ready);
}
