#!/bin/bash
# fwupdate-linux on a real kernel's SCSI stack (scripts/vmtest with
# tests/vm/linux_program.cfg), in one guest boot: drives found by discovery,
# a full update with read-back as an ordinary user of group cdrom, a failed
# update, the user without access to the drives, the program's cost
# against the same number of bare SG_IO round trips, an update under a rain
# of signals and stops, a second program on a held drive, and a signal after
# the update that ends the program as usual.
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
# An update under signals: from the first buffer command until the drive
# has settled, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP and SIGSTOP with
# SIGCONT arrive every 0.3 s. On the real sg driver an interrupted wait must
# never send a command again. Meanwhile a second program asks for the drive.
wire=$FWVM_RESULTS/wire.log
"$build/mkfirmware" K53R-TX 209B 0x10000 fw2.bin 5 >/dev/null
"$build/fwpack" "$program" Signals fw2.bin >/dev/null
chmod 755 Signals
./Signals --yes --drive "${sg[2]}" > signals.out 2>&1 &
pid=$!
for _ in $(seq 300); do  # the first buffer command of drive 2 (the signals are held from it on)
  grep -q '^drive=0/2/2 .*cdb=33 0C F1 ' "$wire" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break; sleep 0.1
done
./Signals --yes --drive "${sg[2]}" > busy.out 2>&1 &
busy_pid=$!
sent=0 settled_at=
while kill -0 "$pid" 2>/dev/null; do
  # "Finish update" opens the drive's 10 s to settle; signals go on for 6 s of them.
  if [ -z "$settled_at" ] && grep -q "Finish update, Please wait." signals.out; then settled_at=$(now_ms); fi
  [ -n "$settled_at" ] && [ $(( $(now_ms) - settled_at )) -gt 6000 ] && break
  case $(( sent % 6 )) in
    0) kill -INT "$pid" ;; 1) kill -TERM "$pid" ;; 2) kill -HUP "$pid" ;;
    3) kill -QUIT "$pid" ;; 4) kill -TSTP "$pid" ;;
    5) kill -STOP "$pid"; sleep 0.1; kill -CONT "$pid" ;;
  esac 2>/dev/null
  sent=$((sent + 1)); sleep 0.3
done
wait "$pid"; rc=$?
wait "$busy_pid"; busy_rc=$?
# Each command as the drive received it (a late answer is a second line).
arrived() { grep "^drive=0/2/2 " "$wire" | grep -v ' late$' | grep -c -- "$1"; }
distinct() { grep "^drive=0/2/2 " "$wire" | grep -v ' late$' | grep -o -- "$1" | sort -u | wc -l; }
flashes=$(arrived 'cdb=33 0C F1 00 00 00 [84]0 ')
writes=$(arrived 'cdb=33 0C F1 .. .. .. 00 04 00 ') reads=$(arrived 'cdb=33 0C F2 ')
write_offsets=$(distinct 'cdb=33 0C F1 .. .. .. 00 04 00') read_offsets=$(distinct 'cdb=33 0C F2 .. .. ..')
flashed=$FWVM_RESULTS/flash-0-2-1.bin
echo "measure: $sent signals and stops sent during the update; $flashes flash, $writes writes, $reads reads on the wire"
if [ "$rc" = 0 ] && [ "$sent" -ge 30 ] && [ "$flashes" = 1 ] && [ "$writes" = 64 ] && [ "$write_offsets" = 64 ] &&
   [ "$reads" = 64 ] && [ "$read_offsets" = 64 ] && cmp -s "$flashed" fw2.bin && has signals "now reports firmware Ver 209B"; then
  ok "update under signals and stops: one Update Firmware, every chunk written and read once, flash byte for byte, exit 0"
else bad "update under signals and stops" "rc=$rc sent=$sent flash=$flashes writes=$writes/$write_offsets reads=$reads/$read_offsets $(tail -5 signals.out)"; fi
if [ "$busy_rc" = 15 ] && has busy "the drive is in use by another program"; then
  ok "a second program on the held drive: in use by another program, exit 15"
else bad "a second program on the held drive" "rc=$busy_rc $(cat busy.out)"; fi

# After the drive has settled the signals act again: SIGTERM while the
# program asks drive 3 for its new firmware ends it.
"$build/mkfirmware" K53R-TX 209B 0x1000 fw3.bin 6 >/dev/null
"$build/fwpack" "$program" Late fw3.bin >/dev/null
chmod 755 Late
./Late --yes --drive "${sg[3]}" > late.out 2>&1 &
pid=$!
for _ in $(seq 400); do
  grep -q "Asking the drive for its new firmware" late.out && break
  kill -0 "$pid" 2>/dev/null || break; sleep 0.1
done
kill -TERM "$pid" 2>/dev/null
asked_at=$(now_ms)
wait "$pid"; rc=$?
ended_ms=$(( $(now_ms) - asked_at ))
if [ "$rc" = 143 ] && [ "$ended_ms" -lt 2000 ] && cmp -s "$FWVM_RESULTS/flash-0-3-1.bin" fw3.bin; then
  ok "a signal after the drive settled ends the program at once (SIGTERM, ${ended_ms} ms)"
else bad "a signal after the drive settled ends the program" "rc=$rc after ${ended_ms} ms $(tail -3 late.out)"; fi

cp ./*.out "$FWVM_RESULTS/" 2>/dev/null

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
