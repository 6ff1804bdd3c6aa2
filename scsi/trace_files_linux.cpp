// The log file of the command trace on Linux.
#include "scsi/trace_files_linux.h"

#include "app/posix_files_linux.h"
#include "scsi/trace.h"

void InstallPosixTraceFiles() { TraceFiles() = TraceFileOps{PosixCreateFile, PosixWriteFile, PosixCloseFile}; }
