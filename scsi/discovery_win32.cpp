// Transport selection and drive discovery: the NT platform uses the SCSI
// pass-through, every other platform the ASPI library. There is no fallback.
#include "scsi/discovery.h"

#include <cstring>

#include "scsi/dispatcher.h"
#include "scsi/platform_win32.h"

namespace {

constexpr DWORD kOsVersionInfoSize = 148;  // sizeof(OSVERSIONINFOA)
constexpr DWORD kPlatformNt = 2;           // VER_PLATFORM_WIN32_NT

}  // namespace

int DiscoverDrives() {
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = kOsVersionInfoSize;
  // A failed query leaves the platform id 0, which is not the NT platform.
  Platform().GetVersionExA(&version);

  TransportSeams& transports = Transports();
  transports.pass_through_attempt = PassThroughAttempt;
  transports.aspi_attempt = AspiAttempt;

  if (version.dwPlatformId == kPlatformNt) {
    g_pass_through_mode = true;
    return PassThroughEnumerateDrives();
  }
  g_pass_through_mode = false;
  g_drive_table_count = 0;
  return AspiEnumerateDrives();
}
