// Files the Linux program writes (the trace log, split mode's images):
// created or emptied with open(2), written whole with write(2). A file is an
// opaque handle, null when it could not be created.
#pragma once
#include <cstddef>

#include "app/payload.h"

void* PosixCreateFile(const char* path);
bool PosixWriteFile(void* file, const void* bytes, size_t length);
void PosixCloseFile(void* file);

// Split mode's output files through the calls above.
const SplitFileOps& PosixSplitFileOps();
