#!/usr/bin/env bash
# The flash command whose answer is lost or is no answer: it goes out once,
# nothing but the questions after the settle follows it, and the ending is
# the flash error unless the drive then reports the new firmware.
source "$(dirname "$0")/lib.sh"

firmware fw.bin K53R-TX 209B 0x20000
updater MyUpdater fw.bin

# after_flash: the commands on the wire after the (first) flash command.
after_flash() { sed -n '/cdb=33 0C F1 00 00 00 80 /,$p' wire.log | tail -n +2; }
expect_only_questions_after_flash() {
  check; [ -z "$(after_flash | grep -v 'cdb=33 0C F0 ')" ] || fail "$1: other commands after the flash command"
}

# A transport error: the drive, asked after the settle, still reports its
# old firmware.
simconf "drive 0 0 0" "model K53R-TX" "version 209A" "fault update 1 100 reject"
run rejected ./MyUpdater --yes
expect_rc rejected 23
check; [ "$(flash_commands)" = 1 ] || fail "rejected: $(flash_commands) flash commands"
expect_only_questions_after_flash rejected
expect_text rejected err "After the flash command the drive reports K53R-TX firmware Ver 209A."
expect_text rejected err "BIOS UPDATE ERROR!!"
expect_no_text rejected out "has been updated"

# A time-out (the 30-second one of the flash command) on a drive that did
# program its flash: it reports the new firmware, and that is an update.
simconf "drive 0 0 0" "model K53R-TX" "version 209A" "fault update 1 100 lost"
run lost ./MyUpdater --yes
expect_rc lost 0
expect_flashed lost fw.bin
expect_only_questions_after_flash lost
check; after_flash | grep -q 'cdb=33 0C F0 ' || fail "lost: the drive was not asked after the settle"
expect_text lost out "The drive gave no good answer to the flash command, but it reports the new firmware."
expect_text lost out "The drive now reports firmware Ver 209B."
expect_no_text lost err "BIOS UPDATE ERROR!!"

# A unit attention says the command was not carried out: sent again.
simconf "drive 0 0 0" "model K53R-TX" "version 209A" "fault update 1 1 check 2900"
run attention ./MyUpdater --yes
expect_rc attention 0
check; [ "$(flash_commands)" = 2 ] || fail "attention: $(flash_commands) flash commands"
check; cmp -s out/flash-0-0-1.bin fw.bin || fail "attention: the drive's flash does not hold fw.bin"

finish
