// Binds the portable core's seams to the desktop.
#pragma once
#include <string>

#include "base/payload.h"

// Host(): Sleep, a standard OK message box captioned with the application's
// name, and the Yes/No question with the question icon.
void InstallWin32Host();

// Split mode's output files: CreateFileA (replacing any file of that name),
// WriteFile of the whole buffer, CloseHandle.
const SplitFileOps& Win32SplitFileOps();

// The module file name of the running program (never argument 0, which
// holds no directory when the program was found through the search path).
std::string ModuleFileName();
