// The messages that end an update run after the transfer: the finish form
// for a drive that took its new firmware, the error box for every other
// result.
#pragma once
#include <cstdint>
#include <string>

#include "base/message_kinds.h"

struct RunReport {
  std::string text;
  MessageKind kind;
  MessageIcon icon;  // Finish: the finish form with the reboot offer
};

// The report for a transfer result: 0 the success text with the reboot
// offer; 1 to 4 their error lines; any other value an error box holding only
// a line break.
RunReport ReportForResult(uint8_t result);
