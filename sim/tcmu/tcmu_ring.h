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
// writes outside the mapping.
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

  // The whole mapping of the UIO device: mailbox at offset 0.
  bool Attach(uint8_t* base, size_t size, std::string* error);

  // The command at the tail, if any. Padding and task management entries
  // before it are passed over. Broken: the ring cannot be trusted (*error).
  Next Peek(TcmuCommand* command, std::string* error);

  // Data of the command (data out): up to n bytes into dst. Returns the bytes copied.
  uint32_t Gather(const TcmuCommand& command, uint8_t* dst, uint32_t n) const;
  // Data for the command (data in): n bytes from src into its spans.
  uint32_t Scatter(const TcmuCommand& command, const uint8_t* src, uint32_t n) const;

  // Answers the command at the tail (the one Peek returned) and moves the
  // tail past it. The caller then notifies the kernel.
  void Complete(const TcmuCommand& command, const TcmuResponse& response);

  bool reports_read_length() const;

  // The opcode group's CDB length, as the kernel's target core copies it.
  static uint8_t DeliveredCdbLength(const uint8_t* cdb);

 private:
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  uint8_t* ring_ = nullptr;
  uint32_t ring_size_ = 0;
};
