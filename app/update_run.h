// The order of an update run, once for every front end: find the drives,
// check the program file, identify, apply the model rules, let the user
// choose and confirm, transfer, report. The front end (the Windows dialogs,
// the Linux terminal) supplies what the user sees behind RunFrontEnd.
#pragma once
#include <cstdint>
#include <string>

#include "base/exe_file.h"
#include "app/update_app_messages.h"

// How a run ended. Every front end reports the same endings; the Linux
// program turns each into its own exit status.
enum class RunEnding : uint8_t {
  Updated,           // the drive took the new firmware
  NothingToDo,       // version display, split mode, listing
  NoDrive,           // "CD-ROM/RW drive is not found!"
  CannotOpen,        // "Can't Open <path> "
  ReadFailed,        // the file could not be read (no message of the table)
  Damaged,           // "This file maybe damage please get new one!"
  ModelMismatch,     // "Model name is mismatch!!"
  DosOnly,           // "This drive must be updated in DOS !!"
  Declined,          // the user said No
  CompareError,      // " BIOS DATA COMPARE ERROR!!"
  BufferWriteError,  // " BUFFER WRITE ERROR!!"
  BufferReadError,   // " BUFFER READ ERROR!!"
  FlashError,        // " BIOS UPDATE ERROR!!"
  TransferError,     // any other transfer result (an error box with only a line break)
  NoPermission,      // drives found that the user may not open
  DriveNotNamed,     // a drive was named that is not a CD-ROM/RW drive
  SplitFailed,       // an image file could not be written
  ChoiceNeeded,      // several drives or images fit and nobody was there to choose
};

// The messages of the table that end a run before the transfer.
RunReport NoDriveMessage();
RunReport CannotOpenMessage(const std::string& path);
RunReport DamagedMessage();
RunReport MismatchMessage();
RunReport VersionMessage(const std::string& caption);
// The ending of a transfer result.
RunEnding EndingForResult(uint8_t result);

class RunFrontEnd {
 public:
  virtual ~RunFrontEnd() = default;

  // Brings up the transport and finds the drives: the drive count, or -1
  // when the front end ended the run itself (it has said why in *ending).
  virtual int FindDrives(RunEnding* ending) = 0;
  // Opens the program file that carries the payload; null when it cannot.
  virtual ExeFile* OpenPayloadFile() = 0;
  // The path named in the cannot-open message.
  virtual std::string PayloadPath() = 0;
  // Split mode: true when the images are to be written out instead of an
  // update; SplitImagesOut writes them (the contents are in the state) and
  // shows its report, false when a file could not be written.
  virtual bool SplitMode() = 0;
  virtual bool SplitImagesOut() = 0;
  // A file that could not be read (the table has no message for it).
  virtual void ReadFailed() {}
  // Listing instead of an update: after identification, shows the drives and
  // what fits them; nothing more is sent.
  virtual bool ListOnly() { return false; }
  virtual void ListDrives() {}
  // Shows one message that ends the run.
  virtual void ShowMessage(const RunReport& message, RunEnding ending) = 0;
  // The choice of drive and image with the accept step (model rules and the
  // question). Returns Updated to go on, or the ending (Declined, DosOnly,
  // ChoiceNeeded).
  virtual RunEnding ChooseAndConfirm() = 0;
  // Puts the front end's progress display up before the transfer (the
  // Windows program does that inside Transfer, with its progress dialog).
  // What must not interrupt the update (sleep, signals) is held by the
  // transfer itself through Host().update_guard.
  virtual void BeginCriticalStretch() = 0;
  // Runs the transfer (on whatever thread the front end chooses) and returns
  // its result; the settle is part of it.
  virtual uint8_t Transfer() = 0;
  // The drive has settled (or the transfer failed): takes the progress
  // display down again.
  virtual void EndCriticalStretch() = 0;
  // After the transfer and its settle, before the report (the Linux program
  // asks the drive for its new firmware version here). True when the drive
  // now reports the chosen image's model and version: a flash command that
  // got no good answer then ends as an update, else as the flash error.
  virtual bool AfterTransfer(uint8_t result) { return false; }
};

// Runs the whole update through the front end, after its switch actions
// (version display and trace set-up are the front end's own).
RunEnding RunUpdate(RunFrontEnd& front);
// The run's last stretch, once the checks have passed: the choice and the
// question, the transfer, the program file closed, the report.
RunEnding ConfirmTransferReport(RunFrontEnd& front);
