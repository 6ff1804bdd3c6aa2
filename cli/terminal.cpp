#include "cli/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "cli/interruptions.h"

namespace {

constexpr int kBarWidth = 40;
constexpr char kBold[] = "\033[1;31m";
constexpr char kPlain[] = "\033[0m";
constexpr char kClearLine[] = "\r\033[K";
constexpr char kUp[] = "\033[1A";

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

Terminal::Terminal(FILE* out, FILE* err, bool fancy, int progress_total)
    : out_(out), err_(err), fancy_(fancy), total_(progress_total > 0 ? progress_total : 1) {}

void Terminal::Say(const std::string& text) {
  std::fprintf(out_, "%s\n", MessageLines(text).c_str());
  std::fflush(out_);
}

void Terminal::Complain(const std::string& text) {
  std::fflush(out_);
  std::fprintf(err_, "%s\n", MessageLines(text).c_str());
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
    std::fprintf(out_, "%s%s%s\n%s%s%s%s\n", kUp, kClearLine, line.c_str(), kClearLine, kBold, kWarning, kPlain);
    Draw();
  } else {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }
}

void Terminal::SetStatus(const char* text) {
  Tick();
  status_ = text ? text : "";
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
  std::fprintf(out_, "%s [y/N] ", question.c_str());
  if (assume_yes) {
    std::fprintf(out_, "y\n");
    std::fflush(out_);
    return true;
  }
  std::fflush(out_);
  char line[64];
  if (!in || !std::fgets(line, sizeof line, in)) {
    std::fprintf(out_, "\n");
    return false;
  }
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  return *p == 'y' || *p == 'Y';
}

int Terminal::AskNumber(const std::string& prompt, int count, FILE* in) {
  std::fprintf(out_, "%s [1-%d] ", prompt.c_str(), count);
  std::fflush(out_);
  char line[64];
  if (!in || !std::fgets(line, sizeof line, in)) {
    std::fprintf(out_, "\n");
    return 0;
  }
  char* end = nullptr;
  const long n = std::strtol(line, &end, 10);
  while (end && (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')) ++end;
  if (!end || *end != '\0' || end == line || n < 1 || n > count) return 0;
  return static_cast<int>(n);
}
