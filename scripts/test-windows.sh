#!/usr/bin/env bash
# The Windows build, tested under wine:
#   1. cross-builds the core, ld6193.exe (the window), ld6193-flash.exe and the unit tests with mingw-w64
#      (warnings as errors), checks that the link library holds the Win32 port, not the POSIX one, and
#      that both programs need no DLL beyond Windows' own;
#   2. builds the Linux simulator and the flasher's end-to-end tests (they drive the .exe);
#   3. makes a fresh wine prefix whose COM1 to COM4 are symbolic links that the tests point at
#      simulators ($WINEPREFIX/kv-com/comN);
#   4. runs the unit tests under wine, then the end-to-end cases that the Linux flasher passes, this
#      time against ld6193-flash.exe opening \\.\COMn through the Win32 serial calls;
#   5. runs the window in wine's virtual desktop on an X display (Xvfb when none is set) and drives it
#      from the keyboard: the setting file at start-up, and one download (test-windows-window.sh);
#   6. drives the station window the same way: "Flash all" on two boards (test-windows-station.sh).
#
# Usage: scripts/test-windows.sh [--timing] [--screenshot] [BUILD_DIR]   (default build/win)
#   --screenshot  also photograph the window after its download into docs/window-windows.png, and the
#                 station window with both boards passed into docs/station-windows.png.
#   --timing      also time one full MultiSector download (examples/multisector_full.hex) against the
#                 line-paced simulator, by the Linux flasher and by the Windows one under wine.
#   KV_HOST_BUILD the Linux build folder to use for the simulator and the tests (default build/winhost;
#                 an existing full build such as build/ci saves building them again).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh  # start_sim, stop_sim, ccache_launcher, configure_windows_build, find_wine, new_wine_prefix
args=("$@")
timing=0
screenshot=
station_screenshot=
while [ $# -gt 0 ]; do
  case "$1" in
    --timing) timing=1 ;;
    --screenshot)
      screenshot=$root/docs/window-windows.png
      station_screenshot=$root/docs/station-windows.png
      ;;
    *) break ;;
  esac
  shift
done
# The window needs an X display; without one, the whole run goes onto a virtual one.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "${args[@]}"
fi
build=$(realpath -m "${1:-$root/build/win}")  # absolute: the tests run programs from other folders
host_build=$(realpath -m "${KV_HOST_BUILD:-$root/build/winhost}")
jobs=${KV_JOBS:-2}

echo "== Windows cross-build"
configure_windows_build "$build"
cmake --build "$build" -j "$jobs"
flasher_exe=$build/cli/ld6193-flash.exe
window_exe=$build/ui/win32/ld6193.exe
for exe in "$flasher_exe" "$window_exe"; do
  [ -f "$exe" ] || { echo "$(basename "$exe") was not built" >&2; exit 1; }
  # Statically linked: every DLL it imports comes with Windows.
  extra=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
    grep -vxE '(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|msvcrt|ws2_32|bcrypt|setupapi)\.dll' || true)
  [ -z "$extra" ] || { echo "$(basename "$exe") needs DLLs that Windows lacks: $extra" >&2; exit 1; }
done

# The Win32 port must be in the line library, not the POSIX one.
objects=$(x86_64-w64-mingw32-ar t "$build/line/libkv_line.a")
grep -q win32_port <<<"$objects" || { echo "kv_line lacks the Win32 port" >&2; exit 1; }
if grep -q posix_port <<<"$objects"; then echo "kv_line holds the POSIX port" >&2; exit 1; fi

echo "== Linux simulator and end-to-end tests ($host_build)"
if [ ! -f "$host_build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$host_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${ccache_launcher[@]}" \
    -DKV_BUILD_UI=OFF -DKV_BUILD_BENCH=OFF -DKV_WERROR=ON >/dev/null
fi
cmake --build "$host_build" -j "$jobs" --target kv6193-sim ld6193-flash cli_e2e_tests
sim=$host_build/sim/kv6193-sim

echo "== wine prefix"
find_wine || exit 1
new_wine_prefix
# A zone with a half-hour offset, so that local file times really differ from UTC.
export TZ='<+0530>-5:30'
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# wine rewrites dosdevices/comN each time it starts, from the devices it finds and from this key.
mkdir "$WINEPREFIX/kv-com"
for n in 1 2 3 4; do
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$WINEPREFIX/kv-com/com$n" /f >/dev/null 2>&1
done
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w
# One session for the whole run: every later program starts in a second instead of three, and wine's
# services are started here, not by a test whose output pipes they would then hold open.
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
for n in 1 2 3 4; do
  [ "$(readlink "$WINEPREFIX/dosdevices/com$n")" = "$WINEPREFIX/kv-com/com$n" ] ||
    { echo "wine did not map COM$n" >&2; exit 1; }
done

echo "== Windows unit tests under wine"
# The tests run on virtual time and give the same result every time, so each runs once. Should wine's
# own loader fail while a test program exits, the run fails with wine's message named, not hidden.
if ! ctest --test-dir "$build" --output-on-failure --timeout 300; then
  if grep -q "Inconsistency detected by ld.so" "$build/Testing/Temporary/LastTest.log" 2>/dev/null; then
    echo "wine's loader (ld.so) failed while a test program exited: a fault of wine, see above" >&2
  fi
  exit 1
fi

echo "== End-to-end under wine: ld6193-flash.exe against the simulator"
KV_FLASH_COMMAND="$wine $flasher_exe" KV_FLASH_PORT_MAPPER=wine KV_SIM_BINARY="$sim" \
  "$host_build/tests/cli/cli_e2e_tests"

echo "== The window under wine: ld6193.exe driven from the keyboard"
scripts/test-windows-window.sh "$wine" "$window_exe" "$build/ui/win32/window_probe.exe" "$sim" \
  "$host_build/cli/ld6193-flash" $screenshot

echo "== The station window under wine: Flash all on COM1 and COM2"
scripts/test-windows-station.sh "$wine" "$window_exe" "$build/ui/win32/window_probe.exe" "$sim" \
  "$host_build/cli/ld6193-flash" $station_screenshot

if [ "$timing" = 1 ]; then
  echo "== One full MultiSector download against the line-paced simulator"
  time_download() {  # label, then the flasher's command with its port argument
    local label=$1
    shift
    start_sim "$sim" "$WINEPREFIX/kv-sim.out" --line-rate --link "$WINEPREFIX/kv-com/com1" || exit 1
    local start ms
    start=$(date +%s%N)
    LD6193_COM1="$WINEPREFIX/kv-com/com1" "$@" --quiet examples/multisector_full.hex
    ms=$((($(date +%s%N) - start) / 1000000))
    stop_sim
    rm -f "$WINEPREFIX/kv-com/com1"
    printf '%s: %d.%03d s\n' "$label" $((ms / 1000)) $((ms % 1000))
  }
  time_download "Linux ld6193-flash" "$host_build/cli/ld6193-flash" --port 1
  time_download "wine ld6193-flash.exe" "$wine" "$flasher_exe" --port 1
fi
echo "Windows tests passed."
