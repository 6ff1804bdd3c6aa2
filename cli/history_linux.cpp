#include "cli/history_linux.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace {

using nlohmann::json;

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  // Takes f, closing what was held.
  void Reset(int f) {
    if (fd >= 0) close(fd);
    fd = f;
  }
};

// How opening the folder or the file went: kOk, kMissing (ENOENT, nothing
// created), kRefused (unsafe) or kFailed (the system said no).
struct Opened {
  enum Kind { kOk, kMissing, kRefused, kFailed };
  Kind kind = kFailed;
  std::string reason;
  bool created = false;
};

Opened Ok(bool created) { return Opened{Opened::kOk, "", created}; }
Opened Refused(const std::string& what, const std::string& why) {
  return Opened{Opened::kRefused, what + " is not used: " + why, false};
}
Opened Failed(const std::string& what, int error) {
  return Opened{error == ENOENT ? Opened::kMissing : Opened::kFailed, what + ": " + std::strerror(error), false};
}

// What an entry is, in words, when it is not what was expected.
std::string KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "it is a symbolic link";
  if (S_ISFIFO(mode)) return "it is a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device";
  if (S_ISSOCK(mode)) return "it is a socket";
  if (S_ISDIR(mode)) return "it is a directory";
  if (S_ISREG(mode)) return "it is a regular file";
  return "it is of an unknown kind";
}

// Why an entry owned as st says must not be trusted: empty when it may.
std::string UnsafeOwnership(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) return "it belongs to another user";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "group or others may write to it";
  return "";
}

// Why the history folder must not be used: empty when it may.
std::string UnsafeFolder(const struct stat& st) {
  if (!S_ISDIR(st.st_mode)) return KindOf(st.st_mode);
  return UnsafeOwnership(st);
}

// Why the history file must not be used: empty when it may.
std::string UnsafeFile(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return KindOf(st.st_mode);
  if (st.st_nlink > 1) return "it has other names (hard links)";
  return UnsafeOwnership(st);
}

bool SameEntry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Flushes the folder that holds `path` (after `path` was created in it).
void SyncParent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  Fd fd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.fd >= 0) fsync(fd.fd);
}

// Opens the history folder into *fd: without following a symbolic link, and
// only when it passes UnsafeFolder; with `create` a missing folder is made
// (0755) and its parent flushed.
Opened OpenFolder(const std::string& named, bool create, Fd* fd) {
  // A trailing slash would make lstat and O_NOFOLLOW follow a last link.
  std::string dir = named;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const std::string what = "the history folder " + dir;
  if (dir.empty()) return Refused("the history folder", "no folder is named");
  bool created = false;
  struct stat before;
  if (lstat(dir.c_str(), &before) != 0) {
    if (errno != ENOENT || !create) return Failed(what, errno);
    if (mkdir(dir.c_str(), 0755) == 0) {
      created = true;
    } else if (errno != EEXIST) {
      return Failed(what, errno);
    }
    if (lstat(dir.c_str(), &before) != 0) return Failed(what, errno);
  }
  std::string why = UnsafeFolder(before);
  if (!why.empty()) return Refused(what, why);
  fd->Reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd->fd < 0) return errno == ELOOP ? Refused(what, "it is a symbolic link") : Failed(what, errno);
  struct stat st;
  if (fstat(fd->fd, &st) != 0) return Failed(what, errno);
  if (!SameEntry(st, before)) return Refused(what, "it was replaced while it was opened");
  why = UnsafeFolder(st);
  if (!why.empty()) return Refused(what, why);
  if (created) SyncParent(dir);
  return Ok(created);
}

// Opens kHistoryFileName in the open folder `dir_fd` into *fd, for appending
// (`write`, created 0644 when missing) or for reading; never through a
// symbolic link, never a FIFO or a device (looked at before it is opened,
// and opened non-blocking), only when it passes UnsafeFile.
Opened OpenHistoryFile(int dir_fd, const std::string& dir, bool write, Fd* fd) {
  const std::string what = "the history file " + dir + "/" + kHistoryFileName;
  const int flags = (write ? O_RDWR | O_APPEND : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  struct stat before;
  bool created = false;
  if (fstatat(dir_fd, kHistoryFileName, &before, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT || !write) return Failed(what, errno);
    fd->Reset(openat(dir_fd, kHistoryFileName, flags | O_CREAT | O_EXCL, 0644));
    if (fd->fd >= 0) {
      created = true;
    } else if (errno != EEXIST) {
      return Failed(what, errno);
    } else if (fstatat(dir_fd, kHistoryFileName, &before, AT_SYMLINK_NOFOLLOW) != 0) {
      return Failed(what, errno);
    }
  }
  if (!created) {
    std::string why = UnsafeFile(before);
    if (!why.empty()) return Refused(what, why);
    fd->Reset(openat(dir_fd, kHistoryFileName, flags));
    if (fd->fd < 0) return errno == ELOOP ? Refused(what, "it is a symbolic link") : Failed(what, errno);
  }
  struct stat st;
  if (fstat(fd->fd, &st) != 0) return Failed(what, errno);
  if (!created && !SameEntry(st, before)) return Refused(what, "it was replaced while it was opened");
  const std::string why = UnsafeFile(st);
  if (!why.empty()) return Refused(what, why);
  return Ok(created);
}

// Takes the lock `op` (LOCK_EX or LOCK_SH) on fd, waiting at most
// kHistoryLockWaitMs; false when it could not be had in that time.
bool LockWithin(int fd, int op) {
  struct timespec now, end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += kHistoryLockWaitMs / 1000;
  end.tv_nsec += (kHistoryLockWaitMs % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (flock(fd, op | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > end.tv_sec || (now.tv_sec == end.tv_sec && now.tv_nsec >= end.tv_nsec)) return false;
    const struct timespec pause = {0, 2 * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// Whether the open file is empty or ends in a newline.
bool EndsWithNewline(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size == 0) return true;
  char last = 0;
  ssize_t n;
  do {
    n = pread(fd, &last, 1, st.st_size - 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 && last == '\n';
}

// Writes `text` in one write() call; true when all of it went out.
bool WriteOnce(int fd, const std::string& text) {
  ssize_t n;
  do {
    n = write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(text.size());
}

HistoryWrite WriteRefused(const Opened& opened) {
  HistoryWrite result;
  result.refused = opened.kind == Opened::kRefused;
  result.reason = opened.reason;
  return result;
}

// Appends `line` (one JSON object, without newline) to <dir>/history as
// described in the header, and flushes it to the disk.
HistoryWrite AppendLine(const std::string& dir, const std::string& line) {
  Fd dir_fd;
  Opened opened = OpenFolder(dir, true, &dir_fd);
  if (opened.kind != Opened::kOk) return WriteRefused(opened);
  Fd file;
  opened = OpenHistoryFile(dir_fd.fd, dir, true, &file);
  if (opened.kind != Opened::kOk) return WriteRefused(opened);
  const std::string where = "the history file " + dir + "/" + kHistoryFileName;
  // Without the lock (someone holds it too long) the line still goes out in
  // one write to an O_APPEND file.
  LockWithin(file.fd, LOCK_EX);
  const std::string text = (EndsWithNewline(file.fd) ? "" : "\n") + line + "\n";
  HistoryWrite result;
  if (!WriteOnce(file.fd, text)) {
    result.reason = where + ": could not be written: " + std::strerror(errno ? errno : EIO);
    return result;
  }
  if (fsync(file.fd) != 0) {
    result.reason = where + ": could not be flushed to the disk: " + std::strerror(errno);
    return result;
  }
  if (opened.created) fsync(dir_fd.fd);
  result.ok = true;
  return result;
}

// `text` cut to kHistoryMaxField bytes.
std::string Field(const std::string& text) { return text.substr(0, kHistoryMaxField); }

// The object as one line; bytes that are not UTF-8 become U+FFFD.
std::string Line(const json& object) { return object.dump(-1, ' ', false, json::error_handler_t::replace); }

// The time now, UTC, in ISO 8601 (or, with `compact`, without separators).
std::string UtcNow(bool compact) {
  const time_t now = time(nullptr);
  struct tm utc;
  char text[32] = "";
  if (gmtime_r(&now, &utc)) strftime(text, sizeof text, compact ? "%Y%m%dT%H%M%SZ" : "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// A new record's id: the time, the process id and 64 random bits.
std::string NewId() {
  uint64_t random = 0;
  if (getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    static uint64_t counter = 0;
    random = (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^ (++counter * 0x9e3779b97f4a7c15ull);
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s-%ld-%016llx", UtcNow(true).c_str(), static_cast<long>(getpid()),
                static_cast<unsigned long long>(random));
  return text;
}

// Reads up to kHistoryMaxRead bytes of the open file: its end when it is
// larger (*cut is then set and the partial first line dropped).
bool ReadBounded(int fd, std::string* text, bool* cut) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t start = size > kHistoryMaxRead ? size - kHistoryMaxRead : 0;
  text->resize(static_cast<size_t>(size - start));
  size_t have = 0;
  while (have < text->size()) {
    const ssize_t n = pread(fd, &(*text)[have], text->size() - have, static_cast<off_t>(start + have));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;  // shrank meanwhile
    have += static_cast<size_t>(n);
  }
  text->resize(have);
  *cut = start > 0;
  if (*cut) {
    const size_t newline = text->find('\n');
    text->erase(0, newline == std::string::npos ? text->size() : newline + 1);
  }
  return true;
}

// Copies object[key] to *out when it is a string.
bool GetString(const json& object, const char* key, std::string* out) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

// Copies object[key] to *out when it is an integer an int holds.
bool GetInt(const json& object, const char* key, int* out) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return false;
  const int64_t value = it->get<int64_t>();
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT_MAX)) return false;
  if (value < INT_MIN || value > INT_MAX) return false;
  *out = static_cast<int>(value);
  return true;
}

// A "started" line as a record; false when a field is missing.
bool ParseStarted(const json& object, HistoryRecord* record) {
  HistoryStart& s = record->start;
  return GetString(object, "id", &record->id) && GetString(object, "time", &record->started) &&
         GetString(object, "drive", &s.drive) && GetString(object, "hctl", &s.hctl) &&
         GetString(object, "vendor", &s.vendor) && GetString(object, "model", &s.model) &&
         GetString(object, "firmware_before", &s.firmware_before) && GetString(object, "image", &s.image);
}

// A "finished" line into a record (its id in *id); false when a field is
// missing.
bool ParseFinished(const json& object, std::string* id, HistoryRecord* end) {
  return GetString(object, "id", id) && GetString(object, "time", &end->finished_at) &&
         GetString(object, "firmware_after", &end->firmware_after) && GetString(object, "ending", &end->ending) &&
         GetInt(object, "status", &end->status);
}

// Joins the lines of `text` into result->records, counting what is skipped.
void JoinLines(const std::string& text, HistoryRead* result) {
  std::unordered_map<std::string, size_t> index;
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t newline = text.find('\n', begin);
    if (newline == std::string::npos) {  // torn: the file ends inside it
      ++result->skipped;
      break;
    }
    const std::string line = text.substr(begin, newline - begin);
    begin = newline + 1;
    if (line.empty()) continue;
    const json object = json::parse(line, nullptr, false);
    std::string event;
    if (!object.is_object() || !GetString(object, "event", &event)) {
      ++result->skipped;
      continue;
    }
    HistoryRecord record;
    std::string id;
    if (event == "started" && ParseStarted(object, &record) && index.count(record.id) == 0) {
      index[record.id] = result->records.size();
      result->records.push_back(record);
    } else if (event == "finished" && ParseFinished(object, &id, &record)) {
      const auto it = index.find(id);
      if (it == index.end()) {
        ++result->unmatched;
        continue;
      }
      HistoryRecord& r = result->records[it->second];
      if (r.finished) {
        ++result->skipped;
        continue;
      }
      r.finished = true;
      r.finished_at = record.finished_at;
      r.firmware_after = record.firmware_after;
      r.ending = record.ending;
      r.status = record.status;
    } else {
      ++result->skipped;
    }
  }
}

// `text` without leading and trailing blanks.
std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// `text` for a terminal: printable ASCII as it is, every other byte (and the
// backslash) as \xHH, at most kHistoryMaxField bytes of it.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text.substr(0, kHistoryMaxField)) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// `text` as a table cell: printable, and "-" when empty.
std::string Cell(const std::string& text) { return text.empty() ? "-" : Printable(text); }

}  // namespace

HistoryWrite BeginRecord(const std::string& dir, const HistoryStart& start) {
  const std::string id = NewId();
  const json line = {{"event", "started"},
                     {"id", id},
                     {"time", UtcNow(false)},
                     {"drive", Field(start.drive)},
                     {"hctl", Field(start.hctl)},
                     {"vendor", Field(start.vendor)},
                     {"model", Field(start.model)},
                     {"firmware_before", Field(start.firmware_before)},
                     {"image", Field(start.image)}};
  HistoryWrite result = AppendLine(dir, Line(line));
  if (result.ok) result.id = id;
  return result;
}

HistoryWrite FinishRecord(const std::string& dir, const std::string& id, const std::string& firmware_after,
                          const std::string& ending, int status) {
  if (id.empty()) return HistoryWrite{false, false, "", "the update has no history record to finish"};
  const json line = {{"event", "finished"},
                     {"id", Field(id)},
                     {"time", UtcNow(false)},
                     {"firmware_after", Field(firmware_after)},
                     {"ending", Field(ending)},
                     {"status", status}};
  return AppendLine(dir, Line(line));
}

HistoryRead ReadHistory(const std::string& dir) {
  HistoryRead result;
  Fd dir_fd;
  Opened opened = OpenFolder(dir, false, &dir_fd);
  Fd file;
  if (opened.kind == Opened::kOk) opened = OpenHistoryFile(dir_fd.fd, dir, false, &file);
  if (opened.kind == Opened::kMissing) {
    result.ok = true;  // no update was recorded yet
    return result;
  }
  if (opened.kind != Opened::kOk) {
    result.refused = opened.kind == Opened::kRefused;
    result.reason = opened.reason;
    return result;
  }
  // Without the lock (someone holds it too long) a line being written may
  // show as torn.
  LockWithin(file.fd, LOCK_SH);
  std::string text;
  if (!ReadBounded(file.fd, &text, &result.cut)) {
    result.reason = "the history file " + dir + "/" + kHistoryFileName + ": " + std::strerror(errno);
    return result;
  }
  JoinLines(text, &result);
  result.ok = true;
  return result;
}

std::vector<HistoryRecord> UnfinishedFor(const std::vector<HistoryRecord>& records, const std::string& drive_or_hctl,
                                         const std::string& vendor, const std::string& model) {
  std::vector<HistoryRecord> found;
  if (drive_or_hctl.empty()) return found;
  for (const HistoryRecord& r : records) {
    if (r.finished) continue;
    if (r.start.hctl != drive_or_hctl && r.start.drive != drive_or_hctl) continue;
    if (Trimmed(r.start.vendor) != Trimmed(vendor) || Trimmed(r.start.model) != Trimmed(model)) continue;
    found.push_back(r);
  }
  return found;
}

std::string HistoryTable(const std::vector<HistoryRecord>& records) {
  std::string table;
  for (const HistoryRecord& r : records) {
    const HistoryStart& s = r.start;
    table += Cell(r.started) + "  " + Cell(s.drive) + " " + Cell(s.hctl) + "  " + Cell(Trimmed(s.vendor)) + " " +
             Cell(Trimmed(s.model)) + "  " + Cell(s.firmware_before) + " -> ";
    if (r.finished) {
      table += Cell(r.firmware_after) + "  image " + Cell(s.image) + "  " + Cell(r.ending) + " (status " +
               std::to_string(r.status) + ")\n";
    } else {
      table += "?  image " + Cell(s.image) + "  started, never finished\n";
    }
  }
  return table;
}

nlohmann::json HistoryJson(const std::vector<HistoryRecord>& records) {
  json array = json::array();
  for (const HistoryRecord& r : records) {
    const HistoryStart& s = r.start;
    json object = {{"id", r.id},
                   {"started", r.started},
                   {"drive", s.drive},
                   {"hctl", s.hctl},
                   {"vendor", s.vendor},
                   {"model", s.model},
                   {"firmware_before", s.firmware_before},
                   {"image", s.image},
                   {"finished", r.finished},
                   {"finished_at", nullptr},
                   {"firmware_after", nullptr},
                   {"ending", nullptr},
                   {"status", nullptr}};
    if (r.finished) {
      object["finished_at"] = r.finished_at;
      object["firmware_after"] = r.firmware_after;
      object["ending"] = r.ending;
      object["status"] = r.status;
    }
    array.push_back(object);
  }
  return array;
}
