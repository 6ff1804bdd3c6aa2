// The signal guard of the update: while it holds, no signal from outside acts
// or interrupts a wait; afterwards every signal is handled as before and
// nothing that arrived meanwhile acts late.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "cli/interruptions.h"

namespace {

volatile sig_atomic_t g_handled = 0;
void Count(int) { g_handled = g_handled + 1; }

struct Handling {
  struct sigaction action[_NSIG];
  sigset_t mask;
};

Handling Now() {
  Handling h;
  std::memset(&h, 0, sizeof h);
  for (int s = 1; s < _NSIG; ++s) sigaction(s, nullptr, &h.action[s]);
  pthread_sigmask(SIG_BLOCK, nullptr, &h.mask);
  return h;
}

// The signals a user or another program sends to end or stop a program.
constexpr int kFromOutside[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGUSR1, SIGUSR2, SIGALRM};

TEST(UpdateGuard, SignalsActNeitherDuringNorAfterAndEveryHandlingIsRestored) {
  // Some handling of the caller's own: a handler, an ignored signal, a
  // blocked one.
  struct sigaction counted = {};
  counted.sa_handler = Count;
  sigemptyset(&counted.sa_mask);
  struct sigaction saved_int, saved_hup, saved_usr1;
  sigaction(SIGINT, &counted, &saved_int);
  struct sigaction ignored = {};
  ignored.sa_handler = SIG_IGN;
  sigaction(SIGHUP, &ignored, &saved_hup);
  sigaction(SIGUSR1, &counted, &saved_usr1);
  sigset_t blocked, saved_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &blocked, &saved_mask);
  const Handling before = Now();
  g_handled = 0;

  HoldSignals();
  // Each of them, from outside, while the program would be waiting on the
  // drive: nothing acts, nothing ends the test program.
  for (int s : kFromOutside) kill(getpid(), s);
  kill(getpid(), SIGRTMIN);
  kill(getpid(), SIGTERM);
  EXPECT_EQ(g_handled, 0);
  EXPECT_GE(HeldSignalCount(), 10);
  kill(getpid(), SIGINT);
  ReleaseSignals();
  const Handling after = Now();
  EXPECT_EQ(g_handled, 0) << "a held signal acted after the stretch";

  for (int s = 1; s < _NSIG; ++s) {
    EXPECT_EQ(before.action[s].sa_handler, after.action[s].sa_handler) << "signal " << s;
    EXPECT_EQ(before.action[s].sa_flags, after.action[s].sa_flags) << "signal " << s;
    EXPECT_EQ(sigismember(&before.mask, s), sigismember(&after.mask, s)) << "signal " << s;
  }
  sigset_t pending;
  sigpending(&pending);
  for (int s : kFromOutside) {
    if (s != SIGUSR2) EXPECT_FALSE(sigismember(&pending, s)) << "signal " << s;
  }

  // After the stretch a signal acts as before.
  kill(getpid(), SIGINT);
  EXPECT_EQ(g_handled, 1);

  pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  sigaction(SIGINT, &saved_int, nullptr);
  sigaction(SIGHUP, &saved_hup, nullptr);
  sigaction(SIGUSR1, &saved_usr1, nullptr);
  HoldSignals();  // an empty stretch: no count left for the tests after
  ReleaseSignals();
}

// A handler, even one that restarts calls, ends a wait in poll() early: the
// held signals must not reach the wait at all.
TEST(UpdateGuard, AHeldSignalDoesNotInterruptAWait) {
  struct sigaction counted = {}, saved;
  counted.sa_handler = Count;
  counted.sa_flags = SA_RESTART;
  sigemptyset(&counted.sa_mask);
  sigaction(SIGTERM, &counted, &saved);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  g_handled = 0;

  HoldSignals();
  const pthread_t waiter = pthread_self();
  std::thread sender([waiter] {
    for (int i = 0; i < 5; ++i) {
      usleep(20000);
      pthread_kill(waiter, SIGTERM);
    }
  });
  struct pollfd ready = {pipe_fds[0], POLLIN, 0};
  errno = 0;
  const int polled = poll(&ready, 1, 200);
  const int error = errno;
  sender.join();
  ReleaseSignals();
  EXPECT_EQ(polled, 0) << "the wait ended early: " << std::strerror(error);
  EXPECT_EQ(g_handled, 0);

  close(pipe_fds[0]);
  close(pipe_fds[1]);
  sigaction(SIGTERM, &saved, nullptr);
  HoldSignals();
  ReleaseSignals();
}

}  // namespace
