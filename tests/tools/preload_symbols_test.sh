#!/usr/bin/env bash
# The simulated drive stands beside the product: the SG_IO preload libraries a
# build makes (libfwsim_sgio.so for native programs, sgio/lib/*/libfwsimsg.so
# for Wine) define nothing of the product, and the simulated drive's library
# (libfwsim.a) needs nothing of it.
#   preload_symbols_test.sh BUILD_DIR
set -u
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Names only the product defines: those of the build's own product libraries
# where they are native archives, and a few every build has.
product=$(mktemp)
trap 'rm -f "$product"' EXIT
printf '%s\n' SendScsiCommand Transports ResetTransports DriveTable g_drive_table_count \
  g_pass_through_mode g_current_drive PreparePassThroughAttempt > "$product"
for lib in "$build"/libfwbase.a "$build"/libfwscsi.a "$build"/libfwdrive.a "$build"/libfwapp.a; do
  [ -e "$lib" ] || continue
  nm --defined-only -g -C "$lib" 2>/dev/null | awk 'NF >= 3 && $2 ~ /^[TDBR]$/ { $1 = $2 = ""; sub(/^  /, ""); sub(/\(.*/, ""); print }' >> "$product"
done
# Less what every C++ library defines for itself (the runtime's and the
# standard library's names, which PE archives list as their own).
grep -Ev '^(_|operator|typeinfo|vtable|VTT|guard variable|construction vtable)|std::' "$product" | sort -u -o "$product"

# The names (functions and data, without their parameters) a file defines or needs.
names() { nm "$@" -C 2>/dev/null | awk 'NF >= 2 { $1 = ""; if (NF > 2) $1 = $2 = ""; sub(/^ +/, ""); sub(/\(.*/, ""); print }' | sort -u; }

preloads=("$build/libfwsim_sgio.so" "$build"/sgio/lib/*/libfwsimsg.so)
checked=0
for lib in "${preloads[@]}"; do
  [ -e "$lib" ] || continue
  defined=$(names --defined-only "$lib")
  # The empty 64-bit stand-in of the 32-bit build defines nothing to check.
  grep -q 'SgioService::Serve' <<<"$defined" || { echo "skipped (no simulated drive in it): $lib"; continue; }
  checked=$((checked + 1))
  grep -q 'SimDrive::Execute' <<<"$defined" || fail "$lib: the simulated drive's SimDrive::Execute is not in its symbol table"
  found=$(comm -12 <(sort -u <<<"$defined") "$product")
  [ -z "$found" ] || fail "$lib: carries the product's $(echo $found | head -c 400)"
done
[ "$checked" -gt 0 ] || fail "no SG_IO preload library in $build"

fwsim="$build/libfwsim.a"
if [ -e "$fwsim" ]; then
  needed=$(comm -12 <(names -u "$fwsim" | sed 's/^_//' | sort -u) "$product")
  [ -z "$needed" ] || fail "libfwsim.a needs the product's $(echo $needed | head -c 400)"
else
  fail "$fwsim is not built"
fi

echo "$checked preload libraries checked, $failures failed"
[ "$failures" = 0 ]
