#include "sim/tcmu/tcmu_ring.h"

#include <algorithm>
#include <cstring>

#include "sim/tcmu/tcmu_abi.h"

namespace {

// An iovec as the kernel writes it: base is an offset into the mapping.
struct RingIovec {
  uint64_t base;
  uint64_t length;
};
static_assert(sizeof(RingIovec) == kTcmuIovSize, "iovec layout");

template <typename T>
T ReadAt(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace

uint8_t TcmuRing::DeliveredCdbLength(const uint8_t* cdb) {
  // The SCSI command size by operation code group; a variable-length CDB
  // (7Fh) says its own length in byte 7. Never more than 16 are kept.
  static const uint8_t kGroupLength[8] = {6, 10, 10, 12, 16, 12, 10, 10};
  if (cdb[0] == 0x7F) return static_cast<uint8_t>(std::min(16, cdb[7] + 8));
  return kGroupLength[(cdb[0] >> 5) & 7];
}

bool TcmuRing::Attach(uint8_t* base, size_t size, std::string* error) {
  base_ = nullptr;
  if (!base || size < kTcmuMbSize) {
    *error = "mapping too small for the mailbox";
    return false;
  }
  const uint16_t version = ReadAt<uint16_t>(base + kTcmuMbVersionAt);
  const uint32_t off = ReadAt<uint32_t>(base + kTcmuMbRingOffsetAt);
  const uint32_t ring_size = ReadAt<uint32_t>(base + kTcmuMbRingSizeAt);
  if (version != kTcmuMailboxVersion) {
    *error = "mailbox version " + std::to_string(version) + ", expected " + std::to_string(kTcmuMailboxVersion);
    return false;
  }
  if (off < kTcmuMbSize || ring_size == 0 || ring_size % kTcmuEntryAlign != 0 || off > size ||
      ring_size > size - off) {
    *error = "command ring outside the mapping";
    return false;
  }
  base_ = base;
  size_ = size;
  ring_ = base + off;
  ring_size_ = ring_size;
  return true;
}

bool TcmuRing::reports_read_length() const {
  return base_ && (ReadAt<uint16_t>(base_ + kTcmuMbFlagsAt) & kTcmuCapReadLength);
}

TcmuRing::Next TcmuRing::Peek(TcmuCommand* command, std::string* error) {
  if (!base_) {
    *error = "no ring";
    return Next::Broken;
  }
  auto* head_at = reinterpret_cast<uint32_t*>(base_ + kTcmuMbHeadAt);
  auto* tail_at = reinterpret_cast<uint32_t*>(base_ + kTcmuMbTailAt);
  for (;;) {
    const uint32_t head = __atomic_load_n(head_at, __ATOMIC_ACQUIRE);
    const uint32_t tail = __atomic_load_n(tail_at, __ATOMIC_RELAXED);
    if (head >= ring_size_ || tail >= ring_size_ || tail % kTcmuEntryAlign != 0) {
      *error = "ring head " + std::to_string(head) + " or tail " + std::to_string(tail) + " out of place";
      return Next::Broken;
    }
    if (head == tail) return Next::Empty;

    uint8_t* entry = ring_ + tail;
    if (ring_size_ - tail < kTcmuHeaderSize) {
      *error = "entry header beyond the ring end";
      return Next::Broken;
    }
    const uint32_t len_op = ReadAt<uint32_t>(entry + kTcmuLenOpAt);
    const uint32_t len = len_op & ~uint32_t{kTcmuOpMask};
    if (len < kTcmuHeaderSize || len % kTcmuEntryAlign != 0 || len > ring_size_ - tail) {
      *error = "entry at " + std::to_string(tail) + " has length " + std::to_string(len);
      return Next::Broken;
    }
    if ((len_op & kTcmuOpMask) != kTcmuOpCmd) {
      // Padding up to the ring's end, or a task management notice: nothing to answer.
      __atomic_store_n(tail_at, (tail + len) % ring_size_, __ATOMIC_RELEASE);
      continue;
    }

    if (len < kTcmuEntrySize) {
      *error = "command entry too short for its response";
      return Next::Broken;
    }
    const uint64_t iov_cnt = ReadAt<uint32_t>(entry + kTcmuIovCountAt);
    const uint64_t all_iov = iov_cnt + ReadAt<uint32_t>(entry + kTcmuIovBidiCountAt) +
                             ReadAt<uint32_t>(entry + kTcmuIovDifCountAt);
    const uint64_t cdb_off = ReadAt<uint64_t>(entry + kTcmuCdbOffsetAt);
    if (all_iov > (len - kTcmuIovAt) / kTcmuIovSize) {
      *error = "iovec count beyond the entry";
      return Next::Broken;
    }
    if (cdb_off >= size_) {
      *error = "CDB outside the mapping";
      return Next::Broken;
    }

    TcmuCommand c;
    c.id = ReadAt<uint16_t>(entry + kTcmuCmdIdAt);
    const size_t readable = std::min<size_t>(sizeof c.cdb, size_ - cdb_off);
    uint8_t raw[sizeof c.cdb] = {};
    std::memcpy(raw, base_ + cdb_off, readable);
    const uint8_t delivered = DeliveredCdbLength(raw);
    if (delivered > readable) {
      *error = "CDB beyond the mapping";
      return Next::Broken;
    }
    std::memcpy(c.cdb, raw, delivered);
    c.cdb_bytes = delivered;

    uint64_t total = 0;
    for (uint64_t i = 0; i < iov_cnt; ++i) {
      const auto iov = ReadAt<RingIovec>(entry + kTcmuIovAt + i * kTcmuIovSize);
      const uint64_t at = iov.base;
      const uint64_t n = iov.length;
      if (at > size_ || n > size_ - at) {
        *error = "data span outside the mapping";
        return Next::Broken;
      }
      total += n;
      if (n) c.data.push_back({static_cast<size_t>(at), static_cast<size_t>(n)});
    }
    if (total > UINT32_MAX) {
      *error = "data longer than 4 GiB";
      return Next::Broken;
    }
    c.data_length = static_cast<uint32_t>(total);
    *command = std::move(c);
    return Next::Command;
  }
}

uint32_t TcmuRing::Gather(const TcmuCommand& command, uint8_t* dst, uint32_t n) const {
  uint32_t done = 0;
  for (const TcmuSpan& span : command.data) {
    if (done == n) break;
    const uint32_t k = static_cast<uint32_t>(std::min<size_t>(span.length, n - done));
    std::memcpy(dst + done, base_ + span.offset, k);
    done += k;
  }
  return done;
}

uint32_t TcmuRing::Scatter(const TcmuCommand& command, const uint8_t* src, uint32_t n) const {
  uint32_t done = 0;
  for (const TcmuSpan& span : command.data) {
    if (done == n) break;
    const uint32_t k = static_cast<uint32_t>(std::min<size_t>(span.length, n - done));
    std::memcpy(base_ + span.offset, src + done, k);
    done += k;
  }
  return done;
}

void TcmuRing::Complete(const TcmuCommand& command, const TcmuResponse& response) {
  auto* tail_at = reinterpret_cast<uint32_t*>(base_ + kTcmuMbTailAt);
  const uint32_t tail = __atomic_load_n(tail_at, __ATOMIC_RELAXED);
  uint8_t* entry = ring_ + tail;
  const uint32_t len = ReadAt<uint32_t>(entry + kTcmuLenOpAt) & ~uint32_t{kTcmuOpMask};

  entry[kTcmuStatusAt] = response.scsi_status;
  uint8_t* sense = entry + kTcmuSenseAt;
  std::memset(sense, 0, kTcmuSenseSize);
  if (response.sense && response.sense_length)
    std::memcpy(sense, response.sense, std::min<size_t>(response.sense_length, kTcmuSenseSize));

  uint8_t uflags = 0;
  if (response.moved < command.data_length && reports_read_length()) {
    uflags |= kTcmuUflagReadLength;
    std::memcpy(entry + kTcmuReadLengthAt, &response.moved, sizeof response.moved);
  }
  entry[kTcmuUflagsAt] = uflags;
  __atomic_store_n(tail_at, (tail + len) % ring_size_, __ATOMIC_RELEASE);
}
