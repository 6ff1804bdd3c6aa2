// The Linux program's side of the update run: SG_IO drives found through
// sysfs, the updater file, and the terminal.
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/exe_file_linux.h"
#include "app/update_run.h"
#include "cli/json_report.h"
#include "cli/terminal.h"
#include "drive/identify.h"

struct CliOptions {
  std::string updater;       // the file that carries the payload
  std::string drive;         // --drive: only this drive
  std::string split_dir;     // --split DIR
  std::string log_file;      // --log FILE
  bool yes = false;          // -y/--yes
  bool list = false;         // --list
  bool all_images = false;   // --all-images
  bool flash_mode_4k = false;
  bool json = false;         // --json: one document on stdout, no prompts
  bool dry_run = false;      // --dry-run: every check up to the question, nothing sent
  bool ignore_power = false; // --ignore-power
  bool history = false;      // --history
  bool all_drives = false;   // --all-drives
  int jobs = 4;              // --jobs: drives at once with --all-drives
  int report_fd = -1;        // a drive's run of --all-drives reports here
};

// Where the program keeps its records; a test's preload may stand in for it.
constexpr char kPowerSupplyRoot[] = "/sys";

// Host().update_guard of the Linux program: from the first buffer command
// to the end of the settle, the terminal's signals are held and the system
// is kept from sleeping.
void LinuxUpdateGuard(bool active);

class LinuxFrontEnd : public RunFrontEnd {
 public:
  LinuxFrontEnd(const CliOptions& options, Terminal& terminal, FILE* in);

  int FindDrives(RunEnding* ending) override;
  ExeFile* OpenPayloadFile() override;
  std::string PayloadPath() override { return options_.updater; }
  bool SplitMode() override { return !options_.split_dir.empty(); }
  bool SplitImagesOut() override;
  void ReadFailed() override;
  bool ListOnly() override { return options_.list || planning_; }
  void ListDrives() override;
  void ShowMessage(const RunReport& message, RunEnding ending) override;
  void ShowRefusal(const char* text) override;
  RunEnding ChooseAndConfirm() override;
  // The progress display is up from before the first command to the end of
  // the settle.
  uint8_t Transfer() override;
  bool AfterTransfer(uint8_t result) override;

  // Whether the drive reported the new firmware after the update.
  bool confirmed() const { return check_.confirmed; }
  // Whether --split was refused as unsafe to write (the run then ends as a
  // failed split, but with a status of its own).
  bool output_refused() const { return output_refused_; }
  // Whether the run ended because another program had the drive open (at
  // discovery or when it was to be held for the update).
  bool drive_busy() const { return drive_busy_; }
  // Whether the chosen drive could not be held for the update: its node no
  // longer opens, or answers as another device than the one identified.
  bool drive_lost() const { return drive_lost_; }
  // The update ran, the flash command was answered, and after the settle the
  // drive still reports the firmware it had before: the update did not take.
  bool still_old() const { return still_old_; }
  // Whether the run stopped because the machine runs on a low battery.
  bool power_refused() const { return power_refused_; }
  // Whether --dry-run ended the run before the question.
  bool dry_run_done() const { return dry_run_done_; }
  // What the run did, for --json: the drive (once one was chosen), the
  // image, the versions, the ending, its status and what was said of it.
  UpdateFacts Facts(RunEnding ending, int status) const;
  // Completes the history record of an update that started (nothing when
  // none did): what the drive reports now, the ending and the status.
  void FinishHistory(RunEnding ending, int status);

  // --all-drives: the run stops after identification, showing nothing; the
  // drives found are then in the run's state.
  void PlanOnly() { planning_ = true; }
  // What is known of drive `drive` (index in the run's table).
  DriveFacts DriveFactsOf(int drive) const;

  // How long the drive is given to come back after the settle.
  static constexpr int kConfirmRounds = 15;
  static constexpr uint32_t kConfirmPauseMs = 1000;

 private:
  struct Choice {
    const char* heading;
    const char* prompt;
    const char* cannot_choose;  // with --yes
  };
  std::string DriveLabel(int drive) const;
  // One of several fitting entries (with their labels), by number.
  int ChooseOne(const std::vector<int>& fitting, const std::vector<std::string>& labels, const Choice& choice,
                RunEnding* ending);
  int ChooseDrive(RunEnding* ending);
  int ChooseImage(int drive, RunEnding* ending);
  void RefuseSplit(const std::string& reason);
  // Asks the accept step's question on one line; true for yes.
  bool AskQuestion(const std::string& question);

  CliOptions options_;
  Terminal& terminal_;
  FILE* in_;
  PosixExeFile file_;
  bool output_refused_ = false;  // --split was refused
  bool flash_unanswered_ = false;  // the flash command got no good answer
  bool drive_busy_ = false;
  bool drive_lost_ = false;
  // Holds the chosen drive exclusively before the question; false (with the
  // reason told) when it cannot be held.
  bool HoldChosenDrive(int drive);
  // The power rule: false (told why) when the update must not start.
  bool PowerAllows();
  // Warns when the history holds an update of this drive that never ended.
  void WarnUnfinished(int drive);
  // --dry-run: what would be sent to the drive, and the question it would ask.
  void ShowDryRun(int entry, const std::string& question);
  // The history record, written before the first buffer command.
  void BeginHistory();
  FirmwareCheck check_;
  bool still_old_ = false;
  bool power_refused_ = false;
  bool dry_run_done_ = false;
  int chosen_drive_ = -1;
  bool planning_ = false;
  std::string history_id_;
  std::string said_;  // the last message the run showed, for --json
};
