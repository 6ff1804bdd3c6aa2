// The configuration file of the simulated drives, shared by every service
// that carries commands to them (the ASPI library, the SG_IO services, the
// kernel target handler): one parser, one meaning for every setting.
//
// One setting per line; blank lines and lines starting with '#' are ignored.
// TEXT is the rest of the line; double quotes keep leading and trailing
// spaces.
//
//   adapters N            number of host adapters (default: highest adapter
//                         of any drive + 1, at least 1; 0 = none)
//   support HH            status byte of the ASPI support query (hex, 01)
//   log PATH              wire log (the environment variable FWSIM_LOG wins)
//   out DIR               folder for flashed images (FWSIM_OUT wins)
//   abort honour|ignore   ignore: abort requests fail (ASPI)
//   drive A T L           starts a drive at adapter A, target T, LUN L; the
//                         settings below apply to the latest drive
//     type N              peripheral device type (default 5, CD-ROM)
//     vendor/product/revision TEXT   INQUIRY fields (8 / 16 / 4 characters)
//     model/version TEXT  Identify Model fields (10 / 4 characters)
//     delay MS            every command completes MS ms after it was sent
//     fault KIND NTH COUNT ACTION [ARG]
//                         on the NTH command of KIND (counting from 1; every
//                         attempt counts) and the COUNT-1 after it:
//                           check HHHH | corrupt | reject | never | short |
//                           lost (carried out, but never completes) | async MS |
//                           keep (Update Firmware answers GOOD, the flash keeps
//                           the old firmware)
//                         KIND: inquiry identify write read update other
//
// Lines that are not understood become "config error: line N: ..." texts in
// `errors` and are skipped.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_drive.h"

// "Complete the NTH matching command (and COUNT-1 after it) MS ms late."
struct SimAsyncRule {
  SimKind kind = SimKind::Other;
  uint32_t nth = 1;
  uint32_t count = 1;
  uint32_t ms = 0;
  uint32_t seen = 0;
};

struct SimDriveConfig {
  uint8_t adapter = 0, target = 0, lun = 0, type = 5;
  uint32_t delay_ms = 0;
  std::vector<SimAsyncRule> async;
  std::unique_ptr<SimDrive> sim = std::make_unique<SimDrive>();
  int flashes_saved = 0;

  // The delay of this command (counts it against the async rules).
  uint32_t DelayFor(const uint8_t* cdb);
};

struct SimConfig {
  int adapters = 0;
  uint8_t support_status = 1;
  bool ignore_abort = false;
  std::string log_path, out_dir;
  std::vector<std::unique_ptr<SimDriveConfig>> drives;
  std::vector<std::string> errors;

  SimDriveConfig* Find(uint8_t adapter, uint8_t target, uint8_t lun);
};

// Parses the text of a configuration file into config (which starts empty).
void ParseSimConfig(const std::string& text, SimConfig& config);

// Reads the configuration the way every service does: path empty gives one
// default drive at 0/0/0; a file that cannot be read gives no adapter and an
// error. env_log and env_out (the FWSIM_LOG and FWSIM_OUT values, may be
// empty) win over the file's log and out.
void LoadSimConfig(const std::string& path, const std::string& env_log, const std::string& env_out,
                   SimConfig& config);

// The wire log: one line per request, flushed at once. Quiet when closed.
class SimWireLog {
 public:
  SimWireLog() = default;
  ~SimWireLog();
  SimWireLog(const SimWireLog&) = delete;
  SimWireLog& operator=(const SimWireLog&) = delete;
  bool Open(const std::string& path);
  void Line(const std::string& line);
  bool is_open() const { return file_ != nullptr; }

 private:
  void* file_ = nullptr;  // FILE*
};

// After an Update Firmware: writes the drive's new flash contents to
// OUT<sep>flash-A-T-N.bin (N the drive's count of updates so far). Returns
// an error text for the wire log, or "" (also when there is nothing new or
// no folder).
std::string SaveSimFlash(SimDriveConfig& drive, const std::string& out_dir, char separator);

// Hex helpers shared by the wire logs.
std::string SimHex2(unsigned value);
std::string SimHexBytes(const uint8_t* bytes, size_t n);
