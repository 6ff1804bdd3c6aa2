#!/usr/bin/env bash
# The floor check of every build: the tree as it stands passes, and each kind
# of include that breaks the floors fails it, naming the file.
set -u
src=${FW_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
check=$src/cmake/check_layers.cmake
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

run_check() { cmake -DFW_ROOT="$1" -P "$check" 2>&1; }

out=$(run_check "$src") || fail "the tree itself breaks its floors:
$out"

# A small tree that keeps the floors, then one fault at a time.
make_tree() {
  rm -rf "$work/t"
  mkdir -p "$work/t"/{base,scsi,drive,app,ui,cli,sim}
  printf '#include <cstdint>\n' >"$work/t/base/state.h"
  printf '#include "base/state.h"\n' >"$work/t/scsi/dispatcher.h"
  printf '#include "scsi/dispatcher.h"\n#include "base/state.h"\n' >"$work/t/drive/transfer.cpp"
  printf '#include "drive/transfer.h"\n' >"$work/t/app/run.cpp"
  printf '#include <windows.h>\n#include "ui/dialog.h"\n' >"$work/t/app/app_win32.cpp"
  printf '#include <windows.h>\n#include "drive/transfer.h"\n' >"$work/t/ui/dialog.cpp"
  printf '#include <unistd.h>\n#include "app/run.h"\n' >"$work/t/cli/main_linux.cpp"
  printf '#include "base/state.h"\n' >"$work/t/sim/drive.cpp"
}
make_tree
out=$(run_check "$work/t") || fail "a tree that keeps its floors is refused:
$out"

# expect_refused FILE LINE WHAT: adding LINE to FILE fails the check and the
# message names FILE.
expect_refused() {
  make_tree
  printf '%s\n' "$2" >>"$work/t/$1"
  if out=$(run_check "$work/t"); then
    fail "$3 passed the check"
  elif ! grep -q "$1" <<<"$out"; then
    fail "$3: the message does not name $1:
$out"
  fi
}
expect_refused drive/transfer.cpp '#include "app/run.h"' "drive including the run above it"
expect_refused base/state.h '#include "scsi/dispatcher.h"' "the ground floor including scsi"
expect_refused scsi/dispatcher.h '#include "drive/transfer.h"' "scsi including drive"
expect_refused ui/dialog.cpp '#include "app/run.h"' "a dialog including the run"
expect_refused app/run.cpp '#include "ui/dialog.h"' "the portable run including a dialog"
expect_refused app/run.cpp '#include <unistd.h>' "a portable file including an OS header"
expect_refused drive/transfer.cpp '#include "scsi/sgio_linux.h"' "a portable file including an OS edge"
expect_refused cli/main_linux.cpp '#include "scsi/aspi_win32.h"' "a Linux file including a Windows edge"
expect_refused sim/drive.cpp '#include "drive/transfer.h"' "the simulator including the product"

[ $failures -eq 0 ] && echo "check_layers: all checks passed"
exit $((failures > 0))
