#!/bin/bash
# scripts/vmtest refuses what it cannot run before it boots anything, and
# never empties a folder it did not make.
set -u
vmtest="$(cd "$(dirname "$0")/../.." && pwd)/scripts/vmtest"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# check NAME STATUS PATTERN ARG...: vmtest ARG... exits with STATUS and says PATTERN.
check() {
  local name=$1 want=$2 pattern=$3 output status
  shift 3
  output=$("$vmtest" "$@" 2>&1 </dev/null)
  status=$?
  if [ "$status" -eq "$want" ] && grep -qE -- "$pattern" <<< "$output"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $name: status $status (want $want)"
    echo "$output" | head -5
  fi
}

echo 'exit 0' > "$work/ok.sh"
mkdir -p "$work/mine"
echo keep > "$work/mine/notes.txt"

check "help" 0 'scripts/vmtest \[OPTIONS\] --shell' --help
check "unknown option" 64 'unknown option --bogus' --bogus "$work/ok.sh"
check "no script" 64 'no script given'
check "missing script" 64 "cannot read $work/none.sh" "$work/none.sh"
check "missing config" 64 "cannot read $work/no/such.cfg" --config "$work/no/such.cfg" "$work/ok.sh"
check "time-out not a number" 64 'whole seconds' --timeout 1m "$work/ok.sh"
check "time-out of zero" 64 'whole seconds' --timeout 0 "$work/ok.sh"
check "results folder of someone else's" 64 'did not write; choose another --out' --out "$work/mine" "$work/ok.sh"
if [ "$(cat "$work/mine/notes.txt" 2>/dev/null)" = keep ]; then passed=$((passed + 1)); else
  failed=$((failed + 1)); echo "FAIL the folder's files were touched"; fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
