#!/usr/bin/env bash
# The SG_IO preload library on its own: two requests at once from two threads,
# on two nodes of either kind (an sg node through ioctl or through write(),
# poll() and read(); a Wine device file through ioctl), are served one after
# the other under the library's one lock, each whole in the wire log.
source "$(dirname "$0")/lib.sh"

pair="$build/sg_pair"
[ -x "$pair" ] || { echo "FAIL: $pair is not built"; exit 1; }
delay=300
simconf "drive 0 0 0" "delay $delay" "drive 0 1 0" "delay $delay"
device="$work/wine#cdrom#0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"
: > "$device"

# served_apart NAME: both answered, the second only after the first's delay,
# one whole wire log line per drive.
served_apart() {
  expect_rc "$1" 0
  local elapsed
  elapsed=$(sed -n 's/^elapsed_ms=//p' "$1.out")
  check; [ -n "$elapsed" ] && [ "$elapsed" -ge $((2 * delay)) ] ||
    fail "$1: both answered in ${elapsed:-?} ms, less than two delays of $delay ms: served side by side"
  for dev in 0 1; do
    check; [ "$(grep -Ec "^sgio dev=$dev .*cdb=12 .* driver=00( delay=[0-9]+)?\$" wire.log)" = 1 ] ||
      fail "$1: not one whole INQUIRY line for drive $dev in the wire log: $(cat wire.log)"
  done
}

run nodes "$pair" ioctl:/dev/sg1 write:/dev/sg2
served_apart nodes

run written "$pair" write:/dev/sg1 write:/dev/sg2
served_apart written

run kinds "$pair" "ioctl:$device" ioctl:/dev/sg2
served_apart kinds

finish
