#!/usr/bin/env bash
# fwupdate-linux on a terminal (tmux): the question, the progress bar under
# the power warning, Ctrl-C and Ctrl-Z during the transfer that stop nothing,
# and the final message.
source "$(dirname "$0")/lib.sh"
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed"; exit 1; }

firmware fw.bin K53R-TX 209B
updater MyUpdater fw.bin
# Each command takes a few milliseconds, so the transfer lasts seconds.
simconf "drive 0 0 0" "model K53R-TX" "version 209A" "delay 4"
mkdir out

socket="fwtest-$$"
tmx() { tmux -L "$socket" "$@"; }
trap 'tmx kill-server 2>/dev/null; rm -rf "$work"' EXIT
screen() { tmx capture-pane -p -t run; }
# wait_for TEXT SECONDS: until the pane shows TEXT.
wait_for() {
  local i shown
  for ((i = 0; i < $2 * 10; i++)); do
    shown=$(screen 2>/dev/null) || break
    grep -qF -- "$1" <<< "$shown" && return 0
    sleep 0.1
  done
  fail "the screen never showed \"$1\"; it shows:"
  screen 2>&1 | head -40
  return 1
}

tmx new-session -d -s run -x 110 -y 30 \
  "env FWSIM_CONFIG='$work/sim.conf' FWSIM_OUT='$work/out' FWSIM_LOG='$work/wire.log' LD_PRELOAD='$preload' ./MyUpdater; echo \$? > '$work/rc'; sleep 600"

check; wait_for "Are you sure to update firmware from Ver 209A to Ver 209B [y/N]" 20
tmx send-keys -t run y Enter

check; wait_for "WARNING!! THIS PROGRAM IS PROCESSING. PLESASE DON'T TURN POWER OFF" 20
# Write and read-back texts alternate while the chunks go out.
check; wait_for "data from bufer, Offset = 0x" 20
check; screen | grep -q '^\[#*-*\] *[0-9]*%' || { fail "no progress bar"; screen; }
# The warning stands right above the bar.
check; screen | grep -A1 -F "PLESASE DON'T TURN POWER OFF" | grep -q '^\[' || { fail "the warning is not above the bar"; screen; }

tmx send-keys -t run C-c
check; wait_for "The update cannot be cancelled" 10
tmx send-keys -t run C-z
tmx send-keys -t run C-c
check; wait_for "Finish update, Please wait." 60
check; screen | grep -A1 -F "PLESASE DON'T TURN POWER OFF" | grep -q '^\[' || { fail "the warning left the bar during the settle"; screen; }
check; wait_for "The drive now reports firmware Ver 209B." 60
for ((i = 0; i < 100; i++)); do [ -s rc ] && break; sleep 0.1; done
check; [ "$(cat rc 2>/dev/null)" = 0 ] || fail "exit status $(cat rc 2>/dev/null)"
expect_flashed terminal fw.bin

finish
