// The command trace: fixed-width lines of hexadecimal bytes, written to a
// log file or appended to the debug window's rich edit control.
#pragma once
#include <cstddef>
#include <cstdint>

// Window-mode output: what the debug window binds. Append() puts text at the
// very end of the control's text (selection to the end, replace selection).
class TraceWindowOutput {
 public:
  virtual ~TraceWindowOutput() = default;
  virtual void Append(const char* text, size_t length) = 0;
};

// File operations of the log file (CreateFileA / WriteFile / CloseHandle on
// Windows). open returns null on failure.
struct TraceFileOps {
  void* (*open)(const char* path);
  bool (*write)(void* file, const void* bytes, size_t length);
  void (*close)(void* file);
};
TraceFileOps& TraceFiles();
// Restores the defaults: open fails, writes fail, close does nothing.
void ResetTraceFiles();

class CommandTrace {
 public:
  static constexpr int kLineWidth = 94;

  // Window form: no control until Bind() is called.
  CommandTrace();
  // File form: opens (creates, empties) the log file; on failure shows
  // "Can not open log file" and later writes silently do nothing.
  explicit CommandTrace(const char* log_path);
  // File form over a log file the program opened itself with TraceFiles()'
  // operations (the Linux program checks the path before the run).
  struct OpenedFile {
    void* handle;
  };
  explicit CommandTrace(OpenedFile file);
  virtual ~CommandTrace();
  CommandTrace(const CommandTrace&) = delete;
  CommandTrace& operator=(const CommandTrace&) = delete;

  // Binds the window output; lines go to it only when class_name is
  // "CRichEditCtrl" (compared over 13 characters). Null unbinds.
  void Bind(TraceWindowOutput* control, const char* class_name);

  void WriteLine(const char* label, const void* bytes, int n, bool with_chars);
  void WriteEmptyLine();
  void Close();

  bool to_file() const { return to_file_; }
  // True when lines reach somewhere: an open file, or a bound rich edit control.
  bool writable() const;

 private:
  TraceWindowOutput* control_ = nullptr;
  char control_class_[32] = {};
  char line_[kLineWidth + 1];
  bool to_file_ = false;
  void* file_ = nullptr;
};

// The transports' entry point: the trace sink when the trace is on and a
// sink exists, else nullptr (write nothing).
CommandTrace* ActiveTrace();

// Traces one command attempt through ActiveTrace() (nothing when it is
// null): the 16 CDB bytes, the 1-byte status, the first 16 bytes of the data
// buffer when there is one (zeros beyond data_length; with the character
// column when data_with_chars), the first 16 sense bytes, two empty lines.
void TraceAttempt(const uint8_t cdb[16], uint8_t status, const void* data, uint32_t data_length,
                  bool data_with_chars, const uint8_t* sense16);
