// What the Linux program shows: on a terminal a progress bar with the status
// text under the standing power warning; without one (a pipe, a log) plain
// lines and no escape codes.
#pragma once
#include <cstdio>
#include <string>

#include "base/app_state.h"

class Terminal : public ProgressSink {
 public:
  // fancy: draw the bar with escape codes (stdout is a terminal).
  Terminal(FILE* out, FILE* err, bool fancy, int progress_total);

  // A line of information (stdout) or of trouble (stderr). Breaks in the
  // text ("\r\n" or "\n") become lines; leading breaks and blanks go.
  void Say(const std::string& text);
  void Complain(const std::string& text);

  // The transfer's display: Begin shows the warning (and reserves the bar's
  // lines), End leaves the last state on screen and goes below it.
  void BeginTransfer();
  void EndTransfer();
  void SetStatus(const char* text) override;
  void SetPosition(int position) override;
  // Called whenever the program wakes while it waits: tells the user
  // once per caught signal that the update cannot be cancelled.
  void Tick();

  // Asks a question ("[y/N]"): true only for an answer starting with y or Y.
  // End of input, and a line longer than any answer, is No. With assume_yes
  // the question is shown answered.
  bool AskYesNo(const std::string& question, bool assume_yes, FILE* in);
  // Asks for a number 1..count; 0 when the answer is not one (or no input).
  int AskNumber(const std::string& prompt, int count, FILE* in);

  static const char kWarning[];
  static const char kCannotCancel[];

 private:
  void Draw();
  void Note(const std::string& line);
  int Width() const;

  FILE* out_;
  FILE* err_;
  bool fancy_;
  bool drawing_ = false;
  int total_;
  int position_ = 0;
  int signals_told_ = 0;
  std::string status_;
};

// Text of a message as lines: "\r\n" and "\n" are line breaks; leading breaks
// and blanks and trailing breaks are dropped.
std::string MessageLines(const std::string& text);

// Text as it may reach the terminal: bytes that could move the cursor, change
// colours or start an escape sequence (control characters other than the line
// break, DEL, C1 controls, bytes that are no UTF-8, and the bidirectional
// overrides) are shown as \xHH. Names from the file or the drive pass
// through here.
std::string Harmless(const std::string& text);

// Reads one answer line from in: at most max_length characters of it are
// kept (without the line break), the rest of the line is read and dropped,
// so a long line never answers the next question too. False at end of input
// before anything was read; *too_long when characters were dropped.
bool ReadAnswerLine(FILE* in, size_t max_length, std::string* line, bool* too_long);
