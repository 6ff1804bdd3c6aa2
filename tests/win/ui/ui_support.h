// Shared by the dialog tests: the program's own resources (loaded as data
// from fwupdate.exe beside the tests), a fresh run state, and helpers.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "base/app_state.h"
#include "base/host.h"
#include "scsi/dispatcher.h"

// fwupdate.exe beside the test executable.
std::string ProgramPath();
// The resource module (fwupdate.exe as data); null when it is missing.
HMODULE ProgramResources();

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  struct DriveSpec {
    const char* product;
    const char* vendor;
    const char* model;     // 10 characters
    const char* firmware;  // 4 characters
  };
  void SetDrives(std::initializer_list<DriveSpec> drives);
  void AddImage(const char* name);

  UpdateState state_;
};

// Handles the calling thread's messages for about ms milliseconds.
void PumpMessages(DWORD ms);

std::string WindowText(HWND window);

// Text colour, background colour and brush that a dialog gives a control for
// one control-colour message (sent with a memory DC).
struct ControlColours {
  COLORREF text;
  COLORREF background;
  HBRUSH brush;
};
ControlColours AskColours(HWND dialog, HWND control, UINT message);
// What the system's default handling gives (for "default" entries).
ControlColours DefaultColours(HWND dialog, HWND control, UINT message);
// The colour of a solid brush.
COLORREF BrushColour(HBRUSH brush);
