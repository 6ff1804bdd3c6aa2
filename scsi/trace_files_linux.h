#pragma once
// Binds the trace's log-file operations to open(2), write(2) and close(2).
void InstallPosixTraceFiles();
