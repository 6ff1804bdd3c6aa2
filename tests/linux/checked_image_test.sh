#!/usr/bin/env bash
# fwupdate-linux flashes the image the user chose from the file it checked:
# an updater rewritten while the question waits still sends the checked
# image; images named alike (or unnamed, under --all-images) each flash
# their own image.
source "$(dirname "$0")/lib.sh"

firmware a.bin K53R-TX 209B 0x20000 1
firmware b.bin K53R-TX 209B 0x20000 2
firmware c.bin K53R-TX 209C 0x20000 3
simconf "drive 0 0 0" "model K53R-TX" "version 209A"

# The updater is rewritten in place (same file, same layout, another image)
# once the question is on screen; then the answer comes.
updater Checked a.bin
updater Other c.bin
cp Checked vendor.exe
mkfifo answer
(
  exec 3> answer
  for _ in $(seq 300); do grep -q 'Are you sure' rewrite.out 2>/dev/null && break; sleep 0.1; done
  cat Other > vendor.exe
  echo y >&3
) &
STDIN=answer run rewrite "$prog" vendor.exe
wait
check; cmp -s vendor.exe Other || fail "rewrite: the updater was not rewritten during the run"
expect_rc rewrite 0
expect_text rewrite out "from Ver 209A to Ver 209B"
expect_flashed rewrite a.bin

# Two images of one name: image 1 is the one packed last.
updater Twins a.bin b.bin
printf '1\ny\n' > one.txt
STDIN=one.txt run twin1 ./Twins
expect_rc twin1 0
expect_flashed twin1 b.bin
printf '2\ny\n' > two.txt
STDIN=two.txt run twin2 ./Twins
expect_rc twin2 0
expect_flashed twin2 a.bin

# Unnamed images, every image offered: the second is flashed when chosen.
# They carry no name for the drive to report afterwards (exit 30).
{ head -c 256 /dev/zero; head -c 7936 /dev/urandom; } > u1.bin
{ head -c 256 /dev/zero; head -c 7936 /dev/urandom; } > u2.bin
updater Unnamed u1.bin u2.bin
STDIN=two.txt run unnamed ./Unnamed --all-images
expect_rc unnamed 30
expect_flashed unnamed u1.bin

finish
