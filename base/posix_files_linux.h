// Files the Linux program writes (the trace log, split mode's images). It
// runs as root, so a path it is given may have been prepared by someone else:
// no output is opened through a symbolic link it ends in, none is a FIFO, a
// device or a socket, the log is emptied only once it is known to be a plain
// file, and an image file appears whole or not at all. A file is an opaque
// handle, null when it could not be created.
#pragma once
#include <cstddef>
#include <string>

#include "base/payload.h"

// How an output was opened: kOpen, or kRefused (the path is not safe to
// write: nothing was created, emptied or written) or kFailed (the system
// said no); reason says why in words for a person.
struct OutputOpen {
  enum Verdict { kOpen, kRefused, kFailed };
  Verdict verdict = kFailed;
  std::string reason;
};

// The trace log: refuses a symbolic link, anything but a regular file, and a
// file with more than one name (a hard link); creates it when missing. On
// kOpen *file is the handle, the file emptied and in blocking mode.
OutputOpen OpenLogFile(const char* path, void** file);
// Only the handle: null for a refused or failed open.
void* PosixCreateFile(const char* path);
bool PosixWriteFile(void* file, const void* bytes, size_t length);
// True when the file was written whole and is in place.
bool PosixCloseFile(void* file);

// Split mode's directory, opened once without following a symbolic link;
// refused when users other than its owner may write to it and it is not
// sticky. The images then go in through PosixSplitFileOps.
OutputOpen OpenSplitDirectory(const std::string& dir);
// Refuses when one of DIR/Bin@1.bin .. Bin@count.bin is there as anything but
// a regular file (a symbolic link, a FIFO, a device, a directory).
OutputOpen CheckSplitNames(const std::string& dir, int count);
void CloseSplitDirectory();
// Creates "<dir>/<name>" (dir as opened above) as a temporary file in the
// open directory; closing a file written whole renames it over the name,
// anything else removes it again. Without an open directory, creates nothing.
const SplitFileOps& PosixSplitFileOps();
