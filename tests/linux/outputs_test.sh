#!/usr/bin/env bash
# What fwupdate-linux, run as root, does with the paths and bytes it is
# handed: a log or a split folder that someone prepared (a symbolic link, a
# FIFO, a device, a second name, a folder others may write to) is refused and
# left as it was, and nothing hangs; a switch that names nothing; an updater
# file that is none; a closed output pipe; names with control bytes.
source "$(dirname "$0")/lib.sh"

firmware fw.bin K53R-TX 209B
firmware fw2.bin K53R-TX 209C 0x20000 2
updater MyUpdater fw.bin
updater Two fw.bin fw2.bin
simconf "drive 0 0 0" "model K53R-TX" "version 209A"
echo precious > victim
# A refusal is quick; a run that hangs fails here instead of after minutes.
RUN_TIMEOUT=60

# expect_refused NAME TEXT COMMAND...: status 14 with TEXT, nothing sent to
# the drive, the victim as it was.
expect_refused() {
  local name=$1 text=$2
  shift 2
  run "$name" "$@"
  expect_rc "$name" 14
  expect_text "$name" err "$text"
  check; [ "$(buffer_commands)" = 0 ] || fail "$name: buffer commands were sent"
  check; [ "$(cat victim)" = precious ] || fail "$name: the victim was written"
}
# device PATH: a character device node like /dev/null at PATH (root only).
device() { mknod "$1" c 1 3 2>/dev/null; }

# --log: refused before anything is read or sent.
ln -s "$work/victim" link.log
expect_refused loglink "Refused --log link.log: it is a symbolic link" ./MyUpdater --yes --log link.log
check; [ ! -s wire.log ] || fail "loglink: commands were sent"
ln -s "$work/nowhere" dangling.log
expect_refused logdangling "it is a symbolic link" ./MyUpdater --yes --log dangling.log
check; [ ! -e nowhere ] || fail "logdangling: the link's target was created"
ln victim hard.log
expect_refused loghard "it has other names (hard links)" ./MyUpdater --yes --log hard.log
mkfifo fifo.log
expect_refused logfifo "Refused --log fifo.log: it is a FIFO" ./MyUpdater --yes --log fifo.log
# A FIFO someone reads from: refused all the same, and it gets nothing.
cat fifo.log > fifo.read &
reader=$!
expect_refused logfiforead "it is a FIFO" ./MyUpdater --yes --log fifo.log
kill "$reader" 2>/dev/null; wait "$reader" 2>/dev/null
check; [ ! -s fifo.read ] || fail "logfiforead: the trace went into the FIFO"
if device dev.log; then devlog=dev.log; else devlog=/dev/null; fi
expect_refused logdevice "Refused --log $devlog: it is a device" ./MyUpdater --yes --log "$devlog"
mkdir dir.log
expect_refused logdir "it is a directory" ./MyUpdater --yes --log dir.log
# A plain file is emptied and takes the trace.
printf 'an older trace\n' > plain.log
run logplain ./MyUpdater --list --log plain.log
expect_rc logplain 0
check; head -1 plain.log | grep -q '^Command       :       12 ' || fail "logplain: no trace in plain.log"
check; ! grep -q 'an older trace' plain.log || fail "logplain: the old log was not emptied"

# --split: the folder and every name in it are looked at before the first
# image is written.
mkdir split
chmod 755 split
ln -s split splitlink
expect_refused splitdirlink "Refused --split splitlink: it is a symbolic link" ./Two --split splitlink
check; [ -z "$(ls -A split)" ] || fail "splitdirlink: files were written through the link"
chmod 777 split
expect_refused splitopen "Refused --split split: users other than its owner may write to it and it is not sticky" \
  ./Two --split split
check; [ -z "$(ls -A split)" ] || fail "splitopen: files were written"
chmod 1777 split
run splitsticky ./Two --split split
expect_rc splitsticky 0
rm -f split/*
chmod 755 split
ln -s "$work/victim" split/Bin@1.bin
expect_refused splitlinkname "Refused --split split: split/Bin@1.bin is a symbolic link" ./Two --split split
check; [ ! -e split/Bin@2.bin ] || fail "splitlinkname: an image was written before the refusal"
rm split/Bin@1.bin
mkfifo split/Bin@2.bin
expect_refused splitfifo "split/Bin@2.bin is a FIFO" ./Two --split split
check; [ ! -e split/Bin@1.bin ] || fail "splitfifo: an image was written before the refusal"
rm split/Bin@2.bin
if device split/Bin@1.bin; then
  expect_refused splitdevice "split/Bin@1.bin is a device" ./Two --split split
  rm split/Bin@1.bin
fi
# A plain file of that name is replaced whole: its other name keeps its
# contents, and no temporary file stays behind.
ln victim split/Bin@1.bin
run splithard ./Two --split split
expect_rc splithard 0
check; cmp -s split/Bin@1.bin fw2.bin || fail "splithard: Bin@1.bin is not the last image"
check; [ "$(cat victim)" = precious ] || fail "splithard: the image was written through the file's other name"
check; [ "$(ls -A split | tr '\n' ' ')" = "Bin@1.bin Bin@2.bin " ] || fail "splithard: split holds $(ls -A split)"

# A switch that names a file, a folder or a drive names one: an empty name
# would mean every drive, no log, no split (and so an update).
for switch in drive log split; do
  run "empty$switch" ./MyUpdater --yes "--$switch" ""
  expect_rc "empty$switch" 2
  expect_text "empty$switch" err "--$switch"
  check; [ ! -s wire.log ] || fail "empty$switch: commands were sent"
done

# The updater file: only a regular file of a size an updater can have.
mkfifo fifo.exe
run updaterfifo "$prog" fifo.exe --yes
expect_rc updaterfifo 6
expect_text updaterfifo err "fifo.exe: it is not a regular file"
expect_no_flash updaterfifo
truncate -s 65M huge.exe
run updaterhuge "$prog" huge.exe --yes
expect_rc updaterhuge 6
expect_text updaterhuge err "huge.exe: it is 68157440 bytes, more than an updater can be (64 MiB); it was not read"
expect_text updaterhuge err "Can't Open huge.exe"

# Output into a pipe that closes early: the flash goes on to its report and
# its exit status (a closed pipe once ended it with 141 after the flash).
rm -rf out; mkdir out; : > wire.log
(
  timeout 180 env FWSIM_CONFIG="$work/sim.conf" FWSIM_OUT="$work/out" FWSIM_LOG="$work/wire.log" \
    LD_PRELOAD="$preload" ./MyUpdater --yes 2> pipe.err < /dev/null
  echo $? > pipe.rc
) | head -c 1 > /dev/null
check; [ "$(cat pipe.rc)" = 0 ] || fail "pipe: exit status $(cat pipe.rc) with the output pipe closed"
expect_flashed pipe fw.bin

# Names from the file and from the drive: control bytes are shown, not sent.
esc=$'\033'
firmware odd.bin "K53${esc}[2JX" 209B 0x20000 3
updater Odd odd.bin
simconf "drive 0 0 0" "model K53${esc}[2JX" "version 209A" "product ${esc}]0;owned${esc}\\"
run oddlist ./Odd --list
expect_rc oddlist 0
check; ! grep -q "$esc" oddlist.out || fail "oddlist: an escape byte reached the output"
expect_text oddlist out 'model K53\x1B[2JX, firmware 209A'
expect_text oddlist out 'image 1: K53\x1B[2JX  209B'
expect_text oddlist out '\x1B]0;owned\x1B\'

finish
