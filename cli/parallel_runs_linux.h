// Several drives updated at once: each update runs in a child process of its
// own (forked after the checks, so it has its own copy of the run's state and
// of the drive tables), with a bound on how many run at the same time. A
// child tells the parent how it is getting on through a pipe, one line per
// event; nothing a child does or fails to do can stop or change another
// child's update.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// What a child reports, one line each on its report descriptor:
//   "P <position> <total>"   progress
//   "S <text>"               status text
//   "R <text>"               its result (the program sends a JSON object)
// Lines longer than kMaxReportLine are cut there; anything else is ignored.
constexpr size_t kMaxReportLine = 4096;

// Writes one event line to a report descriptor (whole, retried on EINTR);
// false when the parent is gone. Newlines inside text become blanks.
bool ReportProgress(int fd, int position, int total);
bool ReportStatus(int fd, const std::string& text);
bool ReportResult(int fd, const std::string& text);

struct ParallelJob {
  std::string label;  // how the display names this job (the drive's path)
  // Runs in the child with the write end of its report pipe; its return
  // value is the child's exit status.
  std::function<int(int report_fd)> run;
};

struct JobOutcome {
  std::string label;
  bool started = false;     // a child was made for it
  int exit_status = -1;     // the child's exit status; -1 if it did not exit
  int signal = 0;           // the signal that ended it, 0 if none
  int position = 0;         // its last progress
  int total = 0;
  std::string status;       // its last status text
  std::string result;       // its last result line
};

// How the parent shows the children; every call comes from the parent.
class ParallelDisplay {
 public:
  virtual ~ParallelDisplay() = default;
  virtual void Changed(size_t job, const JobOutcome& now) = 0;
  virtual void Finished(size_t job, const JobOutcome& last) = 0;
};

// Runs every job, at most max_at_once (at least 1) at a time, and waits for
// all of them. Returns one outcome per job, in the jobs' order. A job whose
// child could not be made has started false and exit_status -1.
std::vector<JobOutcome> RunInParallel(const std::vector<ParallelJob>& jobs, int max_at_once,
                                      ParallelDisplay& display);
