# Running Windows programs under wine, sourced by scripts/test.sh (after
# common.sh). Each architecture has its own loader and its own prefix under
# build/: wine64 for x86-64 programs, the 32-bit loader for i686 ones in a
# 32-bit prefix, which cannot run a 64-bit program and which wine64 refuses,
# so a program started by the wrong loader fails instead of passing.

export WINEDEBUG=-all
okr_wineserver=
okr_wine=

# wine_server: the wineserver to use, looked up when wine is there (this file
# is sourced before the packages are installed).
wine_server() {
  if [ -x /usr/lib/wine/wineserver ]; then
    echo /usr/lib/wine/wineserver
  else
    command -v wineserver || die "wineserver not found"
  fi
}

# start_wine ARCH LOADER WINEARCH BITS: makes LOADER the wine of run_wine
# and of ctest's runs (WINEPREFIX build/wineprefix-ARCH, created by its first
# program), starts the prefix's server and warms it (ctest, started before
# the server is up and warm, waits for wine's service processes), and runs a
# probe that prints its pointer width. Dies if LOADER cannot start a BITS-bit
# program for ARCH (built with ARCH-w64-mingw32-gcc-posix).
start_wine() {
  local arch=$1 loader=$2 bits=$4 probe
  [ -x "$loader" ] || die "$loader not found: no $bits-bit wine"
  export WINEPREFIX="$OKR_ROOT/build/wineprefix-$arch" WINEARCH=$3
  okr_wine=$loader
  mkdir -p "$WINEPREFIX"
  okr_wineserver=$(wine_server)
  "$okr_wineserver" -p || die "wineserver cannot start for $WINEPREFIX"
  trap stop_wine EXIT
  probe="$WINEPREFIX/probe.exe"
  printf '#include <stdio.h>\nint main(void) { printf("%%d-bit\\n", (int)(8 * sizeof(void *))); }\n' \
    | "$arch-w64-mingw32-gcc-posix" -x c - -o "$probe" || die "$arch-w64-mingw32-gcc-posix cannot build a program"
  [ "$(run_wine "$probe")" = "$bits-bit" ] || die "$loader cannot start a $bits-bit Windows program"
  echo "$loader runs $bits-bit programs in $WINEPREFIX"
}

# stop_wine: ends the wine server of the current prefix and its programs.
stop_wine() {
  [ -n "$okr_wine" ] || return 0
  "$okr_wineserver" -k || true
  okr_wine=
}

# run_wine PROGRAM ARGS...: runs PROGRAM under the wine of start_wine and
# prints its output without the carriage returns. wine now and then fails to
# start a program, which then ends without a line of output: such a run is
# made once more. A program that fails for real fails both times.
run_wine() {
  local out status=0
  out=$("$okr_wine" "$@") || status=$?
  if [ -z "$out" ]; then
    status=0
    out=$("$okr_wine" "$@") || status=$?
  fi
  printf '%s\n' "$out" | tr -d '\r'
  return $status
}
