// The update history: what is written survives torn lines and concurrent
// programs, an unfinished update is found for its drive, and a folder or a
// file someone prepared is never written through.
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/history_linux.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// A temporary folder, removed with all it holds at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/fw_history_XXXXXX";
    path_ = mkdtemp(name) ? name : "";
    chmod(path_.c_str(), 0755);
  }
  ~TempDir() {
    if (!path_.empty()) nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

HistoryStart Drive(const std::string& sg, const std::string& hctl, const std::string& model = "K53R-TX") {
  return HistoryStart{sg, hctl, "ACME    ", model, "209A", "K53R_209B.bin"};
}

TEST(History, RecordsRoundTripThroughTheFile) {
  TempDir tmp;
  const std::string dir = tmp.path() + "/fwupdate-linux";  // created on the first record
  const HistoryWrite a = BeginRecord(dir, Drive("/dev/sg1", "1:0:0:0"));
  ASSERT_TRUE(a.ok) << a.reason;
  const HistoryWrite b = BeginRecord(dir, Drive("/dev/sg2", "2:0:0:0", "K54R"));
  ASSERT_TRUE(b.ok) << b.reason;
  EXPECT_NE(a.id, b.id);
  ASSERT_TRUE(FinishRecord(dir, a.id, "209B", "updated", 0).ok);

  struct stat st;
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 022, 0u);
  ASSERT_EQ(stat((dir + "/history").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  // One whole JSON object per line.
  const std::vector<std::string> lines = Lines(ReadAll(dir + "/history"));
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;

  const HistoryRead read = ReadHistory(dir);
  ASSERT_TRUE(read.ok) << read.reason;
  EXPECT_EQ(read.skipped, 0);
  ASSERT_EQ(read.records.size(), 2u);
  const HistoryRecord& r = read.records[0];
  EXPECT_EQ(r.id, a.id);
  EXPECT_EQ(r.start.drive, "/dev/sg1");
  EXPECT_EQ(r.start.hctl, "1:0:0:0");
  EXPECT_EQ(r.start.vendor, "ACME    ");
  EXPECT_EQ(r.start.model, "K53R-TX");
  EXPECT_EQ(r.start.firmware_before, "209A");
  EXPECT_EQ(r.start.image, "K53R_209B.bin");
  EXPECT_TRUE(r.finished);
  EXPECT_EQ(r.firmware_after, "209B");
  EXPECT_EQ(r.ending, "updated");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.started.size(), 20u);  // 2026-12-09T15:24:06Z
  EXPECT_EQ(r.started[10], 'T');
  EXPECT_EQ(r.started.back(), 'Z');
  EXPECT_FALSE(read.records[1].finished);

  const nlohmann::json json = HistoryJson(read.records);
  ASSERT_TRUE(json.is_array());
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0]["ending"], "updated");
  EXPECT_EQ(json[0]["status"], 0);
  EXPECT_EQ(json[1]["finished"], false);
  EXPECT_TRUE(json[1]["status"].is_null());

  const std::vector<std::string> table = Lines(HistoryTable(read.records));
  ASSERT_EQ(table.size(), 2u);
  EXPECT_NE(table[0].find("/dev/sg1 1:0:0:0  ACME K53R-TX  209A -> 209B"), std::string::npos) << table[0];
  EXPECT_NE(table[0].find("updated (status 0)"), std::string::npos) << table[0];
  EXPECT_NE(table[1].find("started, never finished"), std::string::npos) << table[1];
  EXPECT_EQ(HistoryTable({}), "");
}

TEST(History, ATornLastLineIsCountedAndTheNextRecordStartsOnALineOfItsOwn) {
  TempDir tmp;
  const std::string dir = tmp.path();
  const std::string file = dir + "/history";
  const HistoryWrite a = BeginRecord(dir, Drive("/dev/sg1", "1:0:0:0"));
  ASSERT_TRUE(a.ok);
  ASSERT_TRUE(FinishRecord(dir, a.id, "209B", "updated", 0).ok);
  ASSERT_TRUE(BeginRecord(dir, Drive("/dev/sg1", "1:0:0:0")).ok);
  // The power went while the last line was being written.
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  ASSERT_EQ(truncate(file.c_str(), st.st_size - 20), 0);

  HistoryRead read = ReadHistory(dir);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.records.size(), 1u);
  EXPECT_EQ(read.skipped, 1);

  const HistoryWrite c = BeginRecord(dir, Drive("/dev/sg3", "3:0:0:0"));
  ASSERT_TRUE(c.ok);
  read = ReadHistory(dir);
  ASSERT_TRUE(read.ok);
  ASSERT_EQ(read.records.size(), 2u);
  EXPECT_EQ(read.records[0].id, a.id);
  EXPECT_TRUE(read.records[0].finished);
  EXPECT_EQ(read.records[1].id, c.id);
  EXPECT_EQ(read.skipped, 1);
}

TEST(History, AnUnfinishedUpdateIsFoundForItsDriveOnly) {
  TempDir tmp;
  const std::string dir = tmp.path();
  const HistoryWrite cut = BeginRecord(dir, Drive("/dev/sg1", "1:0:0:0"));  // never finished
  const HistoryWrite done = BeginRecord(dir, Drive("/dev/sg2", "2:0:0:0"));
  ASSERT_TRUE(cut.ok && done.ok);
  ASSERT_TRUE(FinishRecord(dir, done.id, "209A", "buffer-write-error", 21).ok);
  const HistoryRead read = ReadHistory(dir);
  ASSERT_TRUE(read.ok);

  // By H:C:T:L (the node may be another one now) or by node; INQUIRY's
  // padding aside.
  std::vector<HistoryRecord> found = UnfinishedFor(read.records, "1:0:0:0", "ACME", "K53R-TX  ");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, cut.id);
  EXPECT_EQ(UnfinishedFor(read.records, "/dev/sg1", "ACME", "K53R-TX").size(), 1u);
  // The finished one, another drive, another model, another vendor: none.
  EXPECT_TRUE(UnfinishedFor(read.records, "2:0:0:0", "ACME", "K53R-TX").empty());
  EXPECT_TRUE(UnfinishedFor(read.records, "4:0:0:0", "ACME", "K53R-TX").empty());
  EXPECT_TRUE(UnfinishedFor(read.records, "1:0:0:0", "ACME", "K54R").empty());
  EXPECT_TRUE(UnfinishedFor(read.records, "1:0:0:0", "OTHER", "K53R-TX").empty());
  EXPECT_TRUE(UnfinishedFor(read.records, "", "ACME", "K53R-TX").empty());
}

TEST(History, ConcurrentProgramsNeverInterleaveTheirLines) {
  TempDir tmp;
  const std::string dir = tmp.path();
  constexpr int kPrograms = 8, kRecords = 50;
  std::vector<pid_t> children;
  for (int p = 0; p < kPrograms; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool all = true;
      for (int i = 0; i < kRecords; ++i) {
        HistoryStart start = Drive("/dev/sg" + std::to_string(p), std::to_string(p) + ":0:0:" + std::to_string(i));
        start.image = std::string(200 + 37 * i, 'x');  // lines of many lengths
        all = BeginRecord(dir, start).ok && all;
      }
      _exit(all ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::vector<std::string> lines = Lines(ReadAll(dir + "/history"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kPrograms * kRecords));
  for (const std::string& line : lines) ASSERT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object()) << line;
  const HistoryRead read = ReadHistory(dir);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.skipped, 0);
  std::set<std::string> ids;
  for (const HistoryRecord& r : read.records) ids.insert(r.id);
  EXPECT_EQ(ids.size(), static_cast<size_t>(kPrograms * kRecords));
}

TEST(History, ALockHeldByAnotherProgramDelaysTheRecordButDoesNotHoldIt) {
  TempDir tmp;
  ASSERT_TRUE(BeginRecord(tmp.path(), Drive("/dev/sg1", "1:0:0:0")).ok);
  const int holder = open((tmp.path() + "/history").c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(BeginRecord(tmp.path(), Drive("/dev/sg1", "1:0:0:0")).ok);
  EXPECT_EQ(ReadHistory(tmp.path()).records.size(), 2u);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_LT(waited, std::chrono::milliseconds(2 * kHistoryLockWaitMs + 2000));
  close(holder);
}

// Expects the history in `dir` to be refused for writing and for reading.
void ExpectRefused(const std::string& dir, const char* why) {
  const HistoryWrite write = BeginRecord(dir, Drive("/dev/sg1", "1:0:0:0"));
  EXPECT_FALSE(write.ok) << why;
  EXPECT_TRUE(write.refused) << why << ": " << write.reason;
  EXPECT_NE(write.reason.find(why), std::string::npos) << write.reason;
  EXPECT_FALSE(FinishRecord(dir, "x", "209B", "updated", 0).ok) << why;
  const HistoryRead read = ReadHistory(dir);
  EXPECT_FALSE(read.ok) << why;
  EXPECT_TRUE(read.refused) << why << ": " << read.reason;
}

TEST(History, FoldersAndFilesSomeonePreparedAreRefusedAndNothingIsWrittenThroughThem) {
  TempDir tmp;
  const std::string real = tmp.path() + "/real";
  ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
  {
    const std::string link = tmp.path() + "/linked";
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    ExpectRefused(link, "symbolic link");
    ExpectRefused(link + "//", "symbolic link");
    EXPECT_NE(access((real + "/history").c_str(), F_OK), 0);
  }
  {
    const std::string dir = tmp.path() + "/file_link";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    WriteAll(real + "/target", "precious\n");
    ASSERT_EQ(symlink((real + "/target").c_str(), (dir + "/history").c_str()), 0);
    ExpectRefused(dir, "symbolic link");
    EXPECT_EQ(ReadAll(real + "/target"), "precious\n");
  }
  {
    const std::string dir = tmp.path() + "/hard_link";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    WriteAll(real + "/other", "precious\n");
    ASSERT_EQ(link((real + "/other").c_str(), (dir + "/history").c_str()), 0);
    ExpectRefused(dir, "hard links");
    EXPECT_EQ(ReadAll(real + "/other"), "precious\n");
  }
  {
    const std::string dir = tmp.path() + "/fifo";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir + "/history").c_str(), 0644), 0);
    // A reader on the other end: an open for writing would succeed.
    const int reader = open((dir + "/history").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ExpectRefused(dir, "FIFO");
    char byte;
    EXPECT_LE(read(reader, &byte, 1), 0);
    close(reader);
  }
  {
    const std::string dir = tmp.path() + "/directory";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/history").c_str(), 0755), 0);
    ExpectRefused(dir, "directory");
  }
  for (mode_t mode : {0775, 0757, 01777}) {
    const std::string dir = tmp.path() + "/writable" + std::to_string(mode);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.c_str(), mode), 0);
    ExpectRefused(dir, "group or others may write");
    EXPECT_NE(access((dir + "/history").c_str(), F_OK), 0);
  }
  {
    const std::string dir = tmp.path() + "/writable_file";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    WriteAll(dir + "/history", "");
    ASSERT_EQ(chmod((dir + "/history").c_str(), 0666), 0);
    ExpectRefused(dir, "group or others may write");
    EXPECT_EQ(ReadAll(dir + "/history"), "");
  }
  if (geteuid() == 0) {  // a folder or a file of another user
    const std::string dir = tmp.path() + "/foreign";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    ExpectRefused(dir, "belongs to another user");
    EXPECT_NE(access((dir + "/history").c_str(), F_OK), 0);
    const std::string own = tmp.path() + "/foreign_file";
    ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
    WriteAll(own + "/history", "");
    ASSERT_EQ(chown((own + "/history").c_str(), 65534, 65534), 0);
    ExpectRefused(own, "belongs to another user");
    EXPECT_EQ(ReadAll(own + "/history"), "");
  }
  {
    const std::string dir = tmp.path() + "/plain_file";
    WriteAll(dir, "");
    ExpectRefused(dir, "regular file");
  }
}

TEST(History, GarbageInTheFileIsSkippedAndTheGoodRecordsRemain) {
  TempDir tmp;
  const std::string dir = tmp.path();
  const std::string file = dir + "/history";
  std::string garbage("\x00\x01\xff\xfe{\"event\":\"started\"\x00}\n", 25);
  garbage += "not json at all\n";
  garbage += "[1,2,3]\n";
  garbage += "\"a string\"\n";
  garbage += "{\"event\":\"started\",\"id\":\"no-fields\"}\n";
  garbage += "{\"event\":\"started\",\"id\":7,\"time\":\"t\",\"drive\":\"d\",\"hctl\":\"h\",\"vendor\":\"v\","
             "\"model\":\"m\",\"firmware_before\":\"f\",\"image\":\"i\"}\n";
  garbage += "{\"event\":\"finished\",\"id\":\"nobody\",\"time\":\"t\",\"firmware_after\":\"a\","
             "\"ending\":\"updated\",\"status\":0}\n";
  garbage += "{\"event\":\"bogus\"}\n";
  garbage += "{\"event\":\"started\",\"id\":\"\xc3\x28\"}\n";  // not UTF-8
  garbage += std::string(5000, '\0') + "\n";
  WriteAll(file, garbage);
  chmod(file.c_str(), 0644);

  HistoryStart hostile = Drive("/dev/sg1", "1:0:0:0");
  hostile.vendor = "\x1b[2J\xff";
  hostile.image = std::string(10000, 'y');
  const HistoryWrite good = BeginRecord(dir, hostile);
  ASSERT_TRUE(good.ok) << good.reason;
  // A status an int cannot hold is no status.
  WriteAll(file, ReadAll(file) + "{\"event\":\"finished\",\"id\":\"" + good.id +
                     "\",\"time\":\"t\",\"firmware_after\":\"a\",\"ending\":\"updated\",\"status\":99999999999}\n");
  ASSERT_TRUE(FinishRecord(dir, good.id, "209B", "updated", 0).ok);
  WriteAll(file, ReadAll(file) + std::string("\x00\x00garbage without end", 21));

  HistoryRead read = ReadHistory(dir);
  ASSERT_TRUE(read.ok) << read.reason;
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(read.records[0].id, good.id);
  EXPECT_EQ(read.records[0].status, 0);
  EXPECT_EQ(read.records[0].start.image.size(), kHistoryMaxField);
  EXPECT_EQ(read.unmatched, 1);
  EXPECT_EQ(read.skipped, 11);
  // Shown to a person, the escape sequence is harmless; as JSON it stays
  // valid UTF-8.
  const std::string table = HistoryTable(read.records);
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
  EXPECT_NE(table.find("\\x1B[2J"), std::string::npos) << table;
  EXPECT_NO_THROW(HistoryJson(read.records).dump());

  // Larger than what is read: the end of the file is read, good records
  // there are kept.
  WriteAll(file, std::string(kHistoryMaxRead + 4096, 'z') + "\n");
  chmod(file.c_str(), 0644);
  ASSERT_TRUE(BeginRecord(dir, Drive("/dev/sg1", "1:0:0:0")).ok);
  read = ReadHistory(dir);
  ASSERT_TRUE(read.ok);
  EXPECT_TRUE(read.cut);
  EXPECT_EQ(read.records.size(), 1u);
}

}  // namespace
