# Sourced by scripts/wine-prefix, scripts/wine-run and scripts/demo: which
# Wine runs the programs, after WINEARCH.
#
#   fw_wine_select    reads WINEARCH (win32 when unset, or win64), exports it
#                     and sets (and exports):
#     FW_WINE         the loader that runs a Windows program
#     FW_WINESERVER   the server of that Wine (-k, -w, -p)
#
# win32 runs `wine` and `wineserver` from PATH. win64 runs the 64-bit loader
# itself: Debian's /usr/bin/wine starts the 32-bit loader whenever wine32 is
# installed, and on a machine whose kernel refuses 32-bit programs that fails
# ("Exec format error") even for a 64-bit prefix.
fw_wine_select() {
  WINEARCH=${WINEARCH:-win32}
  case "$WINEARCH" in
    win32)
      FW_WINE=wine
      FW_WINESERVER=wineserver
      ;;
    win64)
      FW_WINE=""
      local c
      for c in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null || true)"; do
        if [ -n "$c" ] && [ -x "$c" ]; then FW_WINE=$c; break; fi
      done
      if [ -z "$FW_WINE" ]; then
        echo "64-bit Wine is not installed: no /usr/lib/wine/wine64 and no wine64 on PATH (Debian package wine64)" >&2
        return 69
      fi
      FW_WINESERVER=""
      for c in /usr/lib/wine/wineserver64 "$(command -v wineserver64 2>/dev/null || true)" \
               "$(command -v wineserver 2>/dev/null || true)"; do
        if [ -n "$c" ] && [ -x "$c" ]; then FW_WINESERVER=$c; break; fi
      done
      if [ -z "$FW_WINESERVER" ]; then
        echo "64-bit Wine has no server: no /usr/lib/wine/wineserver64 and no wineserver on PATH" >&2
        return 69
      fi
      ;;
    *)
      echo "WINEARCH must be win32 or win64, not '$WINEARCH'" >&2
      return 64
      ;;
  esac
  export WINEARCH FW_WINE FW_WINESERVER
}
