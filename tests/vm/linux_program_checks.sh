#!/bin/bash
# fwupdate-linux on a real kernel's SCSI stack (scripts/vmtest with
# tests/vm/linux_program.cfg), in one guest boot: drives found by discovery,
# a full update with read-back as an ordinary user of group cdrom, a failed
# update, the user without access to the drives, and the program's cost
# against the same number of bare SG_IO round trips.
set -u
cd /tmp
passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok   $1"; }
bad() { failed=$((failed + 1)); echo "FAIL $1"; [ -z "${2:-}" ] || echo "$2" | sed 's/^/     /'; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

build=$FWVM_BUILD
# The program as it ships (optimised, no sanitizers) when it is built.
program=$build/release/fwupdate-linux
[ -x "$program" ] || program=$build/fwupdate-linux
read -r -a sg <<< "$FWVM_SG"
read -r -a sr <<< "$FWVM_SR"
read -r -a hctl <<< "$FWVM_HCTL"
# The unprivileged user runs what it may read.
mkdir -p /tmp/lp && cd /tmp/lp && chmod 755 /tmp/lp
"$build/mkfirmware" K53R-TX 209B 0x80000 fw.bin 3 >/dev/null
"$build/fwpack" "$program" MyUpdater fw.bin >/dev/null
chmod 755 MyUpdater; chmod 644 fw.bin

# run NAME COMMAND...: output in NAME.out, status in $rc.
run() { local name=$1; shift; "$@" > "$name.out" 2>&1; rc=$?; }
has() { grep -qF -- "$2" "$1.out"; }

# Discovery: both drives, by their sg and sr nodes.
start=$(now_ms)
run list ./MyUpdater --list
list_ms=$(( $(now_ms) - start ))
if [ "$rc" = 0 ] && has list "${sg[0]} (${sr[0]})" && has list "${sg[1]} (${sr[1]})" && has list "image 1: K53R-TX   209B"; then
  ok "--list finds both drives through sysfs"
else bad "--list finds both drives through sysfs" "rc=$rc $(cat list.out)"; fi

# A full update with read-back, as a user of group cdrom (no CAP_SYS_RAWIO):
# the vendor commands pass because the sg node is opened for writing.
start=$(now_ms)
run update as-user ./MyUpdater --yes --drive "${sr[0]}"
update_ms=$(( $(now_ms) - start ))
flashed=$(ls "$FWVM_RESULTS"/flash-0-0-*.bin 2>/dev/null | head -1)
if [ "$rc" = 0 ] && has update "The drive now reports firmware Ver 209B." && [ -n "$flashed" ] && cmp -s "$flashed" fw.bin; then
  ok "full update with read-back as an ordinary user: flash byte for byte, new version confirmed"
else bad "full update with read-back as an ordinary user" "rc=$rc flashed=$flashed $(tail -8 update.out)"; fi
if has update "echo 1 > /sys/class/scsi_device/${hctl[0]}/device/rescan"; then ok "rescan hint names the drive's address"
else bad "rescan hint names the drive's address" "$(tail -3 update.out)"; fi
reads=$(grep -c 'F2 ' "$FWVM_RESULTS/wire.log" 2>/dev/null)

# A drive that refuses every Write Buffer: the error, its status, no flash.
run failure ./MyUpdater --yes --drive "${sg[1]}"
if [ "$rc" = 21 ] && has failure "BUFFER WRITE ERROR!!" && ! ls "$FWVM_RESULTS"/flash-0-1-*.bin >/dev/null 2>&1; then
  ok "refused Write Buffer: BUFFER WRITE ERROR!!, exit 21, nothing flashed"
else bad "refused Write Buffer" "rc=$rc $(tail -3 failure.out)"; fi

# A user who may not open the drives: told so by name, never "not found".
run denied as-user --no-devices ./MyUpdater --yes
if [ "$rc" = 4 ] && has denied "Permission denied: cannot open ${sg[0]}" && has denied "sudo" && ! has denied "not found"; then
  ok "no access: the device is named with what to do, exit 4"
else bad "no access" "rc=$rc $(cat denied.out)"; fi

# The program's cost: the update's 1024 buffer commands (512 written, 512
# read back) against the same round trips from a minimal SG_IO loop, each
# run twice, alternately (the guest's speed drifts). The program's time
# leaves out the 10 s the drive is given to program its flash, and once more
# its start-up, file check and identification (the --list time).
loop_total=0 program_total=0 loop_ok=1
for round in 1 2; do
  start=$(now_ms)
  "$build/sgio_loop" "${sg[0]}" 512 > "loop$round.out" 2>&1 || loop_ok=0
  loop_total=$(( loop_total + $(now_ms) - start ))
  start=$(now_ms)
  ./MyUpdater --yes --drive "${sg[0]}" > "timed$round.out" 2>&1 || loop_ok=0
  program_total=$(( program_total + $(now_ms) - start - 10000 ))
done
loop_ms=$(( loop_total / 2 )) program_ms=$(( program_total / 2 ))
echo "measure: $program"
echo "measure: first update as a user ${update_ms} ms; start-up, file check and identification (--list) ${list_ms} ms"
echo "measure: full update with read-back without the 10 s flash wait: ${program_ms} ms (mean of 2)"
echo "measure: sgio_loop 512 Write Buffer + 512 Read Buffer round trips: ${loop_ms} ms (mean of 2)"
if [ "$loop_ok" = 1 ] && [ "$loop_ms" -gt 0 ]; then
  echo "measure: program / loop = $(( program_ms * 100 / loop_ms )) %; without start-up = $(( (program_ms - list_ms) * 100 / loop_ms )) %"
  ok "timed runs: the bare loop and two more updates"
else bad "timed runs: the bare loop and two more updates" "$(cat loop1.out loop2.out timed1.out timed2.out | tail -10)"; fi
cp ./*.out "$FWVM_RESULTS/" 2>/dev/null

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
