// Reads the version record of an executable file (the Win32 version API).
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

class VersionReader {
 public:
  static constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;

  VersionReader();
  ~VersionReader() = default;
  VersionReader(const VersionReader&) = delete;
  VersionReader& operator=(const VersionReader&) = delete;

  // Reads the record of file_name. True when it was read and its root block
  // carries the fixed-information signature. Every call zeroes the fixed
  // information first; the language and code page are those of the first
  // entry of the translation list (0 and 0 when it has none).
  bool Load(const char* file_name);

  // The value of key in the string table of the stored language and code
  // page, or "" when there is none (or no record was read).
  std::string GetString(const char* key) const;

  const VS_FIXEDFILEINFO& fixed_info() const { return fixed_info_; }
  uint16_t language() const { return language_; }
  uint16_t code_page() const { return code_page_; }

 private:
  VS_FIXEDFILEINFO fixed_info_;
  std::unique_ptr<uint8_t[]> version_data_;
  uint32_t version_size_ = 0;
  uint16_t language_ = 0;
  uint16_t code_page_ = 0;
};

// The version caption of an executable: FileDescription, one blank,
// ProductVersion (a missing value gives an empty part; the blank stays).
std::string ReadVersionCaption(const char* file_name);
