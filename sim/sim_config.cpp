#include "sim/sim_config.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return s.substr(b, e - b);
}

std::string TextValue(const std::string& rest) {
  const std::string t = Trim(rest);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t.substr(1, t.size() - 2);
  return t;
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    size_t j = i;
    while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
    if (j > i) words.push_back(s.substr(i, j - i));
    i = j;
  }
  return words;
}

bool Number(const std::string& word, int base, unsigned long max, unsigned long* out) {
  if (word.empty() || word[0] == '-' || word[0] == '+') return false;
  char* end = nullptr;
  const unsigned long v = std::strtoul(word.c_str(), &end, base);
  if (*end != '\0' || v > max) return false;
  *out = v;
  return true;
}

bool KindOf(const std::string& word, SimKind* kind) {
  static const struct { const char* name; SimKind kind; } kKinds[] = {
      {"inquiry", SimKind::Inquiry}, {"identify", SimKind::IdentifyModel},
      {"write", SimKind::WriteBuffer}, {"read", SimKind::ReadBuffer},
      {"update", SimKind::UpdateFirmware}, {"other", SimKind::Other}};
  for (const auto& k : kKinds) {
    if (word == k.name) {
      *kind = k.kind;
      return true;
    }
  }
  return false;
}

// Applies one "fault" line to a drive; an error text when it is not valid.
std::string ParseFault(const std::vector<std::string>& w, SimDriveConfig& drive) {
  if (w.size() < 5) return "fault needs KIND NTH COUNT ACTION";
  SimKind kind;
  if (!KindOf(w[1], &kind)) return "unknown command kind '" + w[1] + "'";
  unsigned long nth = 0, count = 0;
  if (!Number(w[2], 10, 0xFFFFFFFFul, &nth) || nth == 0) return "NTH must be a number from 1";
  if (!Number(w[3], 10, 0xFFFFFFFFul, &count) || count == 0) return "COUNT must be a number from 1";
  const std::string& action = w[4];
  if (action == "async") {
    unsigned long ms = 0;
    if (w.size() != 6 || !Number(w[5], 10, 600000, &ms)) return "async needs a delay in ms (up to 600000)";
    SimAsyncRule rule;
    rule.kind = kind;
    rule.nth = static_cast<uint32_t>(nth);
    rule.count = static_cast<uint32_t>(count);
    rule.ms = static_cast<uint32_t>(ms);
    drive.async.push_back(rule);
    return "";
  }
  SimFaultRule rule;
  rule.kind = kind;
  rule.nth = static_cast<uint32_t>(nth);
  rule.count = static_cast<uint32_t>(count);
  if (action == "check") {
    unsigned long sense = 0;
    if (w.size() != 6 || !Number(w[5], 16, 0xFFFF, &sense)) return "check needs a 4-digit hex sense code";
    rule.fault = SimFaultKind::CheckCondition;
    rule.sense = static_cast<uint16_t>(sense);
  } else if (action == "corrupt" && w.size() == 5) {
    rule.fault = SimFaultKind::CorruptData;
  } else if (action == "reject" && w.size() == 5) {
    rule.fault = SimFaultKind::OsRejection;
  } else if (action == "never" && w.size() == 5) {
    rule.fault = SimFaultKind::NeverComplete;
  } else if (action == "short" && w.size() == 5) {
    rule.fault = SimFaultKind::ShortTransfer;
  } else if (action == "lost" && w.size() == 5) {
    rule.fault = SimFaultKind::LostCompletion;
  } else if (action == "keep" && w.size() == 5) {
    rule.fault = SimFaultKind::KeepFirmware;
  } else {
    return "unknown fault action '" + action + "'";
  }
  drive.sim->AddFault(rule);
  return "";
}

// One line of the file; an error text when it is not valid.
std::string ParseLine(const std::string& line, SimConfig& config, int* adapters_setting) {
  const std::vector<std::string> w = Words(line);
  const std::string& key = w[0];
  const size_t key_end = line.find(key) + key.size();
  const std::string rest = line.substr(key_end);
  SimDriveConfig* drive = config.drives.empty() ? nullptr : config.drives.back().get();
  unsigned long v = 0;

  if (key == "adapters") {
    if (w.size() != 2 || !Number(w[1], 10, 255, &v)) return "adapters needs a number 0..255";
    *adapters_setting = static_cast<int>(v);
  } else if (key == "support") {
    if (w.size() != 2 || !Number(w[1], 16, 0xFF, &v)) return "support needs a hex status byte";
    config.support_status = static_cast<uint8_t>(v);
  } else if (key == "log") {
    config.log_path = TextValue(rest);
  } else if (key == "out") {
    config.out_dir = TextValue(rest);
  } else if (key == "abort") {
    if (w.size() != 2 || (w[1] != "honour" && w[1] != "ignore")) return "abort is honour or ignore";
    config.ignore_abort = w[1] == "ignore";
  } else if (key == "drive") {
    unsigned long a = 0, t = 0, l = 0;
    if (w.size() != 4 || !Number(w[1], 10, 255, &a) || !Number(w[2], 10, 255, &t) ||
        !Number(w[3], 10, 255, &l))
      return "drive needs ADAPTER TARGET LUN (0..255 each)";
    auto d = std::make_unique<SimDriveConfig>();
    d->adapter = static_cast<uint8_t>(a);
    d->target = static_cast<uint8_t>(t);
    d->lun = static_cast<uint8_t>(l);
    config.drives.push_back(std::move(d));
  } else if (!drive) {
    return "'" + key + "' before the first drive line, or unknown";
  } else if (key == "type") {
    if (w.size() != 2 || !Number(w[1], 10, 31, &v)) return "type needs a number 0..31";
    drive->type = static_cast<uint8_t>(v);
  } else if (key == "vendor") {
    drive->sim->identity().vendor = TextValue(rest);
  } else if (key == "product") {
    drive->sim->identity().product = TextValue(rest);
  } else if (key == "revision") {
    drive->sim->identity().revision = TextValue(rest);
  } else if (key == "model") {
    drive->sim->identity().model = TextValue(rest);
  } else if (key == "version") {
    drive->sim->identity().version = TextValue(rest);
  } else if (key == "delay") {
    if (w.size() != 2 || !Number(w[1], 10, 600000, &v)) return "delay needs ms (up to 600000)";
    drive->delay_ms = static_cast<uint32_t>(v);
  } else if (key == "fault") {
    return ParseFault(w, *drive);
  } else {
    return "unknown setting '" + key + "'";
  }
  return "";
}

void SetAdapters(SimConfig& config, int adapters_setting) {
  if (adapters_setting >= 0) {
    config.adapters = adapters_setting;
    return;
  }
  int highest = 0;
  for (const auto& d : config.drives) highest = d->adapter > highest ? d->adapter : highest;
  config.adapters = highest + 1;
}

}  // namespace

uint32_t SimDriveConfig::DelayFor(const uint8_t* cdb) {
  uint32_t ms = delay_ms;
  const SimKind kind = SimDrive::Classify(cdb);
  for (SimAsyncRule& rule : async) {
    if (rule.kind != kind) continue;
    const uint32_t n = ++rule.seen;
    if (n >= rule.nth && n - rule.nth < rule.count) ms = rule.ms;
  }
  return ms;
}

SimDriveConfig* SimConfig::Find(uint8_t adapter, uint8_t target, uint8_t lun) {
  for (const auto& d : drives)
    if (d->adapter == adapter && d->target == target && d->lun == lun) return d.get();
  return nullptr;
}

void ParseSimConfig(const std::string& text, SimConfig& config) {
  int adapters_setting = -1;
  int number = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    ++number;
    const std::string line = Trim(text.substr(at, end - at));
    at = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const std::string error = ParseLine(line, config, &adapters_setting);
    if (!error.empty()) config.errors.push_back("config error: line " + std::to_string(number) + ": " + error);
  }
  SetAdapters(config, adapters_setting);
}

void LoadSimConfig(const std::string& path, const std::string& env_log, const std::string& env_out,
                   SimConfig& config) {
  if (path.empty()) {
    config.drives.push_back(std::make_unique<SimDriveConfig>());
    SetAdapters(config, -1);
  } else if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    ParseSimConfig(text, config);
  } else {
    config.errors.push_back("config error: cannot read '" + path + "'; no adapter");
    config.adapters = 0;
  }
  if (!env_log.empty()) config.log_path = env_log;
  if (!env_out.empty()) config.out_dir = env_out;
}

SimWireLog::~SimWireLog() {
  if (file_) std::fclose(static_cast<FILE*>(file_));
}

bool SimWireLog::Open(const std::string& path) {
  if (file_) std::fclose(static_cast<FILE*>(file_));
  file_ = path.empty() ? nullptr : std::fopen(path.c_str(), "wb");
  return file_ != nullptr;
}

void SimWireLog::Line(const std::string& line) {
  if (!file_) return;
  FILE* f = static_cast<FILE*>(file_);
  std::fputs(line.c_str(), f);
  std::fputc('\n', f);
  std::fflush(f);
}

std::string SaveSimFlash(SimDriveConfig& drive, const std::string& out_dir, char separator) {
  if (out_dir.empty() || drive.sim->flash_count() == drive.flashes_saved) return "";
  drive.flashes_saved = drive.sim->flash_count();
  const std::string name = out_dir + separator + "flash-" + std::to_string(drive.adapter) + "-" +
                           std::to_string(drive.target) + "-" + std::to_string(drive.flashes_saved) + ".bin";
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return "out error: cannot write '" + name + "'";
  const std::vector<uint8_t>& image = drive.sim->Flashed();
  const bool ok = image.empty() || std::fwrite(image.data(), 1, image.size(), f) == image.size();
  const bool closed = std::fclose(f) == 0;
  return ok && closed ? "" : "out error: cannot write '" + name + "'";
}

std::string SimHex2(unsigned value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s(2, '0');
  s[0] = kDigits[(value >> 4) & 0xF];
  s[1] = kDigits[value & 0xF];
  return s;
}

std::string SimHexBytes(const uint8_t* bytes, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += SimHex2(bytes[i]);
  }
  return s;
}
