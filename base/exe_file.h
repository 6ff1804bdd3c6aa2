// The executable-file abstraction: every payload read goes through one of
// these, so the core never sees an OS file handle.
#pragma once
#include <cstdint>
#include <vector>

class ExeFile {
 public:
  virtual ~ExeFile() = default;
  virtual bool IsOpen() const = 0;
  // File length (low 32 bits, as GetFileSize reports it).
  virtual uint32_t Length() = 0;
  // Absolute positioning; false when the position cannot be set.
  virtual bool Seek(uint32_t position) = 0;
  virtual uint32_t Tell() = 0;
  // Reads up to n bytes at the current position; returns the bytes read.
  virtual uint32_t Read(void* buffer, uint32_t n) = 0;
  virtual void Close() = 0;
};

// An executable file held in memory (tests, host tools).
class MemoryExeFile : public ExeFile {
 public:
  MemoryExeFile() = default;
  explicit MemoryExeFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)), open_(true) {}
  bool IsOpen() const override { return open_; }
  uint32_t Length() override { return static_cast<uint32_t>(bytes_.size()); }
  bool Seek(uint32_t position) override {
    if (!open_ || position > bytes_.size()) return false;
    pos_ = position;
    return true;
  }
  uint32_t Tell() override { return pos_; }
  uint32_t Read(void* buffer, uint32_t n) override;
  void Close() override { open_ = false; }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  uint32_t pos_ = 0;
  bool open_ = false;
};

// Bytes held elsewhere, read like a file; they must outlive the view. The run
// reads its checked copy of the program file through one (PayloadCopy).
class ByteViewFile : public ExeFile {
 public:
  ByteViewFile(const uint8_t* bytes, uint32_t size) : bytes_(bytes), size_(bytes ? size : 0) {}
  bool IsOpen() const override { return bytes_ != nullptr; }
  uint32_t Length() override { return size_; }
  bool Seek(uint32_t position) override {
    if (!bytes_ || position > size_) return false;
    pos_ = position;
    return true;
  }
  uint32_t Tell() override { return pos_; }
  uint32_t Read(void* buffer, uint32_t n) override;
  void Close() override { bytes_ = nullptr; }

 private:
  const uint8_t* bytes_;
  uint32_t size_;
  uint32_t pos_ = 0;
};
