#include "cli/all_drives_linux.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/app_state.h"
#include "cli/exit_status.h"
#include "cli/interruptions.h"
#include "cli/json_report.h"
#include "cli/parallel_runs_linux.h"
#include "cli/power_linux.h"
#include "drive/identify.h"
#include "scsi/sg_discovery_linux.h"

namespace {

struct PlannedDrive {
  int index = -1;
  DriveFacts facts;
  std::string skipped;  // why it is not updated; empty when it is
};

// Every drive found, with the one image that fits it or why it is passed over.
std::vector<PlannedDrive> Plan(const LinuxFrontEnd& front) {
  std::vector<PlannedDrive> plan;
  const UpdateState& state = AppState();
  for (int d = 0; d < state.drive_count; ++d) {
    PlannedDrive drive;
    drive.index = d;
    drive.facts = front.DriveFactsOf(d);
    if (drive.facts.images.empty()) {
      drive.skipped = "no image of this updater fits it";
    } else if (drive.facts.images.size() > 1) {
      drive.skipped = "several images fit it: update it alone with --drive";
    }
    plan.push_back(drive);
  }
  return plan;
}

// The updater as this run checked it, in a sealed file of memory the drives'
// runs read in its place: what was checked and shown is what each drive
// gets, whatever happens to the file on disk meanwhile. -1 when it cannot
// be made.
int CheckedCopy() {
  const UpdateState& state = AppState();
  if (!state.executable_contents || state.executable_size == 0) return -1;
  const int fd = memfd_create("fwupdate-updater", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  const uint8_t* bytes = state.executable_contents.get();
  uint32_t done = 0;
  while (done < state.executable_size) {
    const ssize_t n = write(fd, bytes + done, state.executable_size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  if (done != state.executable_size ||
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The arguments of one drive's run: this program (as it runs now, whatever
// its path holds since), the drive, and the checked copy of the updater.
std::vector<std::string> DriveArguments(const CliOptions& options, const std::string& own_path,
                                        const std::string& drive, int report_fd, int copy_fd) {
  std::vector<std::string> args = {own_path, "--drive", drive, "--yes", "--report-fd", std::to_string(report_fd)};
  if (options.flash_mode_4k) args.insert(args.end(), {"--flash-mode", "4k"});
  if (options.ignore_power) args.push_back("--ignore-power");
  if (options.dry_run) args.push_back("--dry-run");
  if (options.all_images) args.push_back("--all-images");
  args.push_back("--");
  args.push_back("/proc/self/fd/" + std::to_string(copy_fd));
  return args;
}

// In the child: this program again, for one drive, with nothing of the
// terminal (the parent shows everything) and the report pipe kept open.
int ExecDriveRun(const std::vector<std::string>& args, int report_fd, int copy_fd) {
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  fcntl(report_fd, F_SETFD, 0);
  fcntl(copy_fd, F_SETFD, 0);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv("/proc/self/exe", argv.data());
  ReportResult(report_fd, std::string("{\"exec_error\":") + std::to_string(errno) + "}");
  return 127;
}

// One line per drive: redrawn in place on a terminal, else a line when a
// drive starts, passes each quarter and ends.
class ProgressLines : public ParallelDisplay {
 public:
  ProgressLines(FILE* out, bool fancy, std::vector<std::string> labels)
      : out_(out), fancy_(fancy), labels_(std::move(labels)), lines_(labels_.size()), quarter_(labels_.size(), -1) {
    for (size_t i = 0; i < labels_.size(); ++i) lines_[i] = "waiting";
    if (fancy_) {
      for (size_t i = 0; i < labels_.size(); ++i) std::fputs("\n", out_);
      Draw();
    }
  }
  void Changed(size_t job, const JobOutcome& now) override {
    const int percent = now.total > 0 ? now.position * 100 / now.total : 0;
    lines_[job] = now.started ? Bar(percent) + " " + Harmless(now.status) : "waiting";
    if (fancy_) {
      Draw();
    } else if (percent / 25 != quarter_[job]) {
      quarter_[job] = percent / 25;
      std::fprintf(out_, "%s: %d %%%s\n", labels_[job].c_str(), percent, quarter_[job] == 0 ? " (started)" : "");
      std::fflush(out_);
    }
  }
  void Finished(size_t job, const JobOutcome& last) override {
    lines_[job] = !last.started ? "could not be started"
                  : last.signal ? "ended by signal " + std::to_string(last.signal)
                                : "done, exit status " + std::to_string(last.exit_status);
    if (fancy_) {
      Draw();
    } else {
      std::fprintf(out_, "%s: %s\n", labels_[job].c_str(), lines_[job].c_str());
      std::fflush(out_);
    }
  }

 private:
  static std::string Bar(int percent) {
    const int filled = percent / 5;
    return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(20 - filled), ' ') +
           "] " + std::to_string(percent) + " %";
  }
  void Draw() {
    std::fprintf(out_, "\x1b[%zuA", labels_.size());
    for (size_t i = 0; i < labels_.size(); ++i) {
      std::string line = labels_[i] + "  " + lines_[i];
      if (line.size() > 100) line.resize(100);
      std::fprintf(out_, "\r\x1b[2K%s\n", line.c_str());
    }
    std::fflush(out_);
  }

  FILE* out_;
  bool fancy_;
  std::vector<std::string> labels_;
  std::vector<std::string> lines_;
  std::vector<int> quarter_;
};

// Cuts or pads text to a column's width.
std::string Column(const std::string& text, size_t width) {
  std::string cell = Harmless(text);
  if (cell.size() > width) cell.resize(width);
  return cell + std::string(width - cell.size() + 2, ' ');
}

// A drive's result as its own run reported it, or made up from how it ended.
nlohmann::json ResultOf(const PlannedDrive& drive, const JobOutcome* outcome) {
  nlohmann::json result;
  if (outcome && !outcome->result.empty()) {
    const nlohmann::json document = nlohmann::json::parse(outcome->result, nullptr, false);
    if (document.is_object() && document.contains("result") && document["result"].is_object()) {
      result = document["result"];
    }
  }
  if (!result.is_object()) {
    result = {{"drive", DriveJson(drive.facts)}, {"firmware_before", drive.facts.firmware}, {"image", nullptr},
              {"firmware_after", nullptr}, {"dry_run", false}};
    if (!drive.skipped.empty()) {
      result["ending"] = "skipped";
      result["exit_status"] = nullptr;
      result["message"] = drive.skipped;
    } else if (outcome && outcome->signal) {
      result["ending"] = "killed";
      result["exit_status"] = nullptr;
      result["message"] = "the drive's run was ended by signal " + std::to_string(outcome->signal);
    } else {
      result["ending"] = "no-report";
      result["exit_status"] = outcome ? nlohmann::json(outcome->exit_status) : nlohmann::json();
      result["message"] = "the drive's run ended without a report";
    }
  }
  return result;
}

// A JSON string field, or "".
std::string Text(const nlohmann::json& object, const char* key) {
  return object.contains(key) && object[key].is_string() ? object[key].get<std::string>() : std::string();
}

void PrintTable(FILE* out, const std::vector<nlohmann::json>& results) {
  std::fprintf(out, "\n%s%s%s%s%s\n", Column("Drive", 22).c_str(), Column("Model", 10).c_str(),
               Column("Before", 6).c_str(), Column("After", 6).c_str(), "Result");
  for (const nlohmann::json& r : results) {
    const nlohmann::json& drive = r["drive"];
    std::string where = Text(drive, "path");
    if (!Text(drive, "block_device").empty()) where += " (" + Text(drive, "block_device") + ")";
    std::string ending = Text(r, "ending");
    if (r.contains("exit_status") && r["exit_status"].is_number_integer())
      ending += " (" + std::to_string(r["exit_status"].get<int>()) + ")";
    std::fprintf(out, "%s%s%s%s%s\n", Column(where, 22).c_str(), Column(Text(drive, "model"), 10).c_str(),
                 Column(Text(r, "firmware_before"), 6).c_str(), Column(Text(r, "firmware_after"), 6).c_str(),
                 Harmless(ending).c_str());
  }
}

// A run that ended before any drive was started: under --json still one
// document, with no results and what ended it.
int EndedEarly(const CliOptions& options, int status, const std::string& message) {
  if (options.json) {
    nlohmann::json document = ResultsDocument({}, 0, status);
    document["message"] = message;
    std::fputs(JsonText(document).c_str(), stdout);
  }
  return status;
}

}  // namespace

int RunAllDrives(const CliOptions& options, LinuxFrontEnd& front, Terminal& terminal, const std::string& own_path) {
  front.PlanOnly();
  const RunEnding found = RunUpdate(front);
  if (found != RunEnding::NothingToDo) {
    int status = ExitStatusFor(found, false);
    if (front.drive_busy()) status = kExitDriveBusy;
    return EndedEarly(options, status, EndingWord(found, status));
  }
  const std::vector<PlannedDrive> plan = Plan(front);
  std::vector<size_t> chosen;
  for (size_t i = 0; i < plan.size(); ++i) {
    if (plan[i].skipped.empty()) chosen.push_back(i);
  }
  if (chosen.empty()) {
    terminal.Complain(MismatchMessage().text);
    return EndedEarly(options, ExitStatusFor(RunEnding::ModelMismatch, false), MessageLines(MismatchMessage().text));
  }

  terminal.Say("Drives to update (" + std::to_string(chosen.size()) + "):");
  for (const PlannedDrive& drive : plan) {
    const std::string line = "  " + drive.facts.path + "  " + drive.facts.model + " " + drive.facts.firmware;
    terminal.Say(drive.skipped.empty() ? line + "  ->  " + drive.facts.images[0] : line + "  passed over: " + drive.skipped);
  }
  const PowerCheck power = CheckPower(kPowerSupplyRoot);
  if (power.verdict == PowerCheck::kRefuse && !options.ignore_power) {
    terminal.Complain(power.message + " Nothing was sent to a drive.");
    return EndedEarly(options, kExitPowerRefused, power.message);
  }
  if (power.verdict == PowerCheck::kWarn || power.verdict == PowerCheck::kRefuse) terminal.Complain(power.message);
  if (!options.dry_run) {
    const std::string question = "Update the firmware of " + std::to_string(chosen.size()) + " drive(s) as listed?";
    if (options.json && !options.yes) {
      terminal.Complain(question + " -- no question is asked with --json: No (add --yes).");
      return EndedEarly(options, ExitStatusFor(RunEnding::Declined, false), "declined: add --yes");
    }
    if (!terminal.AskYesNo(question, options.yes, stdin)) return ExitStatusFor(RunEnding::Declined, false);
  }

  const int copy_fd = CheckedCopy();
  if (copy_fd < 0) {
    const std::string why = std::string("Cannot hand the checked updater to the drives' runs: ") + std::strerror(errno);
    terminal.Complain(why + ". Nothing was sent to a drive.");
    return EndedEarly(options, ExitStatusFor(RunEnding::ReadFailed, false), why);
  }
  // Each drive's run opens its drive exclusively: this process lets go first.
  ForgetSgDrives();
  std::vector<ParallelJob> jobs;
  std::vector<std::string> labels;
  for (size_t i : chosen) {
    const std::string path = plan[i].facts.path;
    labels.push_back(path);
    jobs.push_back({path, [&options, own_path, path, copy_fd](int fd) {
                      return ExecDriveRun(DriveArguments(options, own_path, path, fd, copy_fd), fd, copy_fd);
                    }});
  }
  FILE* out = options.json ? stderr : stdout;
  const char* term = std::getenv("TERM");
  const bool fancy = !options.json && isatty(fileno(out)) && term && std::strcmp(term, "dumb") != 0;
  if (!options.dry_run) terminal.Say(Terminal::kWarning);
  ProgressLines display(out, fancy, labels);
  // The drives' runs hold their own signals while they flash; this one holds
  // them from the first start to the last end, so nothing ends it half-way.
  HoldSignals();
  InhibitSleep();
  const std::vector<JobOutcome> outcomes = RunInParallel(jobs, options.jobs, display);
  ReleaseSleep();
  ReleaseSignals();
  close(copy_fd);

  std::vector<nlohmann::json> results;
  int updated = 0;
  size_t next = 0;
  for (size_t i = 0; i < plan.size(); ++i) {
    const JobOutcome* outcome = nullptr;
    if (plan[i].skipped.empty()) outcome = &outcomes[next++];
    const nlohmann::json result = ResultOf(plan[i], outcome);
    if (outcome && outcome->signal == 0 && StatusMeansUpdated(outcome->exit_status) &&
        result.value("ending", std::string()) != "no-report")
      ++updated;
    results.push_back(result);
  }
  // All, some or none of the drives the file fits (a drive that several
  // images fit is one of them, though it was passed over).
  size_t fitting = 0;
  for (const PlannedDrive& drive : plan) fitting += drive.facts.images.empty() ? 0 : 1;
  int status = kExitSomeUpdated;
  if (updated == 0) status = kExitNoneUpdated;
  if (updated > 0 && static_cast<size_t>(updated) == fitting) status = 0;
  if (options.json) {
    std::fputs(JsonText(ResultsDocument(results, updated, status)).c_str(), stdout);
  } else {
    PrintTable(stdout, results);
    terminal.Say(std::to_string(updated) + " of " + std::to_string(plan.size()) + " drive(s) " +
                 (options.dry_run ? "would be updated." : "updated."));
  }
  return status;
}
