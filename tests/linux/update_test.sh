#!/usr/bin/env bash
# fwupdate-linux against the simulated drive, the ways an update succeeds or
# is let go: --yes, an answer on stdin, No, --log, --flash-mode 4k, --drive,
# several drives, and a drive that does not confirm its new firmware.
source "$(dirname "$0")/lib.sh"

firmware fw.bin K53R-TX 209B
updater MyUpdater fw.bin
simconf "drive 0 0 0" "model K53R-TX" "version 209A"

# Full update, answered by --yes: the image byte for byte, the new version
# confirmed, plain lines (no terminal), exit 0.
run yes ./MyUpdater --yes
expect_rc yes 0
expect_flashed yes fw.bin
expect_text yes out "Are you sure to update firmware from Ver 209A to Ver 209B [y/N] y"
expect_text yes out "WARNING!! THIS PROGRAM IS PROCESSING. PLESASE DON'T TURN POWER OFF"
expect_text yes out "Write data to bufer, Offset: 0x0007FC00, recursive = 0 "
expect_text yes out "Compare data at Offset 0X0007FC00 length 0x400, recursive 0"
expect_text yes out "Transfer data is completely, recursive = 0, Begin to update firmware ..."
expect_text yes out "Finish update, Please wait."
expect_text yes out "The firmware of drive has been updated already."
expect_text yes out "The drive now reports firmware Ver 209B."
expect_text yes out "echo 1 > /sys/class/scsi_device/1:0:0:0/device/rescan"
check; ! grep -q $'\033' yes.out || fail "yes: escape codes without a terminal"
check; [ "$(grep -c 'cdb=33 0C F1 .. .. .. 00 04 00' wire.log)" = 512 ] || fail "yes: not 512 chunks"
check; [ "$(grep -c 'cdb=33 0C F2 ' wire.log)" = 512 ] || fail "yes: not 512 read-backs"

# The vendor's updater given as an argument, answered on stdin.
cp MyUpdater vendor.exe
echo y > yes.txt
STDIN=yes.txt run answered "$prog" vendor.exe
expect_rc answered 0
expect_flashed answered fw.bin

# No (and no answer at all): nothing but INQUIRY and identify on the wire.
echo n > no.txt
STDIN=no.txt run no ./MyUpdater
expect_rc no 11
check; [ "$(buffer_commands)" = 0 ] || fail "no: buffer commands after No"
run eof ./MyUpdater
expect_rc eof 11
check; [ "$(buffer_commands)" = 0 ] || fail "eof: buffer commands without an answer"

# Start to question, natively with the simulated drive: the shipped build
# (best of three, so a busy machine does not decide it) within 200 ms.
if [ -x "$build/release/fwupdate-linux" ]; then
  "$build/fwpack" "$build/release/fwupdate-linux" Shipped fw.bin >/dev/null
  best=999999
  for i in 1 2 3; do
    start=$(date +%s%N)
    run question ./Shipped
    ms=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$ms" -lt "$best" ] && best=$ms
  done
  echo "measure: start to question (shipped build, simulated drive): best of 3 ${best} ms"
  expect_rc question 11
  expect_text question out "Are you sure to update firmware from Ver 209A to Ver 209B [y/N]"
  check; [ "$best" -le 200 ] || fail "start to question took $best ms"
fi

# --log: the same 94-character trace lines as the Windows program's log.
run log ./MyUpdater --yes --log trace.log
expect_rc log 0
check; [ -s trace.log ] || fail "log: no trace"
check; head -1 trace.log | grep -q $'^Command       :       12 00 00 00 38 00 00 00 00 00 00 00 00 00 00 00 *\r$' ||
  fail "log: first line is $(head -1 trace.log | cat -A | head -c 120)"
# 94 bytes a line with its CR LF; empty lines are CR LF alone.
check; [ -z "$(grep -v $'^\r$' trace.log | awk '{ if (length($0) != 93) print }' | head -1)" ] ||
  fail "log: a trace line is not 94 bytes"
check; grep -q '^Command       :       33 0C F1 00 00 00 80 ' trace.log || fail "log: no flash command in the trace"
run nolog ./MyUpdater --list --log /nonexistent/dir/trace.log
expect_text nolog err "Can not open log file"
expect_rc nolog 0

# --flash-mode 4k: the flash command carries mode 40h.
run fourk ./MyUpdater --yes --flash-mode 4k
expect_rc fourk 0
check; grep -q 'cdb=33 0C F1 00 00 00 40 ' wire.log || fail "4k: no mode 40h"
run badmode ./MyUpdater --yes --flash-mode 8k
expect_rc badmode 2
check; [ ! -s wire.log ] || fail "badmode: commands were sent"

# Two drives that fit: --yes cannot choose; --drive names one (by its sr
# node); a number on stdin chooses the other.
simconf "drive 0 0 0" "model K53R-TX" "version 209A" "drive 1 0 0" "model K53R-TX" "version 209A"
run several ./MyUpdater --yes
expect_rc several 12
check; [ "$(buffer_commands)" = 0 ] || fail "several: buffer commands"
run named ./MyUpdater --yes --drive /dev/sr1
expect_rc named 0
check; grep -q 'dev=1 .*cdb=33 0C F1 00 00 00 80' wire.log || fail "named: drive 1 not flashed"
check; ! grep -q 'dev=0 .*cdb=33 0C F1' wire.log || fail "named: drive 0 written"
printf '1\ny\n' > first.txt
STDIN=first.txt run chosen ./MyUpdater
expect_rc chosen 0
expect_text chosen out "1) /dev/sg1 (/dev/sr0)"
expect_text chosen out "2) /dev/sg2 (/dev/sr1)"
check; grep -q 'dev=0 .*cdb=33 0C F1 00 00 00 80' wire.log || fail "chosen: drive 0 not flashed"

# A drive that never answers identify again after the update: updated, but
# not confirmed - said so, with its own exit status.
simconf "drive 0 0 0" "model K53R-TX" "version 209A" "fault identify 2 1000 check 2900"
run unconfirmed ./MyUpdater --yes
expect_rc unconfirmed 30
expect_flashed unconfirmed fw.bin
expect_text unconfirmed out "could not be confirmed"
expect_no_text unconfirmed out "now reports firmware Ver"

finish
