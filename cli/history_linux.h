// The update history of the Linux program: one file, "<dir>/history" (the
// program passes kHistoryDir), with one JSON object per line.
//
// Each update that reached the question gets a "started" line, written and
// flushed to the disk (fsync of the file, and of the folder when the file or
// the folder was created) before the first buffer command, and a "finished"
// line once its ending is known. An update cut by a power loss or a crash
// stays started and never finished, and UnfinishedFor finds it the next
// time the same drive is to be updated.
//
//   {"event":"started","id":"...","time":"2026-12-09T15:24:06Z","drive":"/dev/sg1",
//    "hctl":"1:0:0:0","vendor":"...","model":"...","firmware_before":"209A","image":"..."}
//   {"event":"finished","id":"...","time":"...","firmware_after":"209B","ending":"updated","status":0}
//
// Writing: each line goes out in one write() to the file opened O_APPEND,
// under flock(LOCK_EX), so lines of several programs never interleave; a
// file that does not end in a newline (a line torn by a crash) gets one
// first. The lock is waited for at most kHistoryLockWaitMs (anyone who can
// read the file can lock it): after that the line is appended without it.
//
// Safety (the program runs as root): the folder is opened without following
// a symbolic link and refused when it is a symbolic link, is owned by
// neither root nor the effective user, or may be written by group or others;
// the file is opened inside it without following a symbolic link and
// refused when it is not a regular file, has more than one name, is owned by
// neither root nor the effective user, or may be written by group or
// others. A refusal or a failure is a reason in words; nothing is written
// through a refused path, and a failed history must never stop an update by
// itself (the caller warns and goes on).
//
// Reading takes at most kHistoryMaxRead bytes (the end of a larger file).
// Lines that are torn (the last one without its newline), not JSON, or
// without the fields of their kind are skipped and counted; the good ones
// are kept.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

constexpr char kHistoryDir[] = "/var/lib/fwupdate-linux";
constexpr char kHistoryFileName[] = "history";
constexpr size_t kHistoryMaxRead = 16u << 20;
constexpr int kHistoryLockWaitMs = 3000;
// Each text field is cut to this many bytes when written.
constexpr size_t kHistoryMaxField = 256;

// What is known when the question has been answered yes.
struct HistoryStart {
  std::string drive;            // the sg node, e.g. /dev/sg1
  std::string hctl;             // H:C:T:L
  std::string vendor;           // as the drive reports it
  std::string model;
  std::string firmware_before;  // the firmware the drive reported
  std::string image;            // the image chosen (its name)
};

// One update as read back: its start, and its end when it has one.
struct HistoryRecord {
  std::string id;
  std::string started;  // UTC, ISO 8601: 2026-12-09T15:24:06Z
  HistoryStart start;
  bool finished = false;
  std::string finished_at;     // empty while not finished
  std::string firmware_after;  // as the drive reported it afterwards
  std::string ending;          // e.g. "updated", "declined", "buffer-write-error"
  int status = 0;              // the exit status
};

// The result of an append: ok, or the reason it was refused or failed.
struct HistoryWrite {
  bool ok = false;
  bool refused = false;  // the path is unsafe (as opposed to a system failure)
  std::string id;        // BeginRecord's id on success
  std::string reason;
};

struct HistoryRead {
  bool ok = false;  // false: nothing could be read (reason says why)
  bool refused = false;
  std::string reason;
  std::vector<HistoryRecord> records;  // in the order they started
  int skipped = 0;       // torn, garbled or incomplete lines
  int unmatched = 0;     // finished lines whose start is not in what was read
  bool cut = false;      // the file was larger than kHistoryMaxRead: its end was read
};

// Appends the "started" line of a new record to <dir>/history, creating the
// folder (0755, its parent must exist) and the file (0644) when missing, and
// returns once it is on the disk. The id is unique: time, process id and 64
// random bits.
HistoryWrite BeginRecord(const std::string& dir, const HistoryStart& start);

// Appends the "finished" line of record `id` (on the disk when it returns).
HistoryWrite FinishRecord(const std::string& dir, const std::string& id, const std::string& firmware_after,
                          const std::string& ending, int status);

// Reads <dir>/history and joins its lines by id. A missing file is ok with
// no records.
HistoryRead ReadHistory(const std::string& dir);

// The unfinished records of the drive about to be updated: `drive_or_hctl`
// matches a record's H:C:T:L or its sg node, and vendor and model match
// (leading and trailing blanks aside). Oldest first.
std::vector<HistoryRecord> UnfinishedFor(const std::vector<HistoryRecord>& records, const std::string& drive_or_hctl,
                                         const std::string& vendor, const std::string& model);

// The records as a table for a person, one line each, with control and
// non-ASCII bytes shown as \xHH; ends in a newline unless there are none.
std::string HistoryTable(const std::vector<HistoryRecord>& records);

// The records as a JSON array (for --history --json): each an object with
// id, started, drive, hctl, vendor, model, firmware_before, image, finished,
// and, when finished, finished_at, firmware_after, ending and status (else
// those are null).
nlohmann::json HistoryJson(const std::vector<HistoryRecord>& records);
