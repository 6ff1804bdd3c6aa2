#!/bin/bash
# fwsim-tcmu outside a guest: lists the configured drives as the guest's
# setup needs them, reports configuration errors, and without a kernel
# backstore to serve says so and fails instead of waiting.
set -u
handler="$1/fwsim-tcmu"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
result() { if [ "$2" = "$3" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); printf 'FAIL %s\n  got:  %s\n  want: %s\n' "$1" "$2" "$3"; fi; }

printf 'drive 0 0 0\ndrive 1 2 3\n  frobnicate\ndrive 0 1 0\n' > "$work/sim.cfg"
result "list" "$(FWSIM_CONFIG="$work/sim.cfg" "$handler" --list 2>/dev/null | tr '\n' ,)" "0 0 0,1 2 3,0 1 0,"
result "a bad line is reported" \
  "$(FWSIM_CONFIG="$work/sim.cfg" "$handler" --list 2>&1 >/dev/null)" \
  "fwsim-tcmu: config error: line 3: unknown setting 'frobnicate'"
result "default drive" "$(FWSIM_CONFIG='' "$handler" --list)" "0 0 0"

FWSIM_CONFIG="$work/sim.cfg" timeout 10 "$handler" --ready "$work/ready" > "$work/out" 2>&1
result "no backstore: fails at once" "$?" 1
result "no backstore: says why" "$(grep -cE 'no enabled user backstore named fwsim-0-0-0|uio' "$work/out")" 1
result "no backstore: never ready" "$([ -e "$work/ready" ] && echo ready || echo not)" not

timeout 10 "$handler" --bogus > /dev/null 2>&1
result "unknown option" "$?" 64

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
