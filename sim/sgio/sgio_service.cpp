#include "sim/sgio/sgio_service.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "base/scsi_status.h"
#include "sim/sim_drive.h"

namespace {

// Host and driver values of the Linux SCSI mid-layer (scsi/scsi.h, linux/scsi.h).
constexpr uint16_t kDidTimeOut = 0x03;
constexpr uint16_t kDriverTimeout = 0x06;
constexpr uint16_t kDriverSense = 0x08;
constexpr uint32_t kSgDefaultTimeoutMs = 60000;
constexpr size_t kSenseBytes = 18;

const char* DirectionName(int direction) {
  switch (direction) {
    case SG_DXFER_NONE: return "none";
    case SG_DXFER_TO_DEV: return "out";
    case SG_DXFER_FROM_DEV: return "in";
    case SG_DXFER_TO_FROM_DEV: return "inout";
  }
  return "?";
}

// Why the sg driver would refuse the request before it reaches a device; 0
// when it is well formed.
int Malformed(const sg_io_hdr_t& hdr) {
  if (hdr.interface_id != 'S') return ENOSYS;
  if (!hdr.cmdp) return EFAULT;
  if (hdr.cmd_len < 6 || hdr.cmd_len > 16) return EINVAL;
  if (hdr.iovec_count != 0) return EINVAL;  // scatter lists are not served
  switch (hdr.dxfer_direction) {
    case SG_DXFER_NONE: case SG_DXFER_TO_DEV: case SG_DXFER_FROM_DEV: case SG_DXFER_TO_FROM_DEV: break;
    default: return EINVAL;
  }
  if (hdr.dxfer_len > 0 && hdr.dxfer_direction != SG_DXFER_NONE && !hdr.dxferp) return EFAULT;
  if (hdr.mx_sb_len > 0 && !hdr.sbp) return EFAULT;
  return 0;
}

SimDirection DirectionOf(const sg_io_hdr_t& hdr) {
  if (hdr.dxfer_len == 0) return SimDirection::None;
  switch (hdr.dxfer_direction) {
    case SG_DXFER_TO_DEV: return SimDirection::Out;
    case SG_DXFER_FROM_DEV: case SG_DXFER_TO_FROM_DEV: return SimDirection::In;
    default: return SimDirection::None;
  }
}

std::string Head(size_t index, const SimDriveConfig* drive, const sg_io_hdr_t& hdr) {
  std::string s = "sgio dev=" + std::to_string(index);
  if (drive) {
    s += " ha=" + std::to_string(drive->adapter) + " target=" + std::to_string(drive->target) +
         " lun=" + std::to_string(drive->lun);
  }
  s += std::string(" dir=") + DirectionName(hdr.dxfer_direction) + " length=" + std::to_string(hdr.dxfer_len) +
       " timeout=" + std::to_string(hdr.timeout) + " mx_sb_len=" + std::to_string(hdr.mx_sb_len) + " cdb=";
  // Only a CDB of a length the driver accepts is read.
  if (!hdr.cmdp || hdr.cmd_len < 6 || hdr.cmd_len > 16) return s + "-";
  uint8_t cdb[12] = {};
  std::memcpy(cdb, hdr.cmdp, hdr.cmd_len < 12 ? hdr.cmd_len : 12);
  return s + SimHexBytes(cdb, 12);
}

std::string Tail(const sg_io_hdr_t& hdr, const uint8_t* sense) {
  return " scsi=" + SimHex2(hdr.status) + " sense=" + SimHex2(sense[12]) + SimHex2(sense[13]) +
         " resid=" + std::to_string(hdr.resid) + " sb=" + std::to_string(hdr.sb_len_wr) +
         " host=" + SimHex2(hdr.host_status) + " driver=" + SimHex2(hdr.driver_status);
}

}  // namespace

void SgioService::DefaultSleep(uint32_t ms) {
  timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint32_t SgioService::DefaultNow() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000u + now.tv_nsec / 1000000);
}

int SgioService::Serve(size_t index, sg_io_hdr_t* hdr, int* error) {
  int ignored = 0;
  int& why = error ? *error : ignored;
  if (!hdr) {
    why = EFAULT;
    return -1;
  }
  SimDriveConfig* drive = index < config_.drives.size() ? config_.drives[index].get() : nullptr;
  if (const int bad = Malformed(*hdr)) {
    log_.Line(Head(index, drive, *hdr) + " result=" + SgioErrnoName(bad));
    why = bad;
    return -1;
  }
  if (!drive) {
    log_.Line(Head(index, nullptr, *hdr) + " result=ENXIO");
    why = ENXIO;
    return -1;
  }

  const uint32_t started = now_ms();
  const uint32_t timeout = hdr->timeout ? hdr->timeout : kSgDefaultTimeoutMs;
  uint8_t cdb[16] = {};
  std::memcpy(cdb, hdr->cmdp, hdr->cmd_len);
  const uint32_t delay = drive->DelayFor(cdb);

  // The outcome fields every answer sets (a refused call sets none).
  auto clear = [hdr] {
    hdr->status = 0;
    hdr->masked_status = 0;
    hdr->msg_status = 0;
    hdr->sb_len_wr = 0;
    hdr->host_status = 0;
    hdr->driver_status = 0;
    hdr->resid = 0;
    hdr->info = 0;
  };
  auto time_out = [&](const char* note) {
    clear();
    sleep_ms(timeout);
    hdr->host_status = kDidTimeOut;
    hdr->driver_status = kDriverTimeout;
    hdr->info = SG_INFO_CHECK;
    hdr->resid = static_cast<int>(hdr->dxfer_len);
    hdr->duration = timeout;
    const uint8_t none[kSenseBytes] = {};
    log_.Line(Head(index, drive, *hdr) + " result=ETIMEDOUT" + Tail(*hdr, none) + note);
    why = ETIMEDOUT;
    return -1;
  };
  if (delay > timeout) return time_out(" late");

  SimRequest request;
  request.cdb = cdb;
  request.cdb_bytes = static_cast<uint8_t>(hdr->cmd_len < 12 ? hdr->cmd_len : 12);  // SG_IO delivers them all
  request.direction = DirectionOf(*hdr);
  request.buffer = request.direction == SimDirection::None ? nullptr : hdr->dxferp;
  request.length = request.direction == SimDirection::None ? 0 : hdr->dxfer_len;
  request.pass_through = true;
  request.flags = static_cast<uint8_t>(-hdr->dxfer_direction);
  const SimReply reply = drive->sim->Execute(request);

  if (reply.outcome == SimOutcome::Rejected) {
    log_.Line(Head(index, drive, *hdr) + " result=EIO");
    why = EIO;
    return -1;
  }
  if (reply.outcome == SimOutcome::NoCompletion) {
    // Carried out with its completion lost: the flash it programmed is kept.
    if (SimDrive::Classify(cdb) == SimKind::UpdateFirmware) {
      const std::string saved = SaveSimFlash(*drive, config_.out_dir, '/');
      if (!saved.empty()) log_.Line(saved);
    }
    return time_out(" never");
  }

  clear();
  if (delay) sleep_ms(delay);
  if (reply.scsi_status == 0) {
    hdr->resid = static_cast<int>(hdr->dxfer_len - (request.length ? reply.transferred : 0));
  } else {
    hdr->status = reply.scsi_status;
    hdr->masked_status = static_cast<unsigned char>((reply.scsi_status >> 1) & 0x7F);
    hdr->resid = static_cast<int>(hdr->dxfer_len);
    hdr->info = SG_INFO_CHECK;
    if (reply.scsi_status == kScsiStatusCheckCondition) {
      hdr->driver_status = kDriverSense;
      const size_t n = hdr->mx_sb_len < kSenseBytes ? hdr->mx_sb_len : kSenseBytes;
      if (n) std::memcpy(hdr->sbp, reply.sense, n);
      hdr->sb_len_wr = static_cast<unsigned char>(n);
    }
  }
  hdr->duration = now_ms() - started;

  if (SimDrive::Classify(cdb) == SimKind::UpdateFirmware) {
    const std::string saved = SaveSimFlash(*drive, config_.out_dir, '/');
    if (!saved.empty()) log_.Line(saved);
  }
  log_.Line(Head(index, drive, *hdr) + " result=" + SimHex2(reply.scsi_status == 0 ? 0x01 : 0x04) +
            Tail(*hdr, reply.sense) + (delay ? " delay=" + std::to_string(delay) : std::string()));
  return 0;
}

std::string SgioErrnoName(int error) {
  switch (error) {
    case EIO: return "EIO";
    case ETIMEDOUT: return "ETIMEDOUT";
    case ENXIO: return "ENXIO";
    case EINVAL: return "EINVAL";
    case EFAULT: return "EFAULT";
    case ENOSYS: return "ENOSYS";
  }
  return "errno" + std::to_string(error);
}
