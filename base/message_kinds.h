// The kinds and icons of the messages that end a run, shared by the run
// (which chooses them) and the Windows message dialog (which shows them).
#pragma once
#include <cstdint>

// The message dialog's kinds: caption and text colour follow from them.
enum class MessageKind : uint8_t { Finish = 1, Error = 2, Version = 3 };

// The message dialog's icons; each value is the icon's resource ID in the
// program's resources (res/resource.h, checked where both are seen).
enum class MessageIcon : uint16_t {
  Program = 128,  // the program's own icon
  Warning = 139,  // yellow warning triangle
  Error = 140,    // red disc with a white cross
  Finish = 141,   // finish form with the reboot offer
};
