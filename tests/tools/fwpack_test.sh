#!/usr/bin/env bash
# fwpack and mkfirmware from the outside: packing, listing, and every refusal
# exiting non-zero without leaving an OUTPUT behind.
set -u
build=${1:?usage: fwpack_test.sh NATIVE_BUILD_DIR}
fwpack="$build/fwpack"
mkfw="$build/mkfirmware"
for tool in "$fwpack" "$mkfw"; do
  [ -x "$tool" ] || { echo "FAIL: $tool is not built"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_refusal WHAT OUTPUT COMMAND...: non-zero exit, a message on stderr,
# and neither OUTPUT nor a temporary file beside it.
expect_refusal() {
  local what=$1 output=$2
  shift 2
  if "$@" >out.txt 2>err.txt; then
    fail "$what: exit status 0"
  fi
  [ -s err.txt ] || fail "$what: no message"
  [ -e "$output" ] && fail "$what: $output was left behind"
  ls "$output".?????? >/dev/null 2>&1 && fail "$what: temporary file left behind"
  return 0
}

head -c 1001 /dev/zero | tr '\0' 'M' >prog.exe
"$mkfw" K53R-PX 1.94 0x20000 a.bin 11 >/dev/null || fail "mkfirmware a.bin"
"$mkfw" K53R-TX 208W 0x800 b.bin 12 >/dev/null || fail "mkfirmware b.bin"
"$mkfw" K53R-T 0001 65536 c.bin >/dev/null || fail "mkfirmware c.bin"

# Packing three images.
"$fwpack" prog.exe upd.exe a.bin b.bin c.bin >/dev/null || fail "pack three images"
expected_size=$((1004 + 4 + 0x20000 + 4 + 0x800 + 4 + 0x10000 + 4 + 4))
[ "$(stat -c %s upd.exe)" = "$expected_size" ] || fail "packed size $(stat -c %s upd.exe) != $expected_size"
cmp -s -n 1001 prog.exe upd.exe || fail "program image not at the start"

"$fwpack" --list upd.exe >list.txt || fail "--list of a good updater"
grep -q '3 images' list.txt || fail "--list count: $(cat list.txt)"
c_off=$((1008 + 0x20000 + 4 + 0x800 + 4))
printf -v want0 '0      0x%08x  %-10u  "K53R-T    0001"' "$c_off" 65536
printf -v want1 '1      0x%08x  %-10u  "K53R-TX   208W"' $((1008 + 0x20000 + 4)) 2048
printf -v want2 '2      0x%08x  %-10u  "K53R-PX   1.94"' 1008 131072
grep -qxF "$want0" list.txt || fail "entry 0 line missing: $want0 in $(cat list.txt)"
grep -qxF "$want1" list.txt || fail "entry 1 line missing: $want1"
grep -qxF "$want2" list.txt || fail "entry 2 line missing: $want2"

# Damaged updaters are named as such.
cp upd.exe dmg.exe
printf 'X' | dd of=dmg.exe bs=1 seek=500 conv=notrunc 2>/dev/null
if "$fwpack" --list dmg.exe >/dev/null 2>err.txt; then fail "--list of a damaged file exits 0"; fi
grep -q 'damaged: the word sum' err.txt || fail "damaged reason: $(cat err.txt)"
head -c 1001 upd.exe >trunc.exe
if "$fwpack" --list trunc.exe >/dev/null 2>err.txt; then fail "--list of a truncated file exits 0"; fi
grep -q 'damaged: the file length is not a multiple of 4' err.txt || fail "truncated reason: $(cat err.txt)"
if "$fwpack" --list nothere.exe >/dev/null 2>&1; then fail "--list of a missing file exits 0"; fi

# Refusals.
: >empty.bin
head -c 5 a.bin >odd.bin
expect_refusal "missing program" o1.exe "$fwpack" noprog.exe o1.exe a.bin
expect_refusal "missing image" o2.exe "$fwpack" prog.exe o2.exe a.bin nothere.bin
expect_refusal "empty image" o3.exe "$fwpack" prog.exe o3.exe empty.bin
grep -q 'empty' err.txt || fail "empty image message: $(cat err.txt)"
expect_refusal "odd image" o4.exe "$fwpack" prog.exe o4.exe a.bin odd.bin
grep -q 'not a multiple of 4' err.txt || fail "odd image message: $(cat err.txt)"
many=()
for i in $(seq 101); do many+=(b.bin); done
expect_refusal "101 images" o5.exe "$fwpack" prog.exe o5.exe "${many[@]}"
grep -q 'at most 100' err.txt || fail "101 images message: $(cat err.txt)"
expect_refusal "program already packed" o6.exe "$fwpack" upd.exe o6.exe a.bin
grep -q 'already carries' err.txt || fail "packed program message: $(cat err.txt)"
expect_refusal "no image" o7.exe "$fwpack" prog.exe o7.exe
expect_refusal "output directory missing" nodir/o8.exe "$fwpack" prog.exe nodir/o8.exe a.bin

# A refusal leaves an existing OUTPUT as it was; OUTPUT may not be an input.
cp upd.exe keep.exe
if "$fwpack" prog.exe keep.exe odd.bin 2>/dev/null; then fail "odd image over an existing output exits 0"; fi
cmp -s upd.exe keep.exe || fail "existing output changed by a refusal"
cp prog.exe self.exe
if "$fwpack" self.exe self.exe a.bin 2>/dev/null; then fail "OUTPUT = PROGRAM exits 0"; fi
cmp -s prog.exe self.exe || fail "PROGRAM changed when given as OUTPUT"

# 100 images are the limit, not a refusal.
hundred=()
for i in $(seq 100); do hundred+=(b.bin); done
"$fwpack" prog.exe h.exe "${hundred[@]}" >/dev/null || fail "100 images refused"
"$fwpack" --list h.exe | grep -q '100 images' || fail "100 images not listed"

# mkfirmware refusals.
expect_refusal "size not a multiple of 4" m1.bin "$mkfw" M 1 0x61 m1.bin
expect_refusal "size too small" m2.bin "$mkfw" M 1 0x5c m2.bin
expect_refusal "size not a number" m3.bin "$mkfw" M 1 12ab m3.bin
expect_refusal "model too long" m4.bin "$mkfw" ABCDEFGHIJK 1 0x100 m4.bin
expect_refusal "version too long" m5.bin "$mkfw" M 12345 0x100 m5.bin
expect_refusal "seed not a number" m6.bin "$mkfw" M 1 0x100 m6.bin -3
expect_refusal "size too large" m7.bin "$mkfw" M 1 0x10000004 m7.bin
expect_refusal "size behind a blank" m8.bin "$mkfw" M 1 "$(printf '\t400')" m8.bin

# Numbers are decimal, or hexadecimal behind 0x: a leading zero is no octal.
"$mkfw" M 1 0400 n1.bin >/dev/null || fail "mkfirmware SIZE 0400"
[ "$(stat -c %s n1.bin 2>/dev/null)" = 400 ] || fail "SIZE 0400 gave $(stat -c %s n1.bin 2>/dev/null) bytes, not 400"
"$mkfw" M 1 0X190 n2.bin 010 >/dev/null || fail "mkfirmware SIZE 0X190"
"$mkfw" M 1 400 n3.bin 10 >/dev/null || fail "mkfirmware SIZE 400"
cmp -s n2.bin n3.bin || fail "SIZE 0X190 SEED 010 differs from SIZE 400 SEED 10"

"$fwpack" --help | grep -q 'fwpack --list' || fail "fwpack --help"
"$mkfw" --help | grep -q 'MODEL VERSION SIZE' || fail "mkfirmware --help"
if "$fwpack" >/dev/null 2>&1; then fail "fwpack without arguments exits 0"; fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "fwpack and mkfirmware: all checks passed"
