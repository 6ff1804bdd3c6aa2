// fwupdate-linux: the firmware updater for ATAPI CD-ROM/RW drives, for a
// Linux terminal. It reads the firmware carried by an updater file (its own
// file, or a vendor's Windows updater) and flashes a drive through the
// kernel's SCSI generic driver.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/app_state.h"
#include "app/cmdline.h"
#include "base/host.h"
#include "base/posix_files_linux.h"
#include "base/version.h"
#include "cli/all_drives_linux.h"
#include "cli/exit_status.h"
#include "cli/history_linux.h"
#include "cli/json_report.h"
#include "cli/parallel_runs_linux.h"
#include "cli/linux_front_end.h"
#include "cli/terminal.h"
#include "drive/identify.h"
#include "scsi/trace.h"
#include "scsi/trace_files_linux.h"

namespace {

Terminal* g_terminal = nullptr;

// Sleeps in short slices: the terminal's signals are held (not caught) while
// the drive works, so the display looks for them between slices and tells
// the user at once that the update goes on.
void SleepTicking(uint32_t ms) {
  constexpr uint32_t kSliceMs = 200;
  std::fflush(stdout);  // what the program waits after is on screen (or in the log)
  struct timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += static_cast<time_t>(ms / 1000);
  end.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left_ms = (static_cast<long long>(end.tv_sec) - now.tv_sec) * 1000LL +
                              (end.tv_nsec - now.tv_nsec) / 1000000L;
    if (left_ms <= 0) break;
    const long long slice = left_ms < kSliceMs ? left_ms : kSliceMs;
    struct timespec step = {0, static_cast<long>(slice) * 1000000L};
    // Interrupted or not, the clock says how long is left.
    nanosleep(&step, nullptr);
    if (g_terminal) g_terminal->Tick();
  }
  if (g_terminal) g_terminal->Tick();
}

void ShowBox(const char* text) {
  if (g_terminal) g_terminal->Complain(text ? text : "");
}

std::string OwnPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "/proc/self/exe";
  path[n] = '\0';
  return path;
}

const char kFooterStart[] =
    "\nWithout UPDATER the program reads the firmware carried by its own file.\n"
    "From the question to the end the chosen drive is held: no other program can open it, and a\n"
    "drive another program has open is refused. From the first piece of firmware sent until the\n"
    "drive has settled, signals are held: the update cannot be cancelled.\n\n";

// A switch that names a file, a folder or a drive names one: an empty name
// would mean "none" to the run (every drive; no log; no split mode at all).
const CLI::Validator kNotEmpty(
    [](std::string& value) { return value.empty() ? std::string("the name is empty") : std::string(); }, "", "not empty");

// What the user asked to be written is checked before anything is read or
// sent: --log here, the files of --split once the images are known. A
// refusal names the path and why; a log that merely cannot be created ends
// nothing (the Windows program's rule).
bool OpenLog(const std::string& path, Terminal& terminal, std::unique_ptr<CommandTrace>* trace) {
  void* file = nullptr;
  const OutputOpen opened = OpenLogFile(path.c_str(), &file);
  switch (opened.verdict) {
    case OutputOpen::kRefused:
      terminal.Complain("Refused --log " + path + ": " + opened.reason +
                        ". Nothing was written; nothing was sent to a drive.");
      return false;
    case OutputOpen::kFailed:
      terminal.Complain("Can not open log file " + path + ": " + opened.reason);
      return true;
    case OutputOpen::kOpen:
      break;
  }
  InstallPosixTraceFiles();
  *trace = std::make_unique<CommandTrace>(CommandTrace::OpenedFile{file});
  AppState().trace_sink = trace->get();
  AppState().trace_on = 1;
  return true;
}

// --history: the records, as a table or one document; a history that is not
// safe to read is refused with the reason.
int ShowHistory(bool json, Terminal& terminal) {
  const HistoryRead history = ReadHistory(kHistoryDir);
  if (!history.ok) {
    terminal.Complain("Cannot read the history in " + std::string(kHistoryDir) + ": " + history.reason + ".");
    return kExitHistoryRefused;
  }
  if (history.skipped > 0) {
    terminal.Complain(std::to_string(history.skipped) + " damaged line(s) of the history were passed over.");
  }
  if (json) {
    std::fputs(JsonText({{"format", kJsonFormatVersion}, {"history", HistoryJson(history.records)}}).c_str(), stdout);
  } else if (history.records.empty()) {
    terminal.Say("No update is recorded in " + std::string(kHistoryDir) + ".");
  } else {
    std::fputs(HistoryTable(history.records).c_str(), stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Output to a pipe or terminal that has gone away fails quietly: a closed
  // pipe must not end the program before its exit status, least of all
  // during or just after a flash.
  signal(SIGPIPE, SIG_IGN);
  UpdateState state;
  SetAppState(&state);
  const std::string caption = VersionCaption(FW_FILE_DESCRIPTION, FW_PRODUCT_VERSION);

  CliOptions options;
  std::string flash_mode;
  bool help_all = false;
  CLI::App app{caption + " - flashes the firmware of an ATAPI CD-ROM/RW drive", "fwupdate-linux"};
  app.footer(kFooterStart + ExitStatusHelp());
  app.set_version_flag("--version", caption, "Show the program's name and version");
  app.add_option("UPDATER", options.updater, "Updater file that carries the firmware (a vendor's updater, or one made by fwpack)");
  app.add_flag("-y,--yes", options.yes, "Answer the question with yes (still refuses a drive of another model)");
  app.add_option("--drive", options.drive, "Only this drive: /dev/sgN, or its /dev/srN")->check(kNotEmpty);
  auto* list = app.add_flag("--list", options.list, "List the drives and the images that fit them; send nothing else");
  auto* split = app.add_option("--split", options.split_dir, "Write the carried images, descrambled, to DIR/Bin@N.bin (Bin@1.bin: the image nearest the file's end)")
                    ->type_name("DIR")
                    ->check(kNotEmpty);
  list->excludes(split);
  app.add_option("--log", options.log_file,
                 "Write the command trace to FILE (a new or plain file, never a link or a device)")
      ->type_name("FILE")
      ->check(kNotEmpty);
  app.add_option("--flash-mode", flash_mode, "Mode of the flash command: default (80h) or 4k (40h)")
      ->check(CLI::IsMember({"default", "4k"}));
  auto* json = app.add_flag("--json", options.json,
                            "Print one JSON document on stdout (--list, --history, the update's result); other text "
                            "goes to stderr, and no question is asked: combine with --yes");
  auto* dry_run = app.add_flag("--dry-run", options.dry_run,
                               "Do every check up to the question and show what would be sent; send nothing that "
                               "changes a drive");
  app.add_flag("--ignore-power", options.ignore_power, "Update even on battery power with less than 30 % left");
  auto* history = app.add_flag("--history", options.history,
                               "Show the updates recorded in " + std::string(kHistoryDir) + "/history");
  auto* all_drives = app.add_flag("--all-drives", options.all_drives,
                                  "Update every drive the updater fits, several at once, and show a table of results");
  auto* jobs = app.add_option("--jobs", options.jobs, "With --all-drives: update at most N drives at once (default 4)")
                   ->type_name("N")
                   ->check(CLI::Range(1, 16));
  jobs->needs(all_drives);
  // A drive's run under --all-drives: where it reports (not for users).
  auto* report_fd = app.add_option("--report-fd", options.report_fd, "")->check(CLI::Range(3, 1023));
  report_fd->group("");
  history->excludes(list)->excludes(split)->excludes(dry_run)->excludes(all_drives);
  all_drives->excludes(list)->excludes(split);
  (void)json;
  auto* all_images = app.add_flag("--all-images", options.all_images, "Offer every image for every drive, whatever its model");
  all_images->group("");
  app.add_flag("--all", help_all, "With --help: show the switches for special cases too");

  // --help is looked at before anything else, so "--help --all" can show the
  // hidden switches.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      for (int j = 1; j < argc; ++j) {
        if (std::strcmp(argv[j], "--all") == 0) all_images->group("Options");
      }
      std::fputs(app.help().c_str(), stdout);
      return 0;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  options.flash_mode_4k = flash_mode == "4k";
  if (options.updater.empty()) options.updater = OwnPath();

  // The switches as the run's options.
  state.options.every_image_offered = options.all_images;
  state.options.flash_mode = options.flash_mode_4k ? FlashMode::k4k : FlashMode::kDefault;

  if (options.all_drives && !options.drive.empty()) {
    std::fputs("--all-drives updates every drive the updater fits: it takes no --drive.\n", stderr);
    return kExitUsage;
  }
  if (options.all_drives && !options.log_file.empty()) {
    std::fputs("--all-drives takes no --log: run one drive at a time with --drive to trace it.\n", stderr);
    return kExitUsage;
  }

  const char* term = std::getenv("TERM");
  // Under --json stdout carries the document alone: everything else is
  // plain lines on stderr.
  const bool fancy = !options.json && isatty(STDOUT_FILENO) && term && std::strcmp(term, "dumb") != 0;
  Terminal terminal(options.json ? stderr : stdout, stderr, fancy, state.progress_total);
  if (options.history) {
    SetAppState(nullptr);
    return ShowHistory(options.json, terminal);
  }
  LinuxFrontEnd front(options, terminal, stdin);
  g_terminal = &terminal;
  // The accept step's question is the front end's own: no Yes/No seam.
  Host() = HostSeams{SleepTicking, ShowBox, nullptr, LinuxUpdateGuard};

  std::unique_ptr<CommandTrace> trace;
  if (!options.log_file.empty() && !OpenLog(options.log_file, terminal, &trace)) {
    g_terminal = nullptr;
    SetAppState(nullptr);
    return kExitOutputRefused;
  }

  if (options.all_drives) {
    const int all = RunAllDrives(options, front, terminal, OwnPath());
    g_terminal = nullptr;
    SetAppState(nullptr);
    return all;
  }

  const RunEnding ending = RunUpdate(front);
  int status = ExitStatusFor(ending, front.confirmed());
  if (front.output_refused()) status = kExitOutputRefused;
  if (front.drive_busy()) status = kExitDriveBusy;
  if (front.drive_lost()) status = kExitDriveLost;
  if (front.power_refused()) status = kExitPowerRefused;
  if (front.still_old()) status = kExitOldFirmware;
  front.FinishHistory(ending, status);
  // The result as a document: on stdout under --json (the listing is its own
  // document), and to the program that started this run under --all-drives.
  const bool listed = options.list && ending == RunEnding::NothingToDo;
  const bool split_run = !options.split_dir.empty();
  if ((options.json && !listed && !split_run) || options.report_fd >= 0) {
    const std::string text = JsonText(ResultDocument(front.Facts(ending, status)));
    if (options.report_fd >= 0) {
      ReportResult(options.report_fd, text.substr(0, text.size() - 1));
    } else {
      std::fputs(text.c_str(), stdout);
    }
  }
  trace.reset();
  g_terminal = nullptr;
  SetAppState(nullptr);
  return status;
}
