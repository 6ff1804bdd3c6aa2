#include "cli/interruptions.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

namespace {

// Asynchronous signals whose default action ends or stops the program. The
// faults a program raises itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// SIGSYS, SIGABRT) are not among them: blocked, they would still kill it.
constexpr int kHeldSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT,   SIGTSTP, SIGTTIN, SIGTTOU, SIGUSR1,
                                SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,   SIGIO,   SIGPWR,  SIGXCPU, SIGXFSZ};

sigset_t HeldSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kHeldSignals) sigaddset(&set, signal);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&set, signal);
  return set;
}

int g_taken = 0;
sigset_t g_previous_mask;
bool g_holding = false;

// Takes every held signal that is pending, without waiting.
void TakePending() {
  const sigset_t set = HeldSet();
  const struct timespec now = {0, 0};
  while (sigtimedwait(&set, nullptr, &now) > 0) ++g_taken;
}

int g_inhibit_fd = -1;

}  // namespace

void HoldSignals() {
  if (g_holding) return;
  g_taken = 0;
  const sigset_t set = HeldSet();
  pthread_sigmask(SIG_BLOCK, &set, &g_previous_mask);
  g_holding = true;
}

void ReleaseSignals() {
  if (!g_holding) return;
  // What arrived during the stretch ends nothing, also after it.
  TakePending();
  pthread_sigmask(SIG_SETMASK, &g_previous_mask, nullptr);
  g_holding = false;
}

int HeldSignalCount() {
  if (g_holding) TakePending();
  return g_taken;
}

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
