#pragma once
// Binds the trace's log-file operations to the Linux program's output files
// (base/posix_files_linux.h): a log path is opened only by its rules.
void InstallPosixTraceFiles();
