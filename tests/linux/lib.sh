# Shared steps of the whole-program tests of fwupdate-linux: an updater made
# with fwpack, the simulated drives as SCSI generic devices (the LD_PRELOAD
# library libfwsim_sgio.so), one run at a time with its output, exit status
# and the drive's wire log kept for the checks.
# Sourced by tests/linux/*_test.sh with the native build folder as $1.
set -u
build=$(cd "${1:?usage: $0 NATIVE_BUILD_DIR}" && pwd)
prog="$build/fwupdate-linux"
preload="$build/libfwsim_sgio.so"
for f in "$prog" "$preload" "$build/fwpack" "$build/mkfirmware"; do
  [ -e "$f" ] || { echo "FAIL: $f is not built"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { checks=$((checks + 1)); }

# firmware FILE MODEL VERSION [SIZE] [SEED]: a sample image.
firmware() { "$build/mkfirmware" "$2" "$3" "${4:-0x80000}" "$1" "${5:-1}" >/dev/null; }
# updater OUTPUT IMAGE...: fwupdate-linux with the images appended.
updater() { local out=$1; shift; "$build/fwpack" "$prog" "$out" "$@" >/dev/null; }
# simconf TEXT: the simulated drives' configuration.
simconf() { printf '%s\n' "$@" > sim.conf; }

# run NAME COMMAND...: runs with the simulated drives; stdin from $STDIN
# (default: nothing), at most $RUN_TIMEOUT seconds (default 180). Leaves
# $rc, NAME.out, NAME.err, wire.log and out/.
run() {
  local name=$1; shift
  rm -rf out; mkdir out; : > wire.log
  # The program's records and the machine's power supplies are the test's
  # own: $work/state stands in for /var/lib/fwupdate-linux, $POWER (default:
  # a machine without any supply) for /sys/class/power_supply.
  mkdir -p "$work/state" "$work/no-power"
  timeout "${RUN_TIMEOUT:-180}" env FWSIM_CONFIG="$work/sim.conf" FWSIM_OUT="$work/out" FWSIM_LOG="$work/wire.log" \
      FWSIM_DENY="${DENY:-}" FWSIM_STATE="$work/state" FWSIM_POWER="${POWER:-$work/no-power}" LD_PRELOAD="$preload" \
      "$@" > "$name.out" 2> "$name.err" < "${STDIN:-/dev/null}"
  rc=$?
}

expect_rc() { check; [ "$rc" = "$2" ] || fail "$1: exit status $rc, expected $2 (stderr: $(head -c 300 "$1.err"))"; }
# expect_text NAME FILE-SUFFIX TEXT: TEXT appears in NAME.out or NAME.err.
expect_text() { check; grep -qF -- "$3" "$1.$2" || fail "$1: no \"$3\" in $1.$2"; }
expect_no_text() { check; ! grep -qF -- "$3" "$1.$2" || fail "$1: \"$3\" in $1.$2"; }
# Commands on the wire.
flash_commands() { grep -c 'cdb=33 0C F1 00 00 00 [84]0 ' wire.log; }
buffer_commands() { grep -c 'cdb=33 0C F[12] ' wire.log; }
expect_no_flash() { check; [ "$(flash_commands)" = 0 ] || fail "$1: Update Firmware was sent"; }
expect_flashed() {  # NAME IMAGE: exactly one flash, holding IMAGE byte for byte
  check
  [ "$(flash_commands)" = 1 ] || fail "$1: $(flash_commands) Update Firmware commands"
  cmp -s out/flash-0-0-1.bin "$2" || fail "$1: the drive's flash does not hold $2"
}

finish() {
  echo "$checks checks, $failures failed"
  [ "$failures" = 0 ]
}
