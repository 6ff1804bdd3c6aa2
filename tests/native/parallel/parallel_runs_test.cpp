// Several updates at once: every child's end is told apart, the bound holds,
// and nothing one child writes or fails to write disturbs the others.
#include "cli/parallel_runs_linux.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(int ms) {
  timespec step = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&step, &step) != 0) {
  }
}

class Recorder : public ParallelDisplay {
 public:
  void Changed(size_t job, const JobOutcome& now) override { ++changes; }
  void Finished(size_t job, const JobOutcome& last) override { finished.push_back(job); }
  int changes = 0;
  std::vector<size_t> finished;
};

TEST(ParallelRuns, EachChildsEndIsItsOwn) {
  std::vector<ParallelJob> jobs = {
      {"/dev/sg1", [](int fd) {
         ReportStatus(fd, "Write data to bufer");
         ReportProgress(fd, 60, 120);
         ReportResult(fd, "{\"ending\":\"updated\"}");
         return 0;
       }},
      {"/dev/sg2", [](int fd) {
         ReportProgress(fd, 10, 120);
         ReportResult(fd, "{\"ending\":\"buffer-write-error\"}");
         return 21;
       }},
      {"/dev/sg3", [](int fd) {
         ReportProgress(fd, 5, 120);
         signal(SIGABRT, SIG_DFL);
         abort();
         return 0;
       }},
  };
  Recorder display;
  const std::vector<JobOutcome> out = RunInParallel(jobs, 3, display);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].label, "/dev/sg1");
  EXPECT_EQ(out[0].exit_status, 0);
  EXPECT_EQ(out[0].result, "{\"ending\":\"updated\"}");
  EXPECT_EQ(out[0].status, "Write data to bufer");
  EXPECT_EQ(out[0].position, 60);
  EXPECT_EQ(out[1].exit_status, 21);
  EXPECT_EQ(out[1].result, "{\"ending\":\"buffer-write-error\"}");
  EXPECT_EQ(out[2].exit_status, -1);
  EXPECT_EQ(out[2].signal, SIGABRT);
  EXPECT_EQ(out[2].result, "");
  EXPECT_EQ(display.finished.size(), 3u);
}

TEST(ParallelRuns, NoMoreRunAtOnceThanTheBoundAndAllRun) {
  constexpr int kJobs = 5;
  constexpr int kBound = 2;
  std::vector<ParallelJob> jobs;
  for (int i = 0; i < kJobs; ++i) {
    jobs.push_back({"job" + std::to_string(i), [](int fd) {
                      const long long start = NowMs();
                      SleepMs(150);
                      ReportResult(fd, std::to_string(start) + " " + std::to_string(NowMs()));
                      return 0;
                    }});
  }
  Recorder display;
  const std::vector<JobOutcome> out = RunInParallel(jobs, kBound, display);
  std::vector<std::pair<long long, long long>> spans;
  for (const JobOutcome& o : out) {
    ASSERT_EQ(o.exit_status, 0) << o.label;
    long long a = 0, b = 0;
    ASSERT_EQ(std::sscanf(o.result.c_str(), "%lld %lld", &a, &b), 2) << o.result;
    spans.emplace_back(a, b);
  }
  // At any child's start, how many were running.
  for (const auto& s : spans) {
    int at_once = 0;
    for (const auto& t : spans) {
      if (t.first <= s.first && s.first < t.second) ++at_once;
    }
    EXPECT_LE(at_once, kBound);
  }
  // And they did overlap: two at a time, not one after another.
  long long first = spans[0].first, last = spans[0].second;
  for (const auto& s : spans) {
    first = std::min(first, s.first);
    last = std::max(last, s.second);
  }
  EXPECT_LT(last - first, kJobs * 150);
}

TEST(ParallelRuns, GarbageAndOverlongLinesAreDroppedNotTaken) {
  std::vector<ParallelJob> jobs = {
      {"noisy", [](int fd) {
         ReportResult(fd, "ok");
         // A result line too long to be one: dropped whole, not taken cut.
         const std::string huge = "R " + std::string(3 * kMaxReportLine, 'x') + "\n";
         (void)!write(fd, huge.data(), huge.size());
         (void)!write(fd, "P many 120\nP -4 120\nP 5 0\nX what\n\0\0\n", 36);
         ReportProgress(fd, 200, 120);  // beyond the total: taken as the total
         (void)!write(fd, "R unfinished", 12);  // no line end before the child ends
         return 7;
       }},
      {"quiet", [](int) { return 0; }},
  };
  Recorder display;
  const std::vector<JobOutcome> out = RunInParallel(jobs, 2, display);
  EXPECT_EQ(out[0].exit_status, 7);
  EXPECT_EQ(out[0].result, "ok");
  EXPECT_EQ(out[0].position, 120);
  EXPECT_EQ(out[0].total, 120);
  EXPECT_EQ(out[1].exit_status, 0);
  EXPECT_EQ(out[1].result, "");
}

TEST(ParallelRuns, AChildThatClosesItsPipeEarlyIsStillWaitedFor) {
  std::vector<ParallelJob> jobs = {
      {"early", [](int fd) {
         close(fd);
         SleepMs(300);
         return 3;
       }},
  };
  Recorder display;
  const long long start = NowMs();
  const std::vector<JobOutcome> out = RunInParallel(jobs, 1, display);
  EXPECT_EQ(out[0].exit_status, 3);
  EXPECT_GE(NowMs() - start, 250);
}

}  // namespace
