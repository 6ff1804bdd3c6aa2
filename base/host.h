// Narrow seams through which the portable core reaches the desktop:
// sleeping, standard message boxes and the Yes/No question.
// The Windows program binds the real calls at start-up; tests bind fakes.
#pragma once
#include <cstdint>

struct HostSeams {
  // Blocks the calling thread for ms milliseconds.
  void (*sleep_ms)(uint32_t ms);
  // A standard message box with only an OK button (no caption of its own).
  void (*message_box)(const char* text);
  // A standard Yes/No message box with the question icon; true for Yes.
  bool (*ask_yes_no)(const char* text, const char* caption);
  // Called with true before the first buffer command and with false once the
  // wait after Update Firmware has ended (or the transfer stopped), on the
  // transfer's own thread: nothing may interrupt what lies between, so the
  // front end keeps the computer from sleeping meanwhile.
  void (*update_guard)(bool active);
};

// The process-wide seams. Defaults do nothing (sleep returns at once,
// messages vanish, questions are answered No).
HostSeams& Host();
// Restores the defaults.
void ResetHost();
