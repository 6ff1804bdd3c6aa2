#!/bin/bash
# The shipped 32-bit Windows program on a real kernel's SCSI stack
# (scripts/vmtest with tests/vm/windows_program.cfg), in one guest boot: the
# packed build/win/fwupdate.exe runs under the guest's 32-bit Wine on Wine's
# own NT SCSI pass-through, which reaches the drives through the guest
# kernel's sr driver (no preload library, no stand-in). vm_clickthrough.exe
# clicks through its windows on the guest's own X server. A full update with
# read-back, and an update that a drive refuses at its first Write Buffer.
set -u
cd /tmp || exit 1
passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok   $1"; }
bad() { failed=$((failed + 1)); echo "FAIL $1"; [ -z "${2:-}" ] || echo "$2" | sed 's/^/     /'; }
summary() {
  cp /tmp/wp/*.out /tmp/wp/*.err "$FWVM_RESULTS/" 2>/dev/null
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
  exit
}
echo "measure: guest up $(cut -d' ' -f1 /proc/uptime) s after its kernel started"

# shellcheck source=scripts/vm/wine-guest.sh
source "$FWVM_SOURCE/scripts/vm/wine-guest.sh"
trap wine_guest_stop EXIT
if wine_guest_start; then
  ok "32-bit Wine on its own X server, the drives as its CD-ROM interfaces"
else
  bad "32-bit Wine on its own X server, the drives as its CD-ROM interfaces"
  summary
fi
echo "measure: fresh 32-bit Wine prefix in the guest: $WINE_GUEST_PREFIX_MS ms"

read -r -a sr <<< "$FWVM_SR"
mkdir -p /tmp/wp && cd /tmp/wp || exit 1
"$FWVM_BUILD/mkfirmware" K53R-TX 209B 0x80000 fw.bin 3 >/dev/null &&
  "$FWVM_BUILD/fwpack" "$FWVM_WIN/fwupdate.exe" MyUpdater.exe fw.bin >/dev/null ||
  { bad "an updater packed with a sample image"; summary; }

# click NAME ENTRY SECONDS: clicks through an update on entry ENTRY of the
# drive list; what it saw in NAME.out, Wine's messages in NAME.err.
click() {
  timeout $(( $3 + 30 )) wine "$FWVM_WIN/vm_clickthrough.exe" 'Z:\tmp\wp\MyUpdater.exe' \
    --drive "$2" --timeout "$3" > "$1.out" 2> "$1.err"
  rc=$?
  tr -d '\r' < "$1.out" > "$1.tmp" && mv "$1.tmp" "$1.out"
}
has() { grep -qE -- "$2" "$1.out"; }
wire() { grep -cE -- "$1" "$FWVM_RESULTS/wire.log"; }

# (a) Drive 0: the whole update, every chunk written and read back through
# the sr node, then the flash; the finish form (the success form).
success='text: \\nThe firmware of drive has been updated already\.\\nIf you do not reboot your computer, the device\\ndriver of CD-ROM/RW drive may not work properly\.\\nPlease reboot your computer\.$'
click update 0 150
if [ "$rc" = 0 ] && has update '^main dialog: Firmware Update Ver 1\.94$' &&
   has update '^drive: CD-RW K53R +from: K53R-TX +209A +to: K53R-TX +209B$' &&
   has update '^question: Are you sure to update firmware from\\nVer 209A to Ver 209B$' &&
   has update '^ending: FINISH  UPDATE$' && has update "^$success" && has update '^exit code: 0$'; then
  ok "full update: main dialog, question, the finish form's success text, exit code 0"
else bad "full update: main dialog, question, the finish form's success text, exit code 0" "rc=$rc $(cat update.out; tail -5 update.err)"; fi
flashed="$FWVM_RESULTS/flash-0-0-1.bin"
if [ -f "$flashed" ] && cmp -s "$flashed" fw.bin; then
  ok "full update: the drive's flash holds the image byte for byte"
else bad "full update: the drive's flash holds the image byte for byte" "$(ls -l "$FWVM_RESULTS"/flash-* 2>&1)"; fi
# 0x80000 bytes: 512 chunks written and 512 read back, as SG_IO requests of
# Wine's pass-through (33 0C: the old LUN bits cleared), then one flash.
writes=$(wire '^drive=0/0/0 .*dir=out length=1024 cdb=33 0C F1 .*result=done scsi=00')
reads=$(wire '^drive=0/0/0 .*dir=in length=1024 cdb=33 0C F2 .*result=done scsi=00')
flashes=$(wire '^drive=0/0/0 .*cdb=33 0C F1 00 00 00 80 .*result=done scsi=00')
if [ "$writes" = 512 ] && [ "$reads" = 512 ] && [ "$flashes" = 1 ]; then
  ok "full update: 512 chunks written, 512 read back, one flash command on the wire"
else bad "full update: 512 chunks written, 512 read back, one flash command on the wire" \
  "writes=$writes reads=$reads flash commands=$flashes"; fi
update_ms=$(sed -n 's/^start to ending: \([0-9]*\) ms$/\1/p' update.out)

# (b) Drive 1 refuses every Write Buffer (CHECK CONDITION, 44 00): the error
# message, and neither a further chunk nor the flash command.
click refused 1 90
if [ "$rc" = 0 ] && has refused '^drive: CD-RW K53R NOWB +from: K53R-TX +209A +to: K53R-TX +209B$' &&
   has refused '^ending: ERROR$' && has refused '^text: \\r\\n BUFFER WRITE ERROR!!$' &&
   has refused '^exit code: 0$'; then
  ok "refused Write Buffer: BUFFER WRITE ERROR!!"
else bad "refused Write Buffer: BUFFER WRITE ERROR!!" "rc=$rc $(cat refused.out; tail -5 refused.err)"; fi
tried=$(wire '^drive=0/1/0 .*dir=out .*cdb=33 0C F1 ')
refused=$(wire '^drive=0/1/0 .*dir=out .*cdb=33 0C F1 00 00 00 00 04 00 .*scsi=02 sense=4400')
later=$(wire '^drive=0/1/0 .*cdb=33 0C (F2 |F1 00 00 00 80 )')
if [ "$refused" -ge 1 ] && [ "$tried" = "$refused" ] && [ "$later" = 0 ] &&
   ! ls "$FWVM_RESULTS"/flash-0-1-*.bin >/dev/null 2>&1; then
  ok "refused Write Buffer: only the first chunk tried, no read-back, no flash command, nothing flashed"
else bad "refused Write Buffer: only the first chunk tried, no read-back, no flash command, nothing flashed" \
  "chunks tried=$tried refused first chunks=$refused read-backs and flash commands=$later $(ls "$FWVM_RESULTS"/flash-0-1-* 2>&1)"; fi

echo "measure: build/win/fwupdate.exe (32-bit, win32 threads) under the guest's Wine, /dev/srN"
echo "measure: start to the finish form of the full update (0x80000 bytes, read back, 10 s flash wait): ${update_ms:-?} ms"
summary
