// The messages that end an update run after the transfer: the finish form
// for a drive that took its new firmware, the error box for every other
// result.
#pragma once
#include <cstdint>
#include <string>

// The message dialog's kinds and icons.
constexpr int kMessageKindFinish = 1;
constexpr int kMessageKindError = 2;
constexpr int kMessageKindVersion = 3;
constexpr int kMessageIconProgram = 128;
constexpr int kMessageIconWarning = 139;
constexpr int kMessageIconError = 140;
constexpr int kMessageIconFinish = 141;

struct RunReport {
  std::string text;
  int kind;  // 1 finish, 2 error (the message dialog's kinds)
  int icon;  // 141 finish form with the reboot offer, 140 error
};

// The report for a transfer result: 0 the success text with the reboot
// offer; 1 to 4 their error lines; any other value an error box holding only
// a line break.
RunReport ReportForResult(uint8_t result);
