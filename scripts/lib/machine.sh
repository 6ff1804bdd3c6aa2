# Sourced by scripts/setup, scripts/test and scripts/demo: what this machine
# can run, and so which Windows build runs the Windows half.
#
#   fw_runs_32bit        status 0 when the kernel runs 32-bit x86 programs
#   fw_windows_arch      prints i686 or x86_64: the build whose tests run here
#                        (FW_WINDOWS_ARCH=i686|x86_64 chooses by hand)
#   fw_machine_line      one line for the user that says both

# A 32-bit static program of a few bytes, assembled on the spot (binutils
# only; no 32-bit C library needed), run once. Kernels built without IA-32
# emulation, or booted with ia32_emulation=off, refuse it with ENOEXEC.
fw_runs_32bit() {
  if [ -n "${FW_RUNS_32BIT_CACHED:-}" ]; then [ "$FW_RUNS_32BIT_CACHED" = yes ]; return; fi
  local dir rc=1
  dir=$(mktemp -d "${TMPDIR:-/tmp}/fw32.XXXXXX") || return 1
  printf '.globl _start\n_start:\n movl $1,%%eax\n movl $42,%%ebx\n int $0x80\n' > "$dir/t.s"
  if as --32 -o "$dir/t.o" "$dir/t.s" 2>/dev/null && ld -m elf_i386 -o "$dir/t" "$dir/t.o" 2>/dev/null; then
    "$dir/t" 2>/dev/null; [ $? -eq 42 ] && rc=0
  fi
  rm -rf "$dir"
  if [ $rc -eq 0 ]; then FW_RUNS_32BIT_CACHED=yes; else FW_RUNS_32BIT_CACHED=no; fi
  export FW_RUNS_32BIT_CACHED
  return $rc
}

fw_windows_arch() {
  case "${FW_WINDOWS_ARCH:-}" in
    i686|x86_64) echo "$FW_WINDOWS_ARCH"; return 0 ;;
    '') ;;
    *) echo "FW_WINDOWS_ARCH must be i686 or x86_64, not '$FW_WINDOWS_ARCH'" >&2; return 64 ;;
  esac
  if fw_runs_32bit; then echo i686; else echo x86_64; fi
}

fw_machine_line() {
  local arch runs
  arch=$(fw_windows_arch) || return
  if fw_runs_32bit; then runs="runs 32-bit programs"; else runs="cannot run 32-bit programs (the kernel refuses them)"; fi
  if [ "$arch" = i686 ]; then
    echo "this machine $runs: the Windows half uses the 32-bit (i686) build under 32-bit Wine"
  else
    echo "this machine $runs: the Windows half uses the 64-bit (x86_64) build under 64-bit Wine${FW_WINDOWS_ARCH:+ (chosen by FW_WINDOWS_ARCH)}; the shipped 32-bit program runs in the guest"
  fi
}
