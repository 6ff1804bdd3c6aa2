// The log file of the command trace on Windows.
#pragma once

// Binds TraceFiles() to CreateFileA (GENERIC_WRITE, FILE_SHARE_READ,
// CREATE_ALWAYS, FILE_FLAG_RANDOM_ACCESS), WriteFile and CloseHandle.
void InstallWin32TraceFiles();
