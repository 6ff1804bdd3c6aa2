#include "cli/interruptions.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>

namespace {

constexpr int kHeldSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
constexpr int kHeldCount = sizeof kHeldSignals / sizeof kHeldSignals[0];

volatile sig_atomic_t g_caught = 0;
struct sigaction g_previous[kHeldCount];
bool g_holding = false;

void Caught(int) { g_caught = g_caught + 1; }

int g_inhibit_fd = -1;

}  // namespace

void HoldSignals() {
  if (g_holding) return;
  g_caught = 0;
  struct sigaction action = {};
  action.sa_handler = Caught;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kHeldCount; ++i) sigaction(kHeldSignals[i], &action, &g_previous[i]);
  g_holding = true;
}

void ReleaseSignals() {
  if (!g_holding) return;
  for (int i = 0; i < kHeldCount; ++i) sigaction(kHeldSignals[i], &g_previous[i], nullptr);
  g_holding = false;
}

int HeldSignalCount() { return g_caught; }

// libsystemd's sd-bus, looked up at run time so the program needs neither
// the library nor a bus to run.
namespace {

struct SdBusError {
  const char* name;
  const char* message;
  int need_free;
};
using OpenSystem = int (*)(void**);
using SetTimeout = int (*)(void*, uint64_t);
using CallMethod = int (*)(void*, const char*, const char*, const char*, const char*, SdBusError*, void**,
                           const char*, ...);
using ReadMessage = int (*)(void*, const char*, ...);
using MessageUnref = void* (*)(void*);
using BusUnref = void* (*)(void*);
using ErrorFree = void (*)(SdBusError*);

constexpr uint64_t kBusTimeoutUs = 2000000;
// Everything that would take the machine down or away under the drive: a
// shutdown, sleep of any kind, and the keys and the lid that ask for them.
constexpr char kInhibitWhat[] =
    "shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:handle-lid-switch";

}  // namespace

void InhibitSleep() {
  if (g_inhibit_fd >= 0) return;
  void* lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return;
  auto open_system = reinterpret_cast<OpenSystem>(dlsym(lib, "sd_bus_open_system"));
  auto set_timeout = reinterpret_cast<SetTimeout>(dlsym(lib, "sd_bus_set_method_call_timeout"));
  auto call = reinterpret_cast<CallMethod>(dlsym(lib, "sd_bus_call_method"));
  auto read = reinterpret_cast<ReadMessage>(dlsym(lib, "sd_bus_message_read"));
  auto message_unref = reinterpret_cast<MessageUnref>(dlsym(lib, "sd_bus_message_unref"));
  auto bus_unref = reinterpret_cast<BusUnref>(dlsym(lib, "sd_bus_flush_close_unref"));
  auto error_free = reinterpret_cast<ErrorFree>(dlsym(lib, "sd_bus_error_free"));
  void* bus = nullptr;
  if (!open_system || !call || !read || !message_unref || !bus_unref || !error_free || open_system(&bus) < 0) {
    dlclose(lib);
    return;
  }
  if (set_timeout) set_timeout(bus, kBusTimeoutUs);
  SdBusError error = {nullptr, nullptr, 0};
  void* reply = nullptr;
  if (call(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
           &error, &reply, "ssss", kInhibitWhat, "fwupdate-linux", "Drive firmware is being written", "block") >= 0) {
    int fd = -1;
    // The reply owns its descriptor: keep a copy of our own.
    if (read(reply, "h", &fd) >= 0 && fd >= 0) g_inhibit_fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  }
  if (reply) message_unref(reply);
  error_free(&error);
  bus_unref(bus);
  // The library stays loaded: it may have left handlers of its own behind.
}

void ReleaseSleep() {
  if (g_inhibit_fd >= 0) close(g_inhibit_fd);
  g_inhibit_fd = -1;
}

bool SleepInhibited() { return g_inhibit_fd >= 0; }
