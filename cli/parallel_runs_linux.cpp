#include "cli/parallel_runs_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kPollMs = 200;

// Writes all of text to fd; false when the reader is gone.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One event line: the kind, a blank, the text without line breaks, cut to
// the longest line the parent takes.
bool WriteEvent(int fd, char kind, const std::string& text) {
  std::string line(1, kind);
  line += ' ';
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  if (line.size() > kMaxReportLine - 1) line.resize(kMaxReportLine - 1);
  line += '\n';
  return WriteAll(fd, line);
}

struct Running {
  size_t job = 0;
  pid_t pid = -1;
  int fd = -1;          // read end of the job's report pipe; -1 once at its end
  std::string pending;  // an unfinished line
  bool discarding = false;  // the current line was too long: dropped up to its end
};

// Takes one complete event line into the outcome; true when it changed it.
bool TakeLine(const std::string& line, JobOutcome& outcome) {
  if (line.size() < 2 || line[1] != ' ') return false;
  const std::string text = line.substr(2);
  switch (line[0]) {
    case 'P': {
      int position = 0, total = 0;
      if (std::sscanf(text.c_str(), "%d %d", &position, &total) != 2 || total <= 0 || position < 0) return false;
      outcome.position = position > total ? total : position;
      outcome.total = total;
      return true;
    }
    case 'S':
      outcome.status = text;
      return true;
    case 'R':
      outcome.result = text;
      return true;
    default:
      return false;
  }
}

// Reads what the child has written so far; at its end closes the pipe.
// True when the outcome changed.
bool Drain(Running& run, JobOutcome& outcome) {
  bool changed = false;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(run.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return changed;
    if (n <= 0) {
      close(run.fd);
      run.fd = -1;
      return changed;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (c == '\n') {
        if (!run.discarding && TakeLine(run.pending, outcome)) changed = true;
        run.pending.clear();
        run.discarding = false;
      } else if (!run.discarding) {
        run.pending += c;
        if (run.pending.size() >= kMaxReportLine) {
          run.pending.clear();
          run.discarding = true;
        }
      }
    }
  }
}

// Makes the child of one job; false (nothing made) when the pipe or the fork
// fails. The child never returns from here.
bool Start(const ParallelJob& job, size_t index, const std::vector<Running>& others, Running* run) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // What the parent has buffered goes out once, not once more per child.
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    close(fds[0]);
    for (const Running& other : others) {
      if (other.fd >= 0) close(other.fd);
    }
    const int status = job.run ? job.run(fds[1]) : 1;
    std::fflush(nullptr);
    _exit(status & 0xFF);
  }
  close(fds[1]);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  run->job = index;
  run->pid = pid;
  run->fd = fds[0];
  return true;
}

// The child's end as an outcome.
void TakeExit(int wait_status, JobOutcome& outcome) {
  if (WIFEXITED(wait_status)) outcome.exit_status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) outcome.signal = WTERMSIG(wait_status);
}

}  // namespace

bool ReportProgress(int fd, int position, int total) {
  return WriteEvent(fd, 'P', std::to_string(position) + " " + std::to_string(total));
}
bool ReportStatus(int fd, const std::string& text) { return WriteEvent(fd, 'S', text); }
bool ReportResult(int fd, const std::string& text) { return WriteEvent(fd, 'R', text); }

std::vector<JobOutcome> RunInParallel(const std::vector<ParallelJob>& jobs, int max_at_once,
                                      ParallelDisplay& display) {
  std::vector<JobOutcome> outcomes(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) outcomes[i].label = jobs[i].label;
  const size_t bound = max_at_once < 1 ? 1 : static_cast<size_t>(max_at_once);
  std::vector<Running> running;
  size_t next = 0;

  while (next < jobs.size() || !running.empty()) {
    while (next < jobs.size() && running.size() < bound) {
      Running run;
      if (Start(jobs[next], next, running, &run)) {
        outcomes[next].started = true;
        running.push_back(run);
        display.Changed(next, outcomes[next]);
      } else {
        display.Finished(next, outcomes[next]);
      }
      ++next;
    }

    std::vector<pollfd> watched;
    for (const Running& run : running) {
      if (run.fd >= 0) watched.push_back(pollfd{run.fd, POLLIN, 0});
    }
    // Children whose pipe has ended are looked for each round as well.
    if (poll(watched.data(), watched.size(), kPollMs) < 0 && errno != EINTR) watched.clear();

    for (size_t r = 0; r < running.size();) {
      Running& run = running[r];
      JobOutcome& outcome = outcomes[run.job];
      if (run.fd >= 0 && Drain(run, outcome)) display.Changed(run.job, outcome);
      int wait_status = 0;
      const pid_t reaped = waitpid(run.pid, &wait_status, WNOHANG);
      if (reaped == 0 || (reaped < 0 && errno == EINTR)) {
        ++r;
        continue;
      }
      // The child has ended: what it wrote last is still in the pipe.
      if (run.fd >= 0) {
        Drain(run, outcome);
        if (run.fd >= 0) close(run.fd);
      }
      if (reaped == run.pid) TakeExit(wait_status, outcome);
      display.Finished(run.job, outcome);
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(r));
    }
  }
  return outcomes;
}
