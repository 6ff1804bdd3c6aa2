// The command trace writer: one 94-character line per group of up to 16
// bytes, sent to the log file or appended to the debug window's control.
#include "scsi/trace.h"

#include <cstdio>
#include <cstring>

#include "base/app_state.h"
#include "base/host.h"

namespace {

constexpr int kHexColumn = 22;
constexpr int kCharColumn = 76;
constexpr int kGroup = 16;
constexpr const char kRichEditClass[] = "CRichEditCtrl";
constexpr size_t kRichEditClassLength = 13;
constexpr const char kCrLf[] = "\r\n";

void* NoOpen(const char*) { return nullptr; }
bool NoWrite(void*, const void*, size_t) { return false; }
void NoClose(void*) {}

TraceFileOps g_files{NoOpen, NoWrite, NoClose};

bool Printable(uint8_t b) { return b >= 0x20 && b <= 0x7D; }

}  // namespace

TraceFileOps& TraceFiles() { return g_files; }
void ResetTraceFiles() { g_files = TraceFileOps{NoOpen, NoWrite, NoClose}; }

CommandTrace::CommandTrace() { std::memset(line_, ' ', kLineWidth); line_[kLineWidth] = '\0'; }

CommandTrace::CommandTrace(const char* log_path) : CommandTrace() {
  to_file_ = true;
  file_ = (log_path && g_files.open) ? g_files.open(log_path) : nullptr;
  if (!file_ && Host().message_box) Host().message_box("Can not open log file");
}

CommandTrace::CommandTrace(OpenedFile file) : CommandTrace() {
  to_file_ = true;
  file_ = file.handle;
}

CommandTrace::~CommandTrace() {
  // The transports reach the writer only through the state's sink: a
  // destroyed writer must not stay there.
  if (AppState().trace_sink == this) AppState().trace_sink = nullptr;
  Close();
}

void CommandTrace::Bind(TraceWindowOutput* control, const char* class_name) {
  control_ = control;
  std::memset(control_class_, 0, sizeof control_class_);
  if (control && class_name) std::strncpy(control_class_, class_name, sizeof control_class_ - 1);
}

bool CommandTrace::writable() const {
  if (to_file_) return file_ != nullptr;
  return control_ != nullptr &&
         std::strncmp(control_class_, kRichEditClass, kRichEditClassLength) == 0;
}

void CommandTrace::WriteLine(const char* label, const void* bytes, int n, bool with_chars) {
  std::memset(line_, ' ', kLineWidth);
  if (label) {
    // A label never reaches into the hex field.
    for (int i = 0; i < kHexColumn && label[i] != '\0'; ++i) line_[i] = label[i];
  }
  if (n <= 0 || bytes == nullptr) return;

  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  for (int start = 0; start < n; start += kGroup) {
    const int count = (n - start < kGroup) ? n - start : kGroup;
    char chars[kGroup];
    std::memset(chars, ' ', sizeof chars);
    for (int i = 0; i < count; ++i) {
      static const char kHex[] = "0123456789ABCDEF";
      const uint8_t b = p[start + i];
      char* at = line_ + kHexColumn + 3 * i;
      at[0] = kHex[b >> 4];
      at[1] = kHex[b & 0x0F];
      at[2] = ' ';
      chars[i] = Printable(b) ? static_cast<char>(b) : '.';
    }
    if (with_chars) std::memcpy(line_ + kCharColumn, chars, sizeof chars);
    line_[kLineWidth - 2] = '\r';
    line_[kLineWidth - 1] = '\n';

    if (to_file_) {
      if (file_ && g_files.write) g_files.write(file_, line_, kLineWidth);
    } else if (writable()) {
      // The line up to and including the space that ends the hex field.
      control_->Append(line_, static_cast<size_t>(kHexColumn + 3 * count));
      control_->Append(kCrLf, 2);
    }
    std::memset(line_, ' ', kLineWidth);
  }
}

void CommandTrace::WriteEmptyLine() {
  if (to_file_) {
    if (file_ && g_files.write) g_files.write(file_, kCrLf, 2);
  } else if (writable()) {
    control_->Append(kCrLf, 2);
  }
}

void CommandTrace::Close() {
  if (file_) {
    if (g_files.close) g_files.close(file_);
    file_ = nullptr;
  }
}

CommandTrace* ActiveTrace() {
  UpdateState& state = AppState();
  return (state.trace_on && state.trace_sink) ? state.trace_sink : nullptr;
}

void TraceAttempt(const uint8_t cdb[16], uint8_t status, const void* data, uint32_t data_length,
                  bool data_with_chars, const uint8_t* sense16) {
  CommandTrace* trace = ActiveTrace();
  if (!trace) return;
  uint8_t zeros[kGroup] = {};
  trace->WriteLine("Command       : ", cdb ? cdb : zeros, kGroup, false);
  trace->WriteLine("ASPI Status   : ", &status, 1, false);
  if (data) {
    // Never read past the caller's buffer: a short buffer is shown padded.
    uint8_t head[kGroup] = {};
    std::memcpy(head, data, data_length < kGroup ? data_length : kGroup);
    trace->WriteLine("DataBuf       : ", head, kGroup, data_with_chars);
  }
  trace->WriteLine("Sense Code    : ", sense16 ? sense16 : zeros, kGroup, false);
  trace->WriteEmptyLine();
  trace->WriteEmptyLine();
}
