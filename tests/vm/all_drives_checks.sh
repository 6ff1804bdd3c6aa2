#!/bin/bash
# fwupdate-linux --all-drives on a real kernel's SCSI stack (scripts/vmtest
# with tests/vm/all_drives.cfg), in one guest boot: three drives, the middle
# one refusing every Write Buffer. The two others are updated at once, each
# exactly once and byte for byte; the failing one is left as it was; the
# status says some were updated. Then the same three drives one run after
# another, for the time it saves.
set -u
cd /tmp
passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok   $1"; }
bad() { failed=$((failed + 1)); echo "FAIL $1"; [ -z "${2:-}" ] || echo "$2" | sed 's/^/     /'; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

build=$FWVM_BUILD
program=$build/release/fwupdate-linux
[ -x "$program" ] || program=$build/fwupdate-linux
read -r -a sg <<< "$FWVM_SG"
mkdir -p /tmp/ad && cd /tmp/ad
# A small image: the time is then mostly the drive's 10 s to program its
# flash, which the drives spend side by side.
"$build/mkfirmware" K53R-TX 209B 0x10000 fw.bin 7 >/dev/null
"$build/fwpack" "$program" Tower fw.bin >/dev/null

start=$(now_ms)
./Tower --all-drives --yes > all.out 2>&1; rc=$?
all_ms=$(( $(now_ms) - start ))
flash() { echo "$FWVM_RESULTS/flash-0-$1-$2.bin"; }
if [ "$rc" = 40 ] && grep -q "2 of 3 drive(s) updated." all.out && grep -q "buffer-write-error (21)" all.out &&
   cmp -s "$(flash 0 1)" fw.bin && cmp -s "$(flash 2 1)" fw.bin && [ ! -e "$(flash 1 1)" ] &&
   [ ! -e "$(flash 0 2)" ] && [ ! -e "$(flash 2 2)" ]; then
  ok "--all-drives over three drives: two updated once each byte for byte, the refusing one untouched, exit 40"
else bad "--all-drives over three drives" "rc=$rc $(ls "$FWVM_RESULTS") $(tail -8 all.out)"; fi

# The same drives, one run after another.
start=$(now_ms)
singles_ok=1
for i in 0 1 2; do
  ./Tower --yes --drive "${sg[$i]}" > "single$i.out" 2>&1
  status=$?
  case $i in 1) [ "$status" = 21 ] || singles_ok=0 ;; *) [ "$status" = 0 ] || singles_ok=0 ;; esac
done
singles_ms=$(( $(now_ms) - start ))
echo "measure: --all-drives over 3 drives (one failing) ${all_ms} ms; the 3 drives one run after another ${singles_ms} ms"
echo "measure: ratio all-drives / one after another = $(( all_ms * 100 / singles_ms )) %"
if [ "$singles_ok" = 1 ] && [ $(( all_ms * 100 / singles_ms )) -lt 80 ]; then
  ok "the drives are updated side by side: ${all_ms} ms against ${singles_ms} ms one after another"
else bad "the drives are updated side by side" "singles_ok=$singles_ok all=${all_ms} singles=${singles_ms} $(tail -3 single0.out)"; fi

cp ./*.out "$FWVM_RESULTS/" 2>/dev/null
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
