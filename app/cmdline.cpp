#include "app/cmdline.h"

namespace {

// Calls visit(index) for the first byte of every character of text.
template <typename Visit>
void ForEachCharacter(const std::string& text, LeadByteTest is_lead_byte, Visit visit) {
  for (size_t i = 0; i < text.size(); ++i) {
    visit(i);
    if (is_lead_byte && is_lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ++i;
  }
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Index one past the last path separator, 0 when there is none.
size_t FileNameStart(const std::string& path, LeadByteTest is_lead_byte) {
  size_t start = 0;
  ForEachCharacter(path, is_lead_byte, [&](size_t i) {
    if (IsSeparator(path[i])) start = i + 1;
  });
  return start;
}

}  // namespace

std::string UpperCase(const std::string& text, LeadByteTest is_lead_byte) {
  std::string upper(text);
  ForEachCharacter(upper, is_lead_byte, [&](size_t i) {
    if (upper[i] >= 'a' && upper[i] <= 'z') upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
  });
  return upper;
}

std::string UpperCase(const std::string& text) { return UpperCase(text, nullptr); }

CommandLine ClassifyCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  if (args.empty()) return line;
  line.raw_argument1 = args[0];
  line.argument1 = UpperCase(args[0]);
  if (args.size() > 1) line.argument2 = UpperCase(args[1]);
  if (line.argument1 == "/VER") {
    line.mode = RunMode::VersionDisplay;
  } else if (line.argument1 == "/LOG") {
    if (line.argument2 == "FILE") {
      line.mode = RunMode::TraceToFile;
    } else if (line.argument2 == "SCR") {
      line.mode = RunMode::TraceToScreen;
    } else {
      line.mode = RunMode::TraceWithoutSink;
    }
  } else if (line.argument1 == "/SPT") {
    line.mode = RunMode::SplitMode;
  }
  return line;
}

UpdateOptions RunOptions(const CommandLine& line) {
  UpdateOptions options;
  options.every_image_offered = line.argument1 == "/QKV517";
  options.flash_mode = line.raw_argument1 == "/4k" ? FlashMode::k4k : FlashMode::kDefault;
  return options;
}

std::string LogFilePath(const std::string& executable_path, LeadByteTest is_lead_byte) {
  const size_t name_start = FileNameStart(executable_path, is_lead_byte);
  size_t dot = std::string::npos;
  ForEachCharacter(executable_path, is_lead_byte, [&](size_t i) {
    if (i >= name_start && executable_path[i] == '.') dot = i;
  });
  return executable_path.substr(0, dot) + ".log";
}

std::string LogFilePath(const std::string& executable_path) { return LogFilePath(executable_path, nullptr); }

std::string ExecutableDirectory(const std::string& executable_path, LeadByteTest is_lead_byte) {
  const size_t name_start = FileNameStart(executable_path, is_lead_byte);
  if (name_start == 0) return ".";
  return executable_path.substr(0, name_start - 1);
}

std::string ExecutableDirectory(const std::string& executable_path) {
  return ExecutableDirectory(executable_path, nullptr);
}

std::string VersionCaption(const std::string& file_description, const std::string& product_version) {
  return file_description + " " + product_version;
}
