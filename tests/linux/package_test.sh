#!/usr/bin/env bash
# The Debian package of fwupdate-linux (cmake/install.cmake, cli/dist/): cpack
# makes fwupdate-linux_VERSION_ARCH.deb; lintian finds no error in it; it
# holds the program (stripped, without sanitizers), its man page, its bash
# completion, its papers and the example udev rule, and nothing else; it
# installs, the program and its man page work from where they land, and it
# removes without a trace. The completion itself is checked against a made-up
# sysfs. Installs the package, so it runs as root; a fwupdate-linux already
# installed is refused, never touched. The system is left as it was, failed
# checks or not.
# Run with the native build folder as $1.
set -u
build=$(cd "${1:?usage: $0 NATIVE_BUILD_DIR}" && pwd)
src=${FW_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
started=$SECONDS
failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { checks=$((checks + 1)); }
finish() {
  echo "$checks checks, $failures failed ($((SECONDS - started)) s)"
  [ "$failures" = 0 ]
}

work=$(mktemp -d)
installed_by_us=false
# Installing needs root: the test runs as root, or through sudo without a
# password (as scripts/setup does for apt).
as_root=()
[ "$(id -u)" = 0 ] || as_root=(sudo -n)
cleanup() {
  if $installed_by_us; then
    "${as_root[@]}" dpkg -r fwupdate-linux >/dev/null 2>&1 ||
      echo "FAIL: could not remove the test's fwupdate-linux (dpkg -r fwupdate-linux)"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 130" INT TERM HUP
cd "$work" || exit 1

# The files of the package, and nothing else (folders aside).
package_files=(
  /usr/bin/fwupdate-linux
  /usr/share/bash-completion/completions/fwupdate-linux
  /usr/share/doc/fwupdate-linux/changelog.gz
  /usr/share/doc/fwupdate-linux/copyright
  /usr/share/doc/fwupdate-linux/examples/60-fwupdate-linux.rules
  /usr/share/man/man1/fwupdate-linux.1.gz
)

# --- The completion, from the source tree, against a made-up sysfs -------
# A disk (sg0, type 0), two CD-ROM/RW drives (sg1, sg3, type 5) and their
# block devices sr0, sr1.
fake=$work/sys
for n in 0:0 1:5 3:5; do
  mkdir -p "$fake/class/scsi_generic/sg${n%:*}/device"
  echo "${n#*:}" > "$fake/class/scsi_generic/sg${n%:*}/device/type"
done
mkdir -p "$fake/class/block/sr0" "$fake/class/block/sr1" "$fake/class/block/sda"
mkdir -p compdir/images && touch compdir/MyUpdater compdir/images/x
completion_file=$src/cli/dist/fwupdate-linux.bash-completion

# complete MODE WORD...: the completions (sorted, on one line) of the command
# line WORD... with the cursor at its end; MODE "full" loads bash-completion
# first, "plain" does not (the function's own fallback).
complete_line() {
  local mode=$1
  shift
  (cd compdir && FW_SYSFS_ROOT=$fake bash --norc --noprofile -c '
    mode=$1; completion=$2; shift 2
    if [ "$mode" = full ]; then source /usr/share/bash-completion/bash_completion; fi
    source "$completion" || exit 1
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _fwupdate_linux fwupdate-linux "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' _ "$mode" "$completion_file" "$@")
}
# expect_completion MODE "EXPECTED" WORD...
expect_completion() {
  local mode=$1 expected=$2
  shift 2
  check
  local got
  got=$(complete_line "$mode" "$@")
  got=${got% }
  [ "$got" = "$expected" ] || fail "completion ($mode) of \"$*\": \"$got\", expected \"$expected\""
}
check; [ -f /usr/share/bash-completion/bash_completion ] || fail "bash-completion is not installed (apt-get install bash-completion)"
for mode in full plain; do
  expect_completion $mode "--drive" fwupdate-linux --dri
  expect_completion $mode "--drive --dry-run" fwupdate-linux --dr
  expect_completion $mode "4k default" fwupdate-linux --flash-mode ""
  expect_completion $mode "default" fwupdate-linux --yes --flash-mode d
  expect_completion $mode "/dev/sg1 /dev/sg3 /dev/sr0 /dev/sr1" fwupdate-linux --drive ""
  expect_completion $mode "/dev/sr0 /dev/sr1" fwupdate-linux --drive /dev/sr
  expect_completion $mode "" fwupdate-linux --jobs ""
  expect_completion $mode "--all --all-drives --all-images" fwupdate-linux --al
  expect_completion $mode "--dry-run" fwupdate-linux --list --dry
  expect_completion $mode "MyUpdater" fwupdate-linux --yes My
  expect_completion $mode "images" fwupdate-linux --split im
done
# The whole list of switches: the ones the program takes now and the ones
# the man page documents.
expect_completion full "--all --all-drives --all-images --drive --dry-run --flash-mode --help --history --ignore-power --jobs --json --list --log --split --version --yes -h -y" fwupdate-linux -
# --split takes a folder: with bash-completion, files are not offered.
expect_completion full "images" fwupdate-linux --split ""
expect_completion full "MyUpdater images" fwupdate-linux --log ""

# --- The package -----------------------------------------------------------
if [ "$(id -u)" != 0 ] && ! sudo -n true 2>/dev/null; then
  fail "the package test installs the package with dpkg: it needs root or sudo without a password (it ran as $(id -un))"
  finish
  exit 1
fi
for tool in cpack lintian dpkg-deb dpkg-query nm readelf man lexgrog; do
  check; command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup installs it)"
done
# A fwupdate-linux that is already there belongs to someone: this test
# neither replaces nor removes it.
status=$(dpkg-query -W -f='${db:Status-Status}' fwupdate-linux 2>/dev/null)
if [ -n "$status" ] && [ "$status" != not-installed ]; then
  fail "a package fwupdate-linux is already on this machine (status $status): remove it yourself (dpkg -r fwupdate-linux) to run this test"
  finish
  exit 1
fi
for f in "${package_files[@]}"; do
  if [ -e "$f" ] || [ -L "$f" ]; then
    fail "$f is already there, not from the package (an install of its own?): remove it to run this test"
    finish
    exit 1
  fi
done
if [ ! -f "$build/CPackConfig.cmake" ]; then
  fail "$build/CPackConfig.cmake is missing: cmake/install.cmake is not included in that build"
  finish
  exit 1
fi

# The package holds what these two targets make: build them (nothing to do
# when the build is up to date), then package.
if ! cmake --build "$build" --target fwupdate-linux-release fwupdate-linux-docs > build.log 2>&1; then
  tail -20 build.log
  fail "building fwupdate-linux-release and fwupdate-linux-docs failed"
  finish
  exit 1
fi
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" > cpack.log 2>&1; then
  cat cpack.log
  fail "cpack -G DEB failed"
  finish
  exit 1
fi
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb=$work/deb/fwupdate-linux_${version}_${arch}.deb
check
if [ -z "$version" ] || [ ! -f "$deb" ]; then
  fail "no fwupdate-linux_${version:-VERSION}_${arch}.deb; cpack made: $(cd "$work/deb" && ls ./*.deb 2>/dev/null | tr '\n' ' ')"
  finish
  exit 1
fi
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# The program's own version is the package's.
check
header=$src/base/version.h
[ -f "$header" ] || header=$src/app/version.h
grep -q "^#define FW_FILE_VERSION \"$version\"" "$header" ||
  fail "the package's version $version is not FW_FILE_VERSION of $header"

# lintian: every line shown, any error fails.
lintian "$deb" > lintian.log 2>&1
sed 's/^/lintian: /' lintian.log
check; ! grep -q '^E:' lintian.log || fail "lintian reports errors: $(grep '^E:' lintian.log | tr '\n' ' ')"

# The control fields.
check; [ "$(dpkg-deb -f "$deb" Package)" = fwupdate-linux ] || fail "Package is not fwupdate-linux"
depends=$(dpkg-deb -f "$deb" Depends)
check; [[ $depends == *libc6* ]] || fail "Depends has no libc6 (dpkg-shlibdeps did not run?): \"$depends\""
check; [[ $depends != *asan* && $depends != *ubsan* && $depends != *libsystemd* ]] ||
  fail "Depends names a sanitizer or libsystemd (opened only when present): \"$depends\""
check; [[ $(dpkg-deb -f "$deb" Recommends) == *libsystemd0* ]] || fail "Recommends has no libsystemd0"

# The contents: exactly the package's files, owned by root, data 0644.
dpkg-deb -c "$deb" > contents.txt
grep -v '^d' contents.txt | awk '{print $6}' | sed 's|^\./|/|' | sort > files.txt
printf '%s\n' "${package_files[@]}" | sort > expected.txt
for f in $(comm -13 files.txt expected.txt); do check; fail "the package lacks $f"; done
for f in $(comm -23 files.txt expected.txt); do check; fail "the package holds $f, which is not to be installed"; done
check; ! awk '$2 != "root/root"' contents.txt | grep -q . || fail "files not owned by root: $(awk '$2 != "root/root" {print $6}' contents.txt)"
check; ! grep -v '^d' contents.txt | grep -v '/usr/bin/fwupdate-linux$' | grep -vq '^-rw-r--r-- ' ||
  fail "data files not 0644: $(grep -v '^d' contents.txt | grep -v '/usr/bin/' | grep -v '^-rw-r--r-- ' | awk '{print $1, $6}')"
check; grep -q '^-rwxr-xr-x .*/usr/bin/fwupdate-linux$' contents.txt || fail "/usr/bin/fwupdate-linux is not 0755"

# The program as it ships: stripped, without sanitizers.
dpkg-deb -x "$deb" x
bin=x/usr/bin/fwupdate-linux
check
if nm -D "$bin" 2>/dev/null | grep -Eq '__(asan|ubsan|tsan|msan)_'; then
  fail "the packaged program carries a sanitizer: $(nm -D "$bin" | grep -Eo '__(asan|ubsan|tsan|msan)_[a-z_]*' | head -3 | tr '\n' ' ')"
fi
check; ! readelf -d "$bin" | grep -Eq 'NEEDED.*lib(asan|ubsan|tsan)' || fail "the packaged program links a sanitizer library"
check; ! grep -aq 'AddressSanitizer' "$bin" || fail "the packaged program holds AddressSanitizer's runtime"
check; ! readelf -S "$bin" | grep -q '\.symtab' || fail "the packaged program is not stripped"

# The man page from the package: renders without warnings, indexes by name.
page=x/usr/share/man/man1/fwupdate-linux.1.gz
if [ -f "$page" ]; then
  check; man_warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$man_warnings" ] || fail "man --warnings: $man_warnings"
  check; MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q 'EXIT STATUS' || fail "the man page has no EXIT STATUS"
  check; lexgrog "$page" | grep -q 'fwupdate-linux - ' || fail "lexgrog finds no NAME line: $(lexgrog "$page")"
fi

# The udev rule: an example (opt-in), for type-5 SCSI generic nodes only.
rule=x/usr/share/doc/fwupdate-linux/examples/60-fwupdate-linux.rules
if [ -f "$rule" ]; then
  check
  grep -v '^#' "$rule" | grep -q '^SUBSYSTEM=="scsi_generic", SUBSYSTEMS=="scsi", ATTRS{type}=="5", GROUP="cdrom", MODE="0660"$' ||
    fail "the udev rule does not grant exactly type-5 SCSI generic nodes to cdrom: $(grep -v '^#' "$rule")"
  check; [ "$(grep -cv '^\(#.*\)\?$' "$rule")" = 1 ] || fail "the udev rule file holds more than the one rule"
  if udevadm verify --help >/dev/null 2>&1; then
    check; udevadm verify "$rule" > verify.log 2>&1 || fail "udevadm verify: $(cat verify.log)"
  else
    echo "note: this udevadm has no \"verify\" ($(udevadm --version 2>/dev/null || echo none)): the rule's syntax was checked by the pattern above only"
  fi
fi

# Installing. Some images keep dpkg from writing man pages and documents
# (path-exclude in /etc/dpkg/dpkg.cfg.d/): then the package's own paths are
# included again, so that what is checked below is where the package puts
# them, not the image's trimming.
dpkg_args=()
if grep -qs '^path-exclude' /etc/dpkg/dpkg.cfg.d/*; then
  echo "note: dpkg excludes paths here ($(grep -hs '^path-exclude' /etc/dpkg/dpkg.cfg.d/* | tr '\n' ' ')); installing with --path-include for the package's files"
  for f in "${package_files[@]}"; do dpkg_args+=("--path-include=$f"); done
fi
installed_by_us=true
if ! "${as_root[@]}" dpkg "${dpkg_args[@]}" -i "$deb" > dpkg.log 2>&1; then
  cat dpkg.log
  fail "dpkg -i failed"
  finish
  exit 1
fi
echo "installed size: $(dpkg-query -W -f='${Installed-Size}' fwupdate-linux) KiB"
for f in "${package_files[@]}"; do
  check; [ -f "$f" ] || fail "$f is not installed"
done
check; out=$(/usr/bin/fwupdate-linux --version 2>&1) || fail "/usr/bin/fwupdate-linux --version: status $?: $out"
check; [[ $out == *"$version"* ]] || fail "--version says \"$out\", the package is $version"
check; MANWIDTH=80 man -P cat fwupdate-linux 2>/dev/null | grep -q NAME || fail "man fwupdate-linux finds no page"
# bash-completion loads the installed completion on its own.
check; loaded=$(bash --norc --noprofile -c 'source /usr/share/bash-completion/bash_completion
  _completion_loader fwupdate-linux >/dev/null 2>&1; complete -p fwupdate-linux' 2>&1)
[[ $loaded == *"-F _fwupdate_linux fwupdate-linux"* ]] || fail "bash-completion does not load the installed completion: $loaded"

# Removing leaves nothing of it.
if "${as_root[@]}" dpkg -r fwupdate-linux > dpkg.log 2>&1; then
  installed_by_us=false
else
  cat dpkg.log
  fail "dpkg -r fwupdate-linux failed"
fi
for f in "${package_files[@]}"; do
  check; [ ! -e "$f" ] || fail "$f is still there after dpkg -r"
done
check; [ ! -e /usr/share/doc/fwupdate-linux ] || fail "/usr/share/doc/fwupdate-linux is still there after dpkg -r"
status=$(dpkg-query -W -f='${db:Status-Status}' fwupdate-linux 2>/dev/null)
check; [ -z "$status" ] || [ "$status" = not-installed ] || [ "$status" = config-files ] ||
  fail "after dpkg -r the package's status is $status"

finish
