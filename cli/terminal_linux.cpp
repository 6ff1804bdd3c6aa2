#include "cli/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/interruptions.h"

namespace {

constexpr int kBarWidth = 40;
constexpr char kBold[] = "\033[1;31m";
constexpr char kPlain[] = "\033[0m";
constexpr char kClearLine[] = "\r\033[K";
constexpr char kUp[] = "\033[1A";
// The longest answer line that counts as one.
constexpr size_t kAnswerLength = 63;

}  // namespace

const char Terminal::kWarning[] = "WARNING!! THIS PROGRAM IS PROCESSING. PLESASE DON'T TURN POWER OFF";
const char Terminal::kCannotCancel[] =
    "The update cannot be cancelled: it goes on until the drive has taken its new firmware.";

std::string MessageLines(const std::string& text) {
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines += text[i];
  }
  const size_t start = lines.find_first_not_of("\r\n ");
  if (start == std::string::npos) return "";
  const size_t end = lines.find_last_not_of("\r\n");
  return lines.substr(start, end + 1 - start);
}

namespace {

// Length of the UTF-8 sequence at text[i] that stands for a character a
// terminal shows as it is (from U+00A0, no bidirectional override or
// isolate); 0 when there is none.
size_t ShownSequence(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned lead = byte(i);
  size_t length;
  uint32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < shortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  if (code < 0xA0) return 0;                                     // C1 controls
  if ((code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)) return 0;
  return length;
}

}  // namespace

std::string Harmless(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c >= 0x20 && c < 0x7F)) {
      shown += static_cast<char>(c);
      ++i;
      continue;
    }
    const size_t sequence = ShownSequence(text, i);
    if (sequence > 0) {
      shown.append(text, i, sequence);
      i += sequence;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    shown += escaped;
    ++i;
  }
  return shown;
}

bool ReadAnswerLine(FILE* in, size_t max_length, std::string* line, bool* too_long) {
  line->clear();
  *too_long = false;
  if (!in) return false;
  bool any = false;
  for (;;) {
    const int c = std::fgetc(in);
    if (c == EOF) return any;
    any = true;
    if (c == '\n') return true;
    if (line->size() < max_length) {
      line->push_back(static_cast<char>(c));
    } else {
      *too_long = true;
    }
  }
}

Terminal::Terminal(FILE* out, FILE* err, bool fancy, int progress_total)
    : out_(out), err_(err), fancy_(fancy), total_(progress_total > 0 ? progress_total : 1) {}

void Terminal::Say(const std::string& text) {
  std::fprintf(out_, "%s\n", Harmless(MessageLines(text)).c_str());
  std::fflush(out_);
}

void Terminal::Complain(const std::string& text) {
  std::fflush(out_);
  std::fprintf(err_, "%s\n", Harmless(MessageLines(text)).c_str());
  std::fflush(err_);
}

int Terminal::Width() const {
  struct winsize size = {};
  if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

void Terminal::BeginTransfer() {
  position_ = 0;
  status_.clear();
  if (fancy_) {
    std::fprintf(out_, "%s%s%s\n", kBold, kWarning, kPlain);
    drawing_ = true;
    Draw();
  } else {
    std::fprintf(out_, "%s\n", kWarning);
    std::fflush(out_);
  }
}

void Terminal::EndTransfer() {
  Tick();
  if (fancy_ && drawing_) std::fprintf(out_, "\n\n");
  drawing_ = false;
  std::fflush(out_);
}

// The bar on this line, the status on the next; the cursor stays at the
// start of the bar's line.
void Terminal::Draw() {
  if (!fancy_ || !drawing_) return;
  int filled = position_ * kBarWidth / total_;
  if (filled < 0) filled = 0;
  if (filled > kBarWidth) filled = kBarWidth;
  const int percent = position_ * 100 / total_;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '-');
  std::string status = status_;
  const size_t room = static_cast<size_t>(Width() - 1);
  if (status.size() > room) status.resize(room);
  std::fprintf(out_, "%s[%s] %3d%%\n%s%s%s\r", kClearLine, bar.c_str(), percent, kClearLine, status.c_str(), kUp);
  std::fflush(out_);
}

void Terminal::Note(const std::string& line) {
  if (fancy_ && drawing_) {
    // The note goes where the warning stood; warning and bar follow below.
    std::fprintf(out_, "%s%s%s\n%s%s%s%s\n", kUp, kClearLine, Harmless(line).c_str(), kClearLine, kBold, kWarning,
                 kPlain);
    Draw();
  } else {
    std::fprintf(out_, "%s\n", Harmless(line).c_str());
    std::fflush(out_);
  }
}

void Terminal::SetStatus(const char* text) {
  Tick();
  status_ = Harmless(text ? text : "");
  if (fancy_) {
    Draw();
  } else {
    // Plain lines go out as the stream buffers them (a pipe or a file); the
    // end of the transfer and every note flush them.
    std::fprintf(out_, "%s\n", status_.c_str());
  }
}

void Terminal::SetPosition(int position) {
  Tick();
  position_ = position;
  Draw();
}

void Terminal::Tick() {
  const int caught = HeldSignalCount();
  if (caught > signals_told_) {
    signals_told_ = caught;
    Note(kCannotCancel);
  } else if (caught < signals_told_) {
    signals_told_ = caught;  // a new stretch started counting afresh
  }
}

bool Terminal::AskYesNo(const std::string& question, bool assume_yes, FILE* in) {
  std::fprintf(out_, "%s [y/N] ", Harmless(question).c_str());
  if (assume_yes) {
    std::fprintf(out_, "y\n");
    std::fflush(out_);
    return true;
  }
  std::fflush(out_);
  std::string line;
  bool too_long = false;
  if (!ReadAnswerLine(in, kAnswerLength, &line, &too_long)) {
    std::fprintf(out_, "\n");
    return false;
  }
  if (too_long) return false;
  const size_t start = line.find_first_not_of(" \t");
  return start != std::string::npos && (line[start] == 'y' || line[start] == 'Y');
}

int Terminal::AskNumber(const std::string& prompt, int count, FILE* in) {
  std::fprintf(out_, "%s [1-%d] ", Harmless(prompt).c_str(), count);
  std::fflush(out_);
  std::string line;
  bool too_long = false;
  if (!ReadAnswerLine(in, kAnswerLength, &line, &too_long)) {
    std::fprintf(out_, "\n");
    return 0;
  }
  if (too_long) return 0;
  const char* text = line.c_str();
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  while (end && (*end == ' ' || *end == '\t' || *end == '\r')) ++end;
  if (errno != 0 || !end || *end != '\0' || end == text || n < 1 || n > count) return 0;
  return static_cast<int>(n);
}
