/* The kernel's target_core_user ring layout (linux/target_core_user.h,
 * mailbox version 2), as byte offsets. That header's inline helpers are C
 * only, so the C++ handler works from these numbers and tcmu_abi_check.c
 * compares them with the header itself at build time. */
#ifndef FWSIM_TCMU_ABI_H
#define FWSIM_TCMU_ABI_H

enum {
  kTcmuMailboxVersion = 2,
  kTcmuCapReadLength = 1 << 1, /* mailbox flag: the kernel takes a read length */

  /* mailbox */
  kTcmuMbVersionAt = 0,
  kTcmuMbFlagsAt = 2,
  kTcmuMbRingOffsetAt = 4,
  kTcmuMbRingSizeAt = 8,
  kTcmuMbHeadAt = 12,
  kTcmuMbTailAt = 64,
  kTcmuMbSize = 128,

  /* entry header */
  kTcmuLenOpAt = 0,
  kTcmuCmdIdAt = 4,
  kTcmuUflagsAt = 7,
  kTcmuHeaderSize = 8,
  kTcmuOpMask = 7,
  kTcmuOpPad = 0,
  kTcmuOpCmd = 1,
  kTcmuUflagReadLength = 0x2,
  kTcmuEntryAlign = 8,

  /* command request */
  kTcmuIovCountAt = 8,
  kTcmuIovBidiCountAt = 12,
  kTcmuIovDifCountAt = 16,
  kTcmuCdbOffsetAt = 24,
  kTcmuIovAt = 48,
  kTcmuIovSize = 16, /* struct iovec: base (an offset into the mapping), length */

  /* command response (overlays the request from byte 8 on) */
  kTcmuStatusAt = 8,
  kTcmuReadLengthAt = 12,
  kTcmuSenseAt = 16,
  kTcmuSenseSize = 96,
  /* an entry is never shorter than the response it has to hold */
  kTcmuEntrySize = 112
};

#endif
