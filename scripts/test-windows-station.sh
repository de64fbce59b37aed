#!/usr/bin/env bash
# The station window (ld6193.exe --station FILE) under wine, driven from the keyboard as an operator
# would drive it at a fixture whose two adapters stay plugged in:
#   two USB serial adapters are entered in wine's device manager (COM1 and COM2, each with its friendly
#   name, as Windows lists a real adapter; wine reads no location path, so each port is its own slot),
#   each mapped to a kv6193-sim board; the window starts with the file, F9 starts the station (both
#   boards are there already: left alone), F5 ("Flash all") flashes both, and both tiles must read Passed with the tally at 2 passed; Alt+F4
#   closes the window, which must exit with 0. Each board's flash must equal, byte for byte, what the
#   Linux flasher puts into a third simulated board from the same file, and the day's log must hold a
#   row for each, with its slot.
# Every wait is for a condition (a window by its title, what window_probe.exe reads of the header, the
# tally and the tiles, a process), bounded by a time limit.
#
# Called by test-windows.sh with its wine prefix (WINEPREFIX, COM1 and COM2 mapped to
# $WINEPREFIX/kv-com/com1 and com2) and DISPLAY set:
#   test-windows-station.sh WINE LD6193_EXE WINDOW_PROBE_EXE KV6193_SIM LD6193_FLASH [SCREENSHOT.png]
# With SCREENSHOT.png, the window is photographed with both tiles Passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh  # start_sim, stop_sim, wait_window, wait_until, window_keys, wait_exit_zero, ...
window_test_args "$(basename "$0")" "$@"

caption="Production Station"
file=$root/examples/sector0.hex
work=$(mktemp -d "${TMPDIR:-/tmp}/kv-station.XXXXXX")
sim_pids=()
app_pid=
finish() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  for pid in "${sim_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for n in 1 2; do "$wine" reg delete "$(adapter_key "$n")" /f >/dev/null 2>&1 || true; done
  rm -rf "$work" "$WINEPREFIX/drive_c/firmware"
}
trap finish EXIT
fail() {
  echo "test-windows-station.sh: $*" >&2
  echo "the window read: ${station_text:-nothing}" >&2
  exit 1
}

# Adapter n, as the device manager keeps a serial port's device.
adapter_key() { echo "HKLM\\System\\CurrentControlSet\\Enum\\ROOT\\PORTS\\KV000$1"; }
add_adapter() {
  local key
  key=$(adapter_key "$1")
  "$wine" reg add "$key" /v ClassGUID /d '{4d36e978-e325-11ce-bfc1-08002be10318}' /f >/dev/null 2>&1
  "$wine" reg add "$key" /v FriendlyName /d "KV6193 USB Serial (COM$1)" /f >/dev/null 2>&1
  "$wine" reg add "$key\\Device Parameters" /v PortName /d "COM$1" /f >/dev/null 2>&1
}

# What the window shows: its header lines, its tally and its tiles, one a line (window_probe.exe station).
read_station() { station_text=$("$wine" "$window_probe" station 2>/dev/null | tr -d '\r'); }
shows() { read_station && grep -qiE "$1" <<<"$station_text"; }
shows_count() { read_station && [ "$(grep -cE "$1" <<<"$station_text")" = "$2" ]; }

echo "-- the reference: the Linux flasher's download of $(basename "$file")"
start_sim "$sim" "$work/reference.out" --dump "$work/expected.bin" || fail "kv6193-sim (reference) did not start"
"$flasher" --device "$sim_pty" --quiet "$file" >/dev/null || fail "the Linux flasher failed on $file"
stop_sim
[ -s "$work/expected.bin" ] || fail "no reference flash"

echo "-- two adapters on COM1 and COM2, a board on each"
for n in 1 2; do
  add_adapter "$n"
  start_sim "$sim" "$work/sim$n.out" --link "$WINEPREFIX/kv-com/com$n" --dump "$work/flash$n.bin" ||
    fail "kv6193-sim on COM$n did not start"
  sim_pids+=("$sim_pid")
  sim_pid=
done

echo "-- ld6193.exe --station, Start (F9), Flash all (F5)"
# The file where a line's engineer would put it, so that the header (and the screenshot) shows that.
mkdir -p "$WINEPREFIX/drive_c/firmware"
cp -p "$file" "$WINEPREFIX/drive_c/firmware/"  # its time goes into the identification block
windows_file='C:\firmware\sector0.hex'
(cd "$work" && exec "$wine" "$exe" --station "$windows_file") &
app_pid=$!
wait_window 60 "$caption" >/dev/null || fail "the station window did not appear"
wait_until 30 shows "^header: .*sector0\.hex" || fail "the header does not name the file"
day=$(date +%F)  # the day the station starts; the check below also takes the next, past midnight
window_keys F9
wait_until 30 shows_count "^tile: .*COM[12]\)" 2 || fail "F9 did not start the station with a tile for each adapter"
window_keys F5
wait_until 60 shows_count "^tile: .*COM[12]\) \| Passed" 2 || fail "F5 did not flash both boards"
wait_until 10 shows "^tally: passed 2 · failed 0 · flashing 0" || fail "the tally does not say 2 passed"
echo "$station_text" | grep '^tile: '
if [ -n "$screenshot" ]; then
  import -window "$(xdotool search --name "$caption" | head -n1)" "$screenshot"
  echo "Wrote $screenshot"
fi
window_keys alt+F4
wait_exit_zero 30 "$app_pid" || fail "$exit_problem"
app_pid=

for n in 1 2; do
  kill -TERM "${sim_pids[$((n - 1))]}"
  wait "${sim_pids[$((n - 1))]}" 2>/dev/null || true
  [ -s "$work/flash$n.bin" ] || fail "the board on COM$n wrote no flash dump"
  cmp "$work/flash$n.bin" "$work/expected.bin" >&2 || fail "the board on COM$n differs from the expected image"
done
sim_pids=()

# The day's log, in the prefix's per-user data folder and named by today's local date (the zone that
# test-windows.sh sets is Windows' zone under wine too): a row per board, each with its slot.
log=$(find "$WINEPREFIX/drive_c/users" -path '*ld6193/station-*.jsonl' | head -n1)
[ -n "$log" ] || fail "no station log in the user's data folder"
case "$(basename "$log")" in
  "station-$day.jsonl" | "station-$(date +%F).jsonl") ;;
  *) fail "the day's log is $(basename "$log"), not station-$(date +%F).jsonl" ;;
esac
[ "$(grep -cE '"slot":"COM[12]"' "$log")" = 2 ] ||
  fail "the log $log does not hold a row with its slot for each board"
echo "The station window flashed both boards by keyboard: both byte-exact, both logged, exit code 0."
