// SCSI pass-through transport (NT platform): the CD-ROM device interfaces are
// opened once at start-up; each command attempt is one DeviceIoControl
// carrying the CDB, the caller's buffer and a 32-byte sense buffer, built
// from the neutral request and read back into a neutral outcome.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "scsi/dispatcher.h"
#include "scsi/passthrough_win32.h"
#include "scsi/trace.h"
#include "scsi/platform_win32.h"

namespace {

// The size fields SetupAPI checks: the records' sizes on this processor.
constexpr DWORD kInterfaceDataSize = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD kDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
#if defined(_WIN64)
static_assert(kInterfaceDataSize == 32 && kDetailFixedSize == 8, "64-bit SetupAPI records");
#else
static_assert(kInterfaceDataSize == 28 && kDetailFixedSize == 5, "32-bit SetupAPI records");
#endif
// A device path longer than this is not a device path.
constexpr DWORD kMaxDetailSize = 64 * 1024;

// Opens the device path of one interface; INVALID_HANDLE_VALUE when the
// detail record cannot be had or the open fails.
HANDLE OpenInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data) {
  Win32Platform& p = Platform();
  DWORD required = 0;
  p.SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
  if (required < kDetailFixedSize || required > kMaxDetailSize) return INVALID_HANDLE_VALUE;
  // One spare zero byte: the path is terminated even if the record is not.
  char* storage = static_cast<char*>(std::calloc(required + 1, 1));
  if (!storage) return INVALID_HANDLE_VALUE;
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage);
  detail->cbSize = kDetailFixedSize;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (p.SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
    handle = p.CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  std::free(storage);
  return handle;
}

}  // namespace

int PassThroughEnumerateDrives() {
  Win32Platform& p = Platform();
  g_drive_table_count = 0;
  HDEVINFO set = p.SetupDiGetClassDevsA(&kCdromInterfaceGuid, nullptr, nullptr, kCdromInterfaceFlags);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) return 0;

  // Interfaces past the table's room are neither opened nor counted.
  std::vector<SP_DEVICE_INTERFACE_DATA> interfaces;
  interfaces.reserve(16);
  for (DWORD index = 0; interfaces.size() < static_cast<size_t>(kDriveTableSize); ++index) {
    SP_DEVICE_INTERFACE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = kInterfaceDataSize;
    if (!p.SetupDiEnumDeviceInterfaces(set, nullptr, &kCdromInterfaceGuid, index, &data)) break;
    interfaces.push_back(data);
  }

  for (size_t i = 0; i < interfaces.size(); ++i) {
    // An interface that cannot be opened still takes its slot: commands to
    // it are rejected by the system.
    DriveEntry& entry = DriveTable[i];
    std::memset(&entry, 0, sizeof entry);
    HANDLE handle = OpenInterface(set, interfaces[i]);
    if (handle != INVALID_HANDLE_VALUE) entry.device_handle = handle;
  }
  p.SetupDiDestroyDeviceInfoList(set);
  g_drive_table_count = static_cast<uint8_t>(interfaces.size());
  return g_drive_table_count;
}

void BuildPassThroughRequest(const ScsiRequest& request, PassThroughRequest& out) {
  std::memset(&out, 0, sizeof out);
  PassThroughDirect& d = out.sptd;
  d.Length = kPassThroughDirectLength;
  d.CdbLength = request.cdb_length;
  d.SenseInfoLength = sizeof out.sense;
  d.DataIn = request.direction == ScsiDirection::kOut ? kPassThroughDataOut : kPassThroughDataIn;
  d.DataTransferLength = request.data_length;
  d.DataBuffer = request.data_buffer;
  d.SenseInfoOffset = kPassThroughSenseOffset;
  PassThroughCdb(request, d.Cdb);
  d.PathId = g_current_drive.path_id;
  d.TargetId = g_current_drive.target_id;
  d.Lun = g_current_drive.lun;
  d.TimeOutValue = request.timeout_ms / 1000;
}

ScsiOutcome PassThroughOutcome(const PassThroughRequest& answered, bool sent) {
  const PassThroughDirect& d = answered.sptd;
  if (!sent) return LostOutcome();
  if (d.ScsiStatus == kScsiStatusGood) return GoodOutcome(d.DataTransferLength);
  const bool check = d.ScsiStatus == kScsiStatusCheckCondition;
  return DriveStatusOutcome(d.ScsiStatus, answered.sense, check ? sizeof answered.sense : 0);
}

ScsiOutcome PassThroughAttempt(const ScsiRequest& request) {
  PassThroughRequest sptd;
  BuildPassThroughRequest(request, sptd);
  // The system writes back how many bytes moved (none after a CHECK
  // CONDITION); the trace shows the data the attempt went out with.
  DWORD returned = 0;
  const BOOL sent = Platform().DeviceIoControl(g_current_drive.device_handle, kIoctlScsiPassThroughDirect,
                                               &sptd, sizeof sptd, &sptd, sizeof sptd, &returned, nullptr);
  const PassThroughDirect& d = sptd.sptd;
  TraceAttempt(d.Cdb, d.ScsiStatus, d.DataBuffer, request.data_length, false, sptd.sense);
  // A drive whose interface could not be opened has no handle: the system
  // refuses the call without sending anything.
  if (!sent && !g_current_drive.device_handle) return RejectedOutcome();
  return PassThroughOutcome(sptd, sent != FALSE);
}
