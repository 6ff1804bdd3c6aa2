#include "app/version_reader_win32.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "app/cmdline.h"

VersionReader::VersionReader() { std::memset(&fixed_info_, 0, sizeof fixed_info_); }

bool VersionReader::Load(const char* file_name) {
  std::memset(&fixed_info_, 0, sizeof fixed_info_);
  // A second load must not look up strings in the previous file's record.
  version_data_.reset();
  version_size_ = 0;
  language_ = 0;
  code_page_ = 0;

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file_name, &ignored);
  if (size == 0) return false;

  version_data_.reset(new (std::nothrow) uint8_t[size]());
  if (!version_data_) return false;
  version_size_ = size;
  if (!GetFileVersionInfoA(file_name, 0, size, version_data_.get())) {
    // Strings must come out empty after a failed read.
    version_data_.reset();
    version_size_ = 0;
    return false;
  }

  void* root = nullptr;
  UINT root_length = 0;
  if (!VerQueryValueA(version_data_.get(), "\\", &root, &root_length) || root == nullptr) return false;
  std::memcpy(&fixed_info_, root, root_length < sizeof fixed_info_ ? root_length : sizeof fixed_info_);

  void* translation = nullptr;
  UINT translation_length = 0;
  if (VerQueryValueA(version_data_.get(), "\\VarFileInfo\\Translation", &translation, &translation_length) &&
      translation != nullptr && translation_length > 3) {
    uint32_t entry = 0;
    std::memcpy(&entry, translation, sizeof entry);
    language_ = static_cast<uint16_t>(entry & 0xFFFFu);
    code_page_ = static_cast<uint16_t>(entry >> 16);
  }
  return fixed_info_.dwSignature == kFixedInfoSignature;
}

std::string VersionReader::GetString(const char* key) const {
  std::string result;
  if (!version_data_ || key == nullptr) return result;
  // The key is ours (two fixed names), but a long one must not overrun.
  if (std::strlen(key) > 200) return result;
  char sub_block[256];
  std::snprintf(sub_block, sizeof sub_block, "\\StringFileInfo\\%04x%04x\\%s", language_, code_page_, key);
  void* value = nullptr;
  UINT value_length = 0;
  if (VerQueryValueA(version_data_.get(), sub_block, &value, &value_length) && value != nullptr) {
    // The text ends at its terminator. Never read past the record (the value
    // lies inside it) or, should it lie elsewhere, past the reported length.
    const char* text = static_cast<const char*>(value);
    const char* begin = reinterpret_cast<const char*>(version_data_.get());
    const char* end = begin + version_size_;
    const size_t limit = (text >= begin && text < end) ? static_cast<size_t>(end - text) : value_length;
    size_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    result.assign(text, n);
  }
  return result;
}

std::string ReadVersionCaption(const char* file_name) {
  VersionReader reader;
  reader.Load(file_name);  // a missing record leaves both strings empty
  return VersionCaption(reader.GetString("FileDescription"), reader.GetString("ProductVersion"));
}
