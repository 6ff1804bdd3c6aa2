#!/usr/bin/env bash
# Every ending of fwupdate-linux that is not an update, against the simulated
# drive: its text, its exit status, and no Update Firmware after a failed
# chunk; and the modes that touch nothing: --list, --split, --version, --help.
source "$(dirname "$0")/lib.sh"

firmware fw.bin K53R-TX 209B
updater MyUpdater fw.bin
TX="model K53R-TX"

# Transfer failures: the retry budget spent, the error text, no flash.
expect_transfer_failure() {  # NAME FAULT STATUS TEXT
  simconf "drive 0 0 0" "$TX" "version 209A" "$2"
  run "$1" ./MyUpdater --yes
  expect_rc "$1" "$3"
  expect_text "$1" err "$4"
  expect_no_text "$1" out "has been updated"
}
expect_transfer_failure write "fault write 1 100000 check 4400" 21 "BUFFER WRITE ERROR!!"
expect_no_flash write
expect_transfer_failure read "fault read 1 100000 check 4400" 22 "BUFFER READ ERROR!!"
expect_no_flash read
expect_transfer_failure compare "fault read 1 100000 corrupt" 20 "BIOS DATA COMPARE ERROR!!"
expect_no_flash compare
expect_transfer_failure short "fault write 1 100000 short" 21 "BUFFER WRITE ERROR!!"
expect_no_flash short
# Failures on a few chunks within the budget end in an update.
simconf "drive 0 0 0" "$TX" "version 209A" "fault write 20 5 check 4400" "fault read 300 5 check 4400"
run retried ./MyUpdater --yes
expect_rc retried 0
expect_text retried out "recursive = 2"
expect_flashed retried fw.bin
# The flash command refused: the drive's answer does not say it was not
# carried out, so it is not sent again.
expect_transfer_failure flash "fault update 1 100000 check 4400" 23 "BIOS UPDATE ERROR!!"
check; [ "$(flash_commands)" = 1 ] || fail "flash: $(flash_commands) flash commands"

# Endings before the transfer: nothing but INQUIRY and identify on the wire.
expect_refusal() {  # NAME STATUS STREAM TEXT COMMAND...
  local name=$1 status=$2 stream=$3 text=$4
  shift 4
  run "$name" "$@"
  expect_rc "$name" "$status"
  expect_text "$name" "$stream" "$text"
  check; [ "$(buffer_commands)" = 0 ] || fail "$name: buffer commands were sent"
}
simconf "drive 0 0 0" "$TX" "version 207Z"
expect_refusal dosonly 10 err "This drive must be updated in DOS !!" ./MyUpdater --yes
expect_no_text dosonly out "Are you sure"
simconf "drive 0 0 0" "model K53R-PX" "version 209A"
expect_refusal mismatch 9 err "Model name is mismatch!!" ./MyUpdater --yes
# The hidden switch offers every image for every drive (and shows the whole names).
echo n > no.txt
STDIN=no.txt expect_refusal allimages 11 out "Are you sure to update firmware from K53R-PX   209A to K53R-TX   209B" \
  ./MyUpdater --all-images

simconf "drive 0 0 0" "$TX" "version 209A"
cp MyUpdater Damaged
printf 'x' | dd of=Damaged bs=1 seek=5000 conv=notrunc 2>/dev/null
expect_refusal damaged 8 err "This file maybe damage please get new one!" ./Damaged --yes
expect_no_text damaged out "Are you sure"
expect_refusal cannotopen 6 err "Can't Open $work/none " "$prog" "$work/none"
expect_refusal directory 6 err "Can't Open $work " "$prog" "$work"

simconf "drive 0 0 0" "type 0" "$TX" "version 209A"
expect_refusal nodrive 3 err "CD-ROM/RW drive is not found!" ./MyUpdater --yes
check; [ ! -s wire.log ] || fail "nodrive: a disk was sent commands"

simconf "drive 0 0 0" "$TX" "version 209A"
DENY=sg1 expect_refusal denied 4 err "Permission denied: cannot open /dev/sg1 (CD-ROM/RW drive /dev/sr0 at 1:0:0:0)" ./MyUpdater --yes
expect_text denied err "sudo fwupdate-linux"
expect_text denied err 'SUBSYSTEM=="scsi_generic", ATTRS{type}=="5"'
expect_no_text denied err "not found"
expect_refusal notadrive 5 err "/dev/sr7 is not a CD-ROM/RW drive" ./MyUpdater --yes --drive /dev/sr7
expect_refusal disk 5 err "/dev/sg0 is not a CD-ROM/RW drive" ./MyUpdater --yes --drive /dev/sg0

# Two images for the drive: --yes cannot choose, a number does.
firmware fw2.bin K53R-TX 209C 0x20000 2
updater Two fw.bin fw2.bin
expect_refusal twoimages 12 err "Several images" ./Two --yes
printf '1\nn\n' > pick.txt
STDIN=pick.txt expect_refusal picked 11 out "Are you sure to update firmware from Ver 209A to Ver 209C" ./Two

# --list: the drive and what fits it; INQUIRY and identify only.
run list ./Two --list
expect_rc list 0
expect_text list out "/dev/sg1 (/dev/sr0)  KORVADYN CD-RW K53R  model K53R-TX, firmware 209A"
expect_text list out "image 1: K53R-TX   209C"
expect_text list out "image 2: K53R-TX   209B"
check; [ -z "$(grep -v 'cdb=12 \|cdb=33 0C F0 ' wire.log)" ] || fail "list: other commands than INQUIRY and identify"

# --split: Bin@1.bin is the image nearest the check word; no drive is touched.
mkdir split
run split ./Two --split split
expect_rc split 0
expect_text split out "Create split/Bin@2.bin"
check; cmp -s split/Bin@1.bin fw2.bin || fail "split: Bin@1.bin is not the last image"
check; cmp -s split/Bin@2.bin fw.bin || fail "split: Bin@2.bin is not the first image"
check; [ ! -s wire.log ] || fail "split: commands were sent"
run splitfail ./Two --split "$work/missing"
expect_rc splitfail 13
expect_text splitfail out "Can't create $work/missing/Bin@1.bin"
run splitdamaged ./Damaged --split split
expect_rc splitdamaged 8

# --version, --help.
run version ./MyUpdater --version
expect_rc version 0
expect_text version out "Firmware Update Ver 1.94"
check; [ ! -s wire.log ] || fail "version: commands were sent"
run help ./MyUpdater --help
expect_rc help 0
expect_no_text help out "--all-images"
expect_text help out "  9  Model name is mismatch!!"
run helpall ./MyUpdater --help --all
expect_text helpall out "--all-images"
run usage ./MyUpdater --bogus
expect_rc usage 2

finish
