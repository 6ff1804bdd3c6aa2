// The simulated drive served through Linux SG_IO: one request in, the
// sg_io_hdr filled the way the Linux sg driver fills it. Built for any Linux
// target (i386 for the preload library under Wine, x86_64 for native tests);
// it holds no state of its own, so every service that carries SG_IO to the
// simulated drives shares it.
//
//   SimConfig config;                          // sim/sim_config.h
//   LoadSimConfig(getenv("FWSIM_CONFIG"), getenv("FWSIM_LOG"), getenv("FWSIM_OUT"), config);
//   SimWireLog log;
//   log.Open(config.log_path);
//   SgioService service(config, log);
//   int error = 0;
//   if (service.Serve(0, &hdr, &error) != 0) { errno = error; return -1; }
//
// Drive index i is the i-th `drive` line of the configuration (the same
// order as the interfaces the Wine prefix lists: instance 0, 1, ...).
//
// What a request gets back (fields not named are left as they came):
//
//   outcome                 return  errno      status masked host  driver info resid       sb_len_wr
//   GOOD                    0       -          0      0      0     0      0    len - moved 0
//   CHECK CONDITION         0       -          2      1      0     08     1    len         min(mx_sb_len,18)
//   fault reject            -1      EIO        (request untouched)
//   fault never / too slow  -1      ETIMEDOUT  0      0      03    06     1    len         0
//   no such drive           -1      ENXIO      (request untouched)
//   malformed request       -1      ENOSYS (interface_id not 'S'), EINVAL (cmd_len not 6..16,
//                                   unknown direction, iovec_count not 0), EFAULT (null cmdp,
//                                   null dxferp with dxfer_len, null sbp with mx_sb_len)
//
//  - CHECK CONDITION writes fixed-format sense (18 bytes: [2] key, [12] ASC,
//    [13] ASCQ) to sbp, cut to mx_sb_len; no data moves, so resid is the
//    whole dxfer_len, as an ATAPI bridge reports it.
//  - fault short: GOOD, half the data moved, resid the other half.
//  - fault corrupt: GOOD, one byte wrong in the data returned or kept.
//  - delay / async MS: the call returns MS ms late; if that is beyond the
//    request's time-out it ends as a time-out instead.
//  - A time-out is a failed call (ETIMEDOUT) after hdr->timeout ms (60 s
//    when 0, the sg default). The kernel would return 0 with host_status
//    DID_TIME_OUT; Wine's IOCTL_SCSI_PASS_THROUGH_DIRECT looks only at the
//    return value, status, resid and sb_len_wr, so it would pass that on as
//    success. Both are set: the failure and the time-out status fields.
//  - duration: milliseconds from the call to its answer (a time-out: the
//    time-out).
//  - Vendor CDBs must carry byte 1 = 0Ch (SimRequest::pass_through).
//  - After Update Firmware the new flash image is saved (SaveSimFlash, '/').
//
// Wire log: one line per request, flushed at once:
//   sgio dev=0 ha=0 target=0 lun=0 dir=in length=56 timeout=1000 mx_sb_len=32
//        cdb=12 00 00 00 38 00 00 00 00 00 00 00 result=01 scsi=00 sense=0000 resid=0 sb=0 host=00 driver=00
// result is 01 for GOOD, 04 for CHECK CONDITION, or the errno name of a
// failed call (EIO, ETIMEDOUT, ENXIO, EINVAL, ...). dir is none, in, out or
// inout.
#pragma once
#include <scsi/sg.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/sim_config.h"

class SgioService {
 public:
  // The configuration and the log must outlive the service.
  SgioService(SimConfig& config, SimWireLog& log) : config_(config), log_(log) {}

  // Serves one SG_IO request for drive `drive`. Returns 0 (hdr filled) or -1
  // with *error set to the errno value the ioctl fails with.
  int Serve(size_t drive, sg_io_hdr_t* hdr, int* error);

  // Waits ms milliseconds; tests replace it to keep time-outs instant.
  void (*sleep_ms)(uint32_t ms) = DefaultSleep;
  // Milliseconds on a monotonic clock; tests replace it with the fake one.
  uint32_t (*now_ms)() = DefaultNow;

  static void DefaultSleep(uint32_t ms);
  static uint32_t DefaultNow();

 private:
  SimConfig& config_;
  SimWireLog& log_;
};

// "EIO", "ETIMEDOUT", ... (the number for others).
std::string SgioErrnoName(int error);
