# Sourced in the guest (scripts/vmtest) by scripts that run the Windows
# program under the guest's 32-bit Wine against the drives of the guest's
# SCSI stack: tests/vm/windows_program_checks.sh and scripts/vm/demo-guest.
#
#   wine_guest_start   an X server of its own (Xvfb), a fresh 32-bit Wine
#                      prefix in the guest's /tmp, a running Wine server, and
#                      every drive of the guest as a CD-ROM of that Wine
#   wine_guest_stop    ends the Wine server and the X server
#
# wine_guest_start sets and exports WINEPREFIX, WINEARCH, DISPLAY and
# FWVM_WIN (the Windows build: build/win beside the native build, or
# FWVM_WIN_BUILD), and WINE_GUEST_PREFIX_MS (how long the prefix took). It
# returns non-zero after a line "wine-guest: ..." saying what is missing or
# failed. Every wait is bounded.
#
# Wine finds no CD-ROM of its own here (its mount manager learns of drives
# from udisks over D-Bus, which this guest has not). Drive n of the guest
# becomes CD-ROM interface instance n of SetupAPI, the way Windows lists
# CD-ROM drives: registry keys of the CD-ROM class, and in the prefix's
# dosdevices a symbolic link of the interface's name to the drive's block
# node /dev/srN. Wine opens that node for the program's CreateFile and turns
# each IOCTL_SCSI_PASS_THROUGH(_DIRECT) into an SG_IO request on it, which
# the sr driver hands to the drive. The vendor command 33h passes there only
# for a caller with CAP_SYS_RAWIO (the kernel's command filter): the guest's
# scripts run as root, so it does. (The sg node /dev/sgN, opened read-write,
# serves Wine just as well and needs no such capability.)

wine_guest_xvfb=""
wine_guest_cdrom_guid='{53f56308-b6bf-11d0-94f2-00a0c91efb8b}'

wine_guest_now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

wine_guest_start() {
  FWVM_WIN=${FWVM_WIN_BUILD:-$(dirname "$FWVM_BUILD")/win}
  export FWVM_WIN
  local need
  for need in "$FWVM_WIN/fwupdate.exe" "$FWVM_WIN/vm_clickthrough.exe"; do
    if [ ! -f "$need" ]; then
      echo "wine-guest: $need is missing: the Windows build (build/win) must be built before the guest runs" \
           "(cmake --build build/win)" >&2
      return 1
    fi
  done
  for need in wine wineserver Xvfb; do
    if ! command -v "$need" >/dev/null; then
      echo "wine-guest: $need is not installed on the host (Debian packages wine, wine32:i386, xvfb)" >&2
      return 1
    fi
  done

  # The X server: the first free display from :1.
  local n=1
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp > /tmp/xvfb.log 2>&1 &
  wine_guest_xvfb=$!
  export DISPLAY=":$n"
  local tries=200
  until [ -e "/tmp/.X11-unix/X$n" ]; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ] || ! kill -0 "$wine_guest_xvfb" 2>/dev/null; then
      echo "wine-guest: Xvfb did not start on $DISPLAY: $(tail -3 /tmp/xvfb.log)" >&2
      return 1
    fi
    sleep 0.1
  done

  # A fresh prefix (the guest's /tmp is its own): about a minute here, as
  # wineboot copies Wine's DLLs (some 590 MB) into it.
  export WINEPREFIX=/tmp/wineprefix WINEARCH=win32 WINEDEBUG=-all
  local start
  start=$(wine_guest_now_ms)
  "$FWVM_SOURCE/scripts/wine-prefix" || { echo "wine-guest: the Wine prefix could not be made" >&2; return 1; }
  WINE_GUEST_PREFIX_MS=$(( $(wine_guest_now_ms) - start ))
  export WINE_GUEST_PREFIX_MS
  # One server for the whole run, its services started once: each Wine
  # process after that starts in seconds, not in tens of seconds.
  timeout 60 wineserver -p || { echo "wine-guest: the Wine server did not start" >&2; return 1; }
  timeout 120 wine cmd.exe /c exit </dev/null >/dev/null 2>&1 ||
    { echo "wine-guest: Wine's services did not start within 120 s" >&2; return 1; }

  # The drives as CD-ROM interfaces, in one registry import.
  local reg=/tmp/wine-guest-cdrom.reg i key
  local sr_nodes
  read -r -a sr_nodes <<< "$FWVM_SR"
  {
    printf 'REGEDIT4\r\n\r\n'
    for i in "${!sr_nodes[@]}"; do
      key="HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\$wine_guest_cdrom_guid\\##?#WINE#CDROM#$i#$wine_guest_cdrom_guid"
      printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\WINE\\CDROM\\%s]\r\n' "$i"
      printf '"ClassGUID"="{4D36E965-E325-11CE-BFC1-08002BE10318}"\r\n\r\n'
      printf '[%s]\r\n"DeviceInstance"="WINE\\\\CDROM\\\\%s"\r\n\r\n' "$key" "$i"
      printf '[%s\\#]\r\n"SymbolicLink"="\\\\\\\\?\\\\wine#cdrom#%s#%s"\r\n\r\n' "$key" "$i" "$wine_guest_cdrom_guid"
      printf '[%s\\#\\Control]\r\n"Linked"=dword:00000001\r\n\r\n' "$key"
    done
  } > "$reg"
  timeout 60 wine reg import 'Z:\tmp\wine-guest-cdrom.reg' </dev/null >/tmp/wine-guest-reg.log 2>&1 ||
    { echo "wine-guest: the CD-ROM interfaces could not be registered: $(cat /tmp/wine-guest-reg.log)" >&2; return 1; }
  for i in "${!sr_nodes[@]}"; do
    ln -sfn "${sr_nodes[$i]}" "$WINEPREFIX/dosdevices/wine#cdrom#$i#$wine_guest_cdrom_guid" ||
      { echo "wine-guest: cannot link ${sr_nodes[$i]} into the prefix" >&2; return 1; }
  done
}

wine_guest_stop() {
  timeout 30 wineserver -k 2>/dev/null
  if [ -n "$wine_guest_xvfb" ]; then
    kill "$wine_guest_xvfb" 2>/dev/null
    wait "$wine_guest_xvfb" 2>/dev/null
    wine_guest_xvfb=""
  fi
  return 0
}
