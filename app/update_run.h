// The order of an update run, once for every front end: find the drives,
// check the program file, identify, apply the model rules, let the user
// choose and confirm, transfer, report. The front end (the Windows dialogs,
// the Linux terminal) supplies what the user sees behind RunFrontEnd.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/exe_file.h"
#include "app/update_app_messages.h"
#include "drive/identify.h"

// How a run ended. Every front end reports the same endings; the table of
// endings (RunEndings) says which message each has and whether the transfer
// ran; the Linux program turns each into its own exit status.
enum class RunEnding : uint8_t {
  Updated,           // the drive took the new firmware
  NothingToDo,       // version display, split mode, listing
  NoDrive,           // no CD-ROM/RW drive could be reached
  CannotOpen,        // the program file cannot be opened
  ReadFailed,        // the file could not be read (no message of the table)
  Damaged,           // the program file fails its check
  ModelMismatch,     // no image fits any drive
  DosOnly,           // the model rules refused the drive
  Declined,          // the user said No
  CompareError,      // a chunk read back differed
  BufferWriteError,  // a buffer write failed
  BufferReadError,   // a buffer read failed
  FlashError,        // the flash command failed
  TransferError,     // any other transfer result
  NoPermission,      // drives found that the user may not open
  DriveNotNamed,     // a drive was named that is not a CD-ROM/RW drive
  SplitFailed,       // an image file could not be written
  ChoiceNeeded,      // several drives or images fit and nobody was there to choose
};

// One line of the table of endings.
struct EndingLine {
  RunEnding ending;
  // The message the run shows for it in the message dialog ("%s": the path),
  // null where it shows none of its own (after a transfer: the result's).
  const char* text;
  MessageIcon icon;
  int result;        // the transfer result that ends the run so; -1 none
  bool transferred;  // the transfer ran
  const char* name;  // one word for scripts and records: "updated", "buffer-write-error", ...
};
// Every ending once, in the order of RunEnding.
const EndingLine* RunEndings(size_t* count);
// Whether the transfer ran before the run ended so.
bool TransferRan(RunEnding ending);
// The ending's word from the table ("unknown" for a value outside it).
const char* EndingName(RunEnding ending);

// The messages of the table that end a run before the transfer.
RunReport NoDriveMessage();
RunReport CannotOpenMessage(const std::string& path);
RunReport DamagedMessage();
RunReport MismatchMessage();
RunReport VersionMessage(const std::string& caption);
// The ending of a transfer result.
RunEnding EndingForResult(uint8_t result);
// The ending of the accept step's verdict once the front end has shown its
// refusal or asked its question (yes: the answer): Updated on Yes, Declined
// on No, DosOnly when the rules refused or nothing could be accepted.
RunEnding AcceptEnding(const AcceptVerdict& verdict, bool yes);

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
  // Shows the model rules' refusal at start-up (a plain box on Windows)
  // before the run ends as DosOnly.
  virtual void ShowRefusal(const char* text) = 0;
  // The choice of drive and image with the accept step: shows its refusal or
  // asks its question (AcceptStep's verdict). Returns Updated to go on, or
  // the ending (Declined, DosOnly, ChoiceNeeded).
  virtual RunEnding ChooseAndConfirm() = 0;
  // Runs the transfer with the front end's progress display (on whatever
  // thread the front end chooses) and returns its result; the settle is part
  // of it. What must not interrupt the update (sleep, signals) is held by
  // the transfer itself through Host().update_guard.
  virtual uint8_t Transfer() = 0;
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
