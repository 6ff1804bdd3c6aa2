/* Fails the build when the kernel header's ring layout differs from the
 * numbers the handler uses (tcmu_abi.h). */
#include <linux/target_core_user.h>
#include <stddef.h>

#include "sim/tcmu/tcmu_abi.h"

#define SAME(a, b) _Static_assert((a) == (b), #a " != " #b)

SAME(kTcmuMailboxVersion, TCMU_MAILBOX_VERSION);
SAME(kTcmuCapReadLength, TCMU_MAILBOX_FLAG_CAP_READ_LEN);
SAME(kTcmuMbVersionAt, offsetof(struct tcmu_mailbox, version));
SAME(kTcmuMbFlagsAt, offsetof(struct tcmu_mailbox, flags));
SAME(kTcmuMbRingOffsetAt, offsetof(struct tcmu_mailbox, cmdr_off));
SAME(kTcmuMbRingSizeAt, offsetof(struct tcmu_mailbox, cmdr_size));
SAME(kTcmuMbHeadAt, offsetof(struct tcmu_mailbox, cmd_head));
SAME(kTcmuMbTailAt, offsetof(struct tcmu_mailbox, cmd_tail));
SAME(kTcmuMbSize, sizeof(struct tcmu_mailbox));
SAME(kTcmuLenOpAt, offsetof(struct tcmu_cmd_entry_hdr, len_op));
SAME(kTcmuCmdIdAt, offsetof(struct tcmu_cmd_entry_hdr, cmd_id));
SAME(kTcmuUflagsAt, offsetof(struct tcmu_cmd_entry_hdr, uflags));
SAME(kTcmuHeaderSize, sizeof(struct tcmu_cmd_entry_hdr));
SAME(kTcmuOpMask, TCMU_OP_MASK);
SAME(kTcmuOpPad, TCMU_OP_PAD);
SAME(kTcmuOpCmd, TCMU_OP_CMD);
SAME(kTcmuUflagReadLength, TCMU_UFLAG_READ_LEN);
SAME(kTcmuEntryAlign, TCMU_OP_ALIGN_SIZE);
SAME(kTcmuIovCountAt, offsetof(struct tcmu_cmd_entry, req.iov_cnt));
SAME(kTcmuIovBidiCountAt, offsetof(struct tcmu_cmd_entry, req.iov_bidi_cnt));
SAME(kTcmuIovDifCountAt, offsetof(struct tcmu_cmd_entry, req.iov_dif_cnt));
SAME(kTcmuCdbOffsetAt, offsetof(struct tcmu_cmd_entry, req.cdb_off));
SAME(kTcmuIovAt, offsetof(struct tcmu_cmd_entry, req.iov));
SAME(kTcmuIovSize, sizeof(struct iovec));
SAME(kTcmuStatusAt, offsetof(struct tcmu_cmd_entry, rsp.scsi_status));
SAME(kTcmuReadLengthAt, offsetof(struct tcmu_cmd_entry, rsp.read_len));
SAME(kTcmuSenseAt, offsetof(struct tcmu_cmd_entry, rsp.sense_buffer));
SAME(kTcmuSenseSize, TCMU_SENSE_BUFFERSIZE);
SAME(kTcmuEntrySize, sizeof(struct tcmu_cmd_entry));
