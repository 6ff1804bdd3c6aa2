// The log file of the command trace on Linux.
#include "scsi/trace_files_linux.h"

#include "base/posix_files_linux.h"
#include "scsi/trace.h"

namespace {

void CloseLog(void* file) { PosixCloseFile(file); }

}  // namespace

void InstallPosixTraceFiles() { TraceFiles() = TraceFileOps{PosixCreateFile, PosixWriteFile, CloseLog}; }
