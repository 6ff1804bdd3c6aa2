// Command line classification and the names derived from the program's path.
#pragma once
#include <string>
#include <vector>

#include "base/app_state.h"

enum class RunMode { VersionDisplay, TraceToFile, TraceToScreen, TraceWithoutSink, SplitMode, NormalRun };

struct CommandLine {
  RunMode mode = RunMode::NormalRun;
  std::string argument1;      // upper-cased
  std::string argument2;      // upper-cased, empty when missing
  std::string raw_argument1;  // as typed
};

// args: the arguments after the program path (later ones are ignored).
CommandLine ClassifyCommandLine(const std::vector<std::string>& args);
// The run's options from a classified command line: the hidden switch
// "/QKV517" (any letter case) offers every image; "/4k", exactly as typed,
// chooses the 4k flash mode. The only place these switches are compared.
UpdateOptions RunOptions(const CommandLine& line);

// Upper-cases narrow text (ASCII letters; other bytes unchanged).
std::string UpperCase(const std::string& text);

// Both take '\' and '/' as path separators.
// The log file path beside the executable: the file-name component's
// extension (from its last '.') replaced by ".log", or ".log" appended when
// the file name has no '.'.
std::string LogFilePath(const std::string& executable_path);
// The directory part of the executable path (up to, not including, its last
// separator); "." when the path has no directory part.
std::string ExecutableDirectory(const std::string& executable_path);

// Multibyte-aware forms: is_lead_byte tells the lead byte of a double-byte
// character in the ANSI code page (IsDBCSLeadByte on Windows); the byte after
// a lead byte is never taken for '\', '/', '.' or a letter. Null means a
// single-byte code page, as the forms above assume.
using LeadByteTest = bool (*)(unsigned char byte);
std::string UpperCase(const std::string& text, LeadByteTest is_lead_byte);
std::string LogFilePath(const std::string& executable_path, LeadByteTest is_lead_byte);
std::string ExecutableDirectory(const std::string& executable_path, LeadByteTest is_lead_byte);

// The version caption from the two strings of the version record.
std::string VersionCaption(const std::string& file_description, const std::string& product_version);
