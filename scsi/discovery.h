// Transport selection and drive discovery (Windows edge).
#pragma once

// Asks the platform for its version: the NT platform gets pass-through mode
// and the CD-ROM interfaces, every other platform the ASPI library. Binds the
// chosen transport into Transports() and returns the drive count (0..200).
int DiscoverDrives();
