// The command ring a Linux kernel target (target_core_user) shares with its
// user-space handler through a UIO device: a mailbox at the start of the
// mapping, a ring of command entries behind it, and a data area the entries'
// iovecs point into (as offsets from the start of the mapping).
//
// The kernel appends entries and moves cmd_head; the handler answers the
// entry at cmd_tail in place (the response overlays the request, so a
// command is copied out before it is answered), moves cmd_tail past it and
// then tells the kernel by a write to the UIO device. Entries are answered
// in ring order.
//
// Everything read from the mapping is checked against the mapping's size
// before it is used: a broken ring stops the handler, it never reads or
// writes outside the mapping. fault() says which check refused it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Where in the mapping one piece of a command's data lies.
struct TcmuSpan {
  size_t offset = 0;
  size_t length = 0;
};

// One command, copied out of its ring entry.
struct TcmuCommand {
  uint16_t id = 0;
  uint8_t cdb[16] = {};   // zero beyond cdb_bytes
  uint8_t cdb_bytes = 0;  // the bytes the kernel delivered (its opcode group's length)
  std::vector<TcmuSpan> data;
  uint32_t data_length = 0;  // sum of the spans
};

struct TcmuResponse {
  uint8_t scsi_status = 0;
  const uint8_t* sense = nullptr;  // fixed-format sense, sense_length bytes (CHECK CONDITION)
  size_t sense_length = 0;
  // Data-in bytes that really moved; reported to the kernel (as a residual)
  // when short of the command's data length and the kernel accepts it.
  uint32_t moved = 0;
};

class TcmuRing {
 public:
  enum class Next { Empty, Command, Broken };

  // Why a mapping or a ring was refused.
  enum class Fault {
    None,
    // Attach
    NoMapping,                // no address
    MailboxBeyondMapping,     // the mapping is shorter than the mailbox
    MailboxVersion,           // not the mailbox layout this handler reads
    RingOverlapsMailbox,      // ring offset inside the mailbox
    RingEmpty,                // ring size 0
    RingSizeMisaligned,       // ring size not a whole number of entry units
    RingOffsetBeyondMapping,  // ring starts past the mapping's end
    RingPastMappingEnd,       // ring runs past the mapping's end
    // Peek
    NotAttached,
    HeadOutOfRange,           // cmd_head not inside the ring
    HeadMisaligned,           // cmd_head not on an entry boundary
    TailOutOfRange,           // cmd_tail not inside the ring
    TailMisaligned,           // cmd_tail not on an entry boundary
    EntryLengthZero,          // an entry (command or padding) of length 0
    EntryPastRingEnd,         // an entry runs past the ring's end
    EntryPastHead,            // an entry runs past cmd_head
    CommandTooShort,          // a command entry cannot hold its response
    IovecCountBeyondEntry,    // more iovecs than the entry has room for
    CdbOutsideMapping,        // CDB offset at or past the mapping's end
    CdbPastMappingEnd,        // the CDB's opcode group runs past the mapping's end
    SpanBeyondMapping,        // a data span's base past the mapping's end
    SpanPastMappingEnd,       // a data span runs past the mapping's end
    SpanInsideRing,           // a data span over the mailbox or ring, not the data area
    DataTooLong,              // a command's spans add up to 4 GiB or more
  };
  // The fault as a word for logs ("tail-misaligned").
  static const char* FaultName(Fault fault);

  // The whole mapping of the UIO device: mailbox at offset 0. false: *error,
  // and fault() says why.
  bool Attach(uint8_t* base, size_t size, std::string* error);

  // The command at the tail, if any. Padding and task management entries
  // before it are passed over. Broken: the ring cannot be trusted (*error,
  // and fault() says why).
  Next Peek(TcmuCommand* command, std::string* error);

  // Why the last Attach or Peek refused the ring; None when it did not.
  Fault fault() const { return fault_; }

  // Data of the command (data out): up to n bytes into dst. Returns the bytes copied.
  uint32_t Gather(const TcmuCommand& command, uint8_t* dst, uint32_t n) const;
  // Data for the command (data in): n bytes from src into its spans.
  uint32_t Scatter(const TcmuCommand& command, const uint8_t* src, uint32_t n) const;

  // Answers the command Peek returned last (at the entry Peek checked, not
  // wherever cmd_tail points by now) and moves the tail past it. Does
  // nothing when no command is pending. The caller then notifies the kernel.
  void Complete(const TcmuCommand& command, const TcmuResponse& response);

  bool reports_read_length() const;

  // The opcode group's CDB length, as the kernel's target core copies it.
  static uint8_t DeliveredCdbLength(const uint8_t* cdb);

 private:
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  uint8_t* ring_ = nullptr;
  uint32_t ring_size_ = 0;
  size_t data_at_ = 0;  // the data area: from the ring's end to the mapping's end
  Fault fault_ = Fault::None;
  // The entry of the command Peek returned, until Complete answers it.
  bool pending_ = false;
  uint32_t pending_at_ = 0;
  uint32_t pending_length_ = 0;
};
