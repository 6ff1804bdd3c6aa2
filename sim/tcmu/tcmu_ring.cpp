#include "sim/tcmu/tcmu_ring.h"

#include <algorithm>
#include <cstring>
#include <utility>

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

const char* TcmuRing::FaultName(Fault fault) {
  switch (fault) {
    case Fault::None: return "none";
    case Fault::NoMapping: return "no-mapping";
    case Fault::MailboxBeyondMapping: return "mailbox-beyond-mapping";
    case Fault::MailboxVersion: return "mailbox-version";
    case Fault::RingOverlapsMailbox: return "ring-overlaps-mailbox";
    case Fault::RingEmpty: return "ring-empty";
    case Fault::RingSizeMisaligned: return "ring-size-misaligned";
    case Fault::RingOffsetBeyondMapping: return "ring-offset-beyond-mapping";
    case Fault::RingPastMappingEnd: return "ring-past-mapping-end";
    case Fault::NotAttached: return "not-attached";
    case Fault::HeadOutOfRange: return "head-out-of-range";
    case Fault::HeadMisaligned: return "head-misaligned";
    case Fault::TailOutOfRange: return "tail-out-of-range";
    case Fault::TailMisaligned: return "tail-misaligned";
    case Fault::EntryLengthZero: return "entry-length-zero";
    case Fault::EntryPastRingEnd: return "entry-past-ring-end";
    case Fault::EntryPastHead: return "entry-past-head";
    case Fault::CommandTooShort: return "command-too-short";
    case Fault::IovecCountBeyondEntry: return "iovec-count-beyond-entry";
    case Fault::CdbOutsideMapping: return "cdb-outside-mapping";
    case Fault::CdbPastMappingEnd: return "cdb-past-mapping-end";
    case Fault::SpanBeyondMapping: return "span-beyond-mapping";
    case Fault::SpanPastMappingEnd: return "span-past-mapping-end";
    case Fault::SpanInsideRing: return "span-inside-ring";
    case Fault::DataTooLong: return "data-too-long";
  }
  return "unknown";
}

bool TcmuRing::Attach(uint8_t* base, size_t size, std::string* error) {
  base_ = nullptr;
  pending_ = false;
  const auto refuse = [&](Fault fault, std::string text) {
    fault_ = fault;
    *error = std::move(text);
    return false;
  };
  if (!base) return refuse(Fault::NoMapping, "no mapping");
  if (size < kTcmuMbSize) return refuse(Fault::MailboxBeyondMapping, "mapping too small for the mailbox");
  const uint16_t version = ReadAt<uint16_t>(base + kTcmuMbVersionAt);
  const uint32_t off = ReadAt<uint32_t>(base + kTcmuMbRingOffsetAt);
  const uint32_t ring_size = ReadAt<uint32_t>(base + kTcmuMbRingSizeAt);
  if (version != kTcmuMailboxVersion)
    return refuse(Fault::MailboxVersion, "mailbox version " + std::to_string(version) + ", expected " +
                                             std::to_string(kTcmuMailboxVersion));
  const std::string where = "command ring at " + std::to_string(off) + " of size " + std::to_string(ring_size);
  if (off < kTcmuMbSize) return refuse(Fault::RingOverlapsMailbox, where + " overlaps the mailbox");
  if (ring_size == 0) return refuse(Fault::RingEmpty, where + " is empty");
  if (ring_size % kTcmuEntryAlign != 0)
    return refuse(Fault::RingSizeMisaligned, where + " is not made of " + std::to_string(kTcmuEntryAlign) + "-byte units");
  if (off > size) return refuse(Fault::RingOffsetBeyondMapping, where + " starts beyond the mapping");
  if (ring_size > size - off) return refuse(Fault::RingPastMappingEnd, where + " runs past the mapping's end");
  base_ = base;
  size_ = size;
  ring_ = base + off;
  ring_size_ = ring_size;
  data_at_ = size_t{off} + ring_size;
  fault_ = Fault::None;
  return true;
}

bool TcmuRing::reports_read_length() const {
  return base_ && (ReadAt<uint16_t>(base_ + kTcmuMbFlagsAt) & kTcmuCapReadLength);
}

// An entry's length is its len_op with the opcode bits cleared, so it is
// always whole entry units; with cmd_tail and the ring size whole units too,
// an entry's header never straddles the ring's end.
static_assert(kTcmuOpMask + 1 == kTcmuEntryAlign, "entry lengths are whole entry units");
static_assert(kTcmuHeaderSize == kTcmuEntryAlign, "an entry header is one entry unit");

TcmuRing::Next TcmuRing::Peek(TcmuCommand* command, std::string* error) {
  pending_ = false;
  const auto refuse = [&](Fault fault, std::string text) {
    fault_ = fault;
    *error = std::move(text);
    return Next::Broken;
  };
  if (!base_) return refuse(Fault::NotAttached, "no ring");
  auto* head_at = reinterpret_cast<uint32_t*>(base_ + kTcmuMbHeadAt);
  auto* tail_at = reinterpret_cast<uint32_t*>(base_ + kTcmuMbTailAt);
  for (;;) {
    const uint32_t head = __atomic_load_n(head_at, __ATOMIC_ACQUIRE);
    const uint32_t tail = __atomic_load_n(tail_at, __ATOMIC_RELAXED);
    // Texts are made only for a refusal: a good ring is served without them.
    const auto ends = [&] { return "head " + std::to_string(head) + ", tail " + std::to_string(tail); };
    if (head >= ring_size_) return refuse(Fault::HeadOutOfRange, ends() + ": head beyond the ring");
    if (head % kTcmuEntryAlign != 0) return refuse(Fault::HeadMisaligned, ends() + ": head off an entry boundary");
    if (tail >= ring_size_) return refuse(Fault::TailOutOfRange, ends() + ": tail beyond the ring");
    if (tail % kTcmuEntryAlign != 0) return refuse(Fault::TailMisaligned, ends() + ": tail off an entry boundary");
    if (head == tail) return Next::Empty;

    // The entries the kernel has queued lie from the tail up to the head.
    const uint32_t queued = head > tail ? head - tail : ring_size_ - tail + head;
    uint8_t* entry = ring_ + tail;
    const uint32_t len_op = ReadAt<uint32_t>(entry + kTcmuLenOpAt);
    const uint32_t len = len_op & ~uint32_t{kTcmuOpMask};
    const auto which = [&] { return "entry at " + std::to_string(tail) + " of length " + std::to_string(len); };
    if (len == 0) return refuse(Fault::EntryLengthZero, which());
    if (len > ring_size_ - tail) return refuse(Fault::EntryPastRingEnd, which() + " runs past the ring's end");
    if (len > queued) return refuse(Fault::EntryPastHead, which() + " runs past the head at " + std::to_string(head));
    if ((len_op & kTcmuOpMask) != kTcmuOpCmd) {
      // Padding up to the ring's end, or a task management notice: nothing to answer.
      __atomic_store_n(tail_at, (tail + len) % ring_size_, __ATOMIC_RELEASE);
      continue;
    }

    if (len < kTcmuEntrySize) return refuse(Fault::CommandTooShort, which() + ": too short for its response");
    const uint64_t iov_cnt = ReadAt<uint32_t>(entry + kTcmuIovCountAt);
    const uint64_t all_iov = iov_cnt + ReadAt<uint32_t>(entry + kTcmuIovBidiCountAt) +
                             ReadAt<uint32_t>(entry + kTcmuIovDifCountAt);
    const uint64_t cdb_off = ReadAt<uint64_t>(entry + kTcmuCdbOffsetAt);
    if (all_iov > (len - kTcmuIovAt) / kTcmuIovSize)
      return refuse(Fault::IovecCountBeyondEntry, which() + ": " + std::to_string(all_iov) + " iovecs");
    if (cdb_off >= size_)
      return refuse(Fault::CdbOutsideMapping, which() + ": CDB at " + std::to_string(cdb_off) + ", outside the mapping");

    TcmuCommand c;
    c.id = ReadAt<uint16_t>(entry + kTcmuCmdIdAt);
    const size_t readable = std::min<size_t>(sizeof c.cdb, size_ - cdb_off);
    uint8_t raw[sizeof c.cdb] = {};
    std::memcpy(raw, base_ + cdb_off, readable);
    const uint8_t delivered = DeliveredCdbLength(raw);
    if (delivered > readable)
      return refuse(Fault::CdbPastMappingEnd, which() + ": CDB of " + std::to_string(delivered) + " bytes at " +
                                                  std::to_string(cdb_off) + " runs past the mapping's end");
    std::memcpy(c.cdb, raw, delivered);
    c.cdb_bytes = delivered;

    uint64_t total = 0;
    for (uint64_t i = 0; i < iov_cnt; ++i) {
      const auto iov = ReadAt<RingIovec>(entry + kTcmuIovAt + i * kTcmuIovSize);
      const uint64_t at = iov.base;
      const uint64_t n = iov.length;
      const auto span = [&] {
        return which() + ": data span " + std::to_string(i) + " at " + std::to_string(at) + " of length " +
               std::to_string(n);
      };
      if (at > size_) return refuse(Fault::SpanBeyondMapping, span() + " starts beyond the mapping");
      if (n > size_ - at) return refuse(Fault::SpanPastMappingEnd, span() + " runs past the mapping's end");
      // The data area follows the ring; data written anywhere before it
      // would land on the kernel's mailbox or ring.
      if (n && at < data_at_) return refuse(Fault::SpanInsideRing, span() + " lies before the data area");
      total += n;
      if (n) c.data.push_back({static_cast<size_t>(at), static_cast<size_t>(n)});
    }
    if (total > UINT32_MAX) return refuse(Fault::DataTooLong, which() + ": " + std::to_string(total) + " data bytes");
    c.data_length = static_cast<uint32_t>(total);
    *command = std::move(c);
    pending_ = true;
    pending_at_ = tail;
    pending_length_ = len;
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
  // The answer goes to the entry Peek checked, at the offset Peek kept:
  // cmd_tail lies in shared memory and may hold anything by now.
  if (!base_ || !pending_) return;
  pending_ = false;
  auto* tail_at = reinterpret_cast<uint32_t*>(base_ + kTcmuMbTailAt);
  uint8_t* entry = ring_ + pending_at_;

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
  __atomic_store_n(tail_at, (pending_at_ + pending_length_) % ring_size_, __ATOMIC_RELEASE);
}
