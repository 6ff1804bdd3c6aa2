#!/bin/bash
# Guest checks of the simulated drive through the kernel's own SCSI stack
# (scripts/vmtest with tests/vm/sim_drive.cfg): an independent client,
# sg3_utils, sees what a real drive would show it.
set -u
cd /tmp || exit 1
passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok   $1"; }
bad() { failed=$((failed + 1)); echo "FAIL $1"; [ -z "${2:-}" ] || echo "$2" | sed 's/^/     /'; }
# expect NAME PATTERNS COMMAND...: the command's output (stdout and stderr)
# matches every line of PATTERNS (grep -E).
expect() {
  local name=$1 patterns=$2 output pattern
  shift 2
  output=$("$@" 2>&1)
  while read -r pattern; do
    grep -qE -- "$pattern" <<< "$output" || { bad "$name" "$output"; return; }
  done <<< "$patterns"
  ok "$name"
}
# same NAME FILE FILE: the two files hold the same bytes.
same() { if cmp "$2" "$3"; then ok "$1"; else bad "$1"; fi; }

read -r -a sg <<< "$FWVM_SG"
read -r -a sr <<< "$FWVM_SR"
vendor_cdb() { echo "33 0C $1 00 $2 00 00 04 00 4B 56 44"; }

# Two drives, two LUNs, each with an sr and an sg node, type 5.
[ "${#sg[@]}" -eq 2 ] && [ "${#sr[@]}" -eq 2 ] && ok "one device per configured drive" ||
  bad "one device per configured drive" "sg: $FWVM_SG sr: $FWVM_SR"

# INQUIRY as the kernel and sg_inq see it.
expect "sg_inq: drive 0 identity" \
  'PDT=5
Vendor identification: KORVADYN
Product identification: CD-RW K53R
Product revision level: 1\.00' sg_inq "${sg[0]}"
expect "sg_inq: drive 1 identity" \
  'PDT=5
Vendor identification: ACME
Product identification: SIMULATED RW
Product revision level: 2\.10' sg_inq "${sg[1]}"
expect "the kernel attached a CD-ROM" 'Attached scsi CD-ROM sr' dmesg

# Identify Model (the pass-through form 33 0C).
sg_raw -C 1 -r 16 -o identify.bin "${sg[0]}" 33 0C F0 00 00 00 00 00 10 00 00 00 >/dev/null 2>&1
if [ "$(tail -c 14 identify.bin 2>/dev/null)" = "K53R-TX   209A" ]; then ok "Identify Model"; else
  bad "Identify Model" "$(od -c identify.bin 2>&1)"; fi
# The ASPI form of byte 1 reaches the drive unchanged (the kernel writes no
# LUN into it) and is refused as a drive behind a pass-through refuses it.
expect "33 6C arrives as it was sent" 'Invalid field in cdb' \
  sg_raw -C 1 -r 16 "${sg[0]}" 33 6C F0 00 00 00 00 00 10 00 00 00

# Two 1024-byte chunks written, read back, then flashed.
head -c 1024 /dev/urandom > chunk0.bin
head -c 1024 /dev/urandom > chunk1.bin
expect "Write Buffer at 0" 'SCSI Status: Good' sg_raw -C 1 -s 1024 -i chunk0.bin "${sg[0]}" $(vendor_cdb F1 00)
expect "Write Buffer at 400h" 'SCSI Status: Good' sg_raw -C 1 -s 1024 -i chunk1.bin "${sg[0]}" $(vendor_cdb F1 04)
sg_raw -C 1 -r 1024 -o back0.bin "${sg[0]}" $(vendor_cdb F2 00) >/dev/null 2>&1
sg_raw -C 1 -r 1024 -o back1.bin "${sg[0]}" $(vendor_cdb F2 04) >/dev/null 2>&1
same "Read Buffer at 0 returns the chunk" chunk0.bin back0.bin
same "Read Buffer at 400h returns the chunk" chunk1.bin back1.bin
expect "Update Firmware" 'SCSI Status: Good' sg_raw -C 1 "${sg[0]}" 33 0C F1 00 00 00 80 00 00 4B 56 44
cat chunk0.bin chunk1.bin > image.bin
same "the flashed image lands in the results" image.bin "$FWVM_RESULTS/flash-0-0-1.bin"

# Configured faults of drive 1 come back as a real drive's would.
expect "first write of drive 1 passes" 'SCSI Status: Good' \
  sg_raw -C 1 -s 1024 -i chunk0.bin "${sg[1]}" $(vendor_cdb F1 00)
expect "fault: CHECK CONDITION with its sense" \
  'Check Condition
Sense key: Hardware Error
Internal target failure' sg_raw -C 1 -s 1024 -i chunk1.bin "${sg[1]}" $(vendor_cdb F1 04)
expect "fault: a short read tells the residual" 'Writing 512 bytes' \
  sg_raw -C 1 -r 1024 -o short.bin "${sg[1]}" $(vendor_cdb F2 00)
sg_raw -C 1 -r 1024 -o corrupt.bin "${sg[1]}" $(vendor_cdb F2 00) >/dev/null 2>&1
differs=$(cmp -l chunk0.bin corrupt.bin 2>/dev/null | wc -l)
if [ "$differs" -eq 1 ]; then ok "fault: corrupt data arrives with one byte wrong"; else
  bad "fault: corrupt data arrives with one byte wrong" "$differs bytes differ"; fi
expect "first identify of drive 1 passes" 'K53R-PX   210C' \
  sg_raw -C 1 -r 16 "${sg[1]}" 33 0C F0 00 00 00 00 00 10 00 00 00
expect "fault: a rejected request fails without data" 'Reservation Conflict
no data received' sg_raw -C 1 -r 16 "${sg[1]}" 33 0C F0 00 00 00 00 00 10 00 00 00

# The kernel's permission filter for a user without CAP_SYS_RAWIO.
identify=(-C 1 -r 16 33 0C F0 00 00 00 00 00 10 00 00 00)
expect "user: 33h through sr is refused" 'Operation not permitted' \
  as-user sg_raw "${identify[@]:0:4}" "${sr[0]}" "${identify[@]:4}"
expect "user: 33h through sr opened read-only is refused" 'Operation not permitted' \
  as-user sg_raw -R "${identify[@]:0:4}" "${sr[0]}" "${identify[@]:4}"
expect "user: 33h through sg opened read-only is refused" 'Operation not permitted' \
  as-user sg_raw -R "${identify[@]:0:4}" "${sg[0]}" "${identify[@]:4}"
expect "user: 33h through sg opened read-write passes" 'K53R-TX   209A' \
  as-user sg_raw "${identify[@]:0:4}" "${sg[0]}" "${identify[@]:4}"
expect "user outside the cdrom group cannot open sg" 'Permission denied' \
  as-user --no-devices sg_raw "${identify[@]:0:4}" "${sg[0]}" "${identify[@]:4}"

# The wire log: what the drive saw, and what it could not see.
wire="$FWVM_RESULTS/wire.log"
expect "wire log: vendor commands arrive cut to 10 bytes" \
  'cdb=33 0C F1 00 04 00 00 04 00 4B unseen=10-11 result=done' cat "$wire"
expect "wire log: the sr probe met a drive without a medium" 'cdb=00 00 00 00 00 00 result=done scsi=02 sense=3A00' \
  cat "$wire"

# Round trips from one long-lived process; every chunk verified.
if loop=$("$FWVM_BUILD/sgio_loop" "${sg[0]}" 200 2>&1); then ok "SG_IO loop: $loop"; else bad "SG_IO loop" "$loop"; fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
