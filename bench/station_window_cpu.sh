#!/usr/bin/env bash
# The station window's own CPU against the command-line station's: 16 kv6193-sim boards at line rate
# (--line-rate) appear at once in a fake port tree, and each station flashes them all with the same
# file, once `ld6193-flash --station` and once `ld6193 --station` on a virtual X display (started with
# F9). Each one's CPU (user and system) is counted while the boards flash (from the station's start
# to the last board's end; the target, window / command line at most 1.2) and, beside it, from the
# program's start (the window's includes loading Qt and drawing its first screen). Every wait is for a condition.
# Usage: bench/station_window_cpu.sh [BUILD] [FILE]  (defaults: build, examples/multisector_full.hex)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
unset QT_QPA_PLATFORM
source scripts/lib.sh
build=$(realpath "${1:-build}")
file=$(realpath "${2:-examples/multisector_full.hex}")
sim=$build/sim/kv6193-sim
flasher=$build/cli/ld6193-flash
window=$build/ui/ld6193
boards=16
need_built "$sim" "$flasher" "$window"
make_work_folder
make_fake_port_tree

fail() {
  echo "station_window_cpu.sh: $*" >&2
  exit 1
}
sims=()
plug_boards() {  # 16 fresh simulators at line rate, all linked in at once
  local ptys=() i
  for ((i = 0; i < boards; i++)); do
    start_sim "$sim" "$work/sim$i.out" --line-rate || fail "no board $i"
    pids+=("$sim_pid")
    sims+=("$sim_pid")
    ptys+=("$sim_pty")
  done
  for ((i = 0; i < boards; i++)); do ln -s "${ptys[$i]}" "$byid/usb-KV_board$i-if00"; done
}
unplug_boards() {
  local pid
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  sims=()
  rm -f "$byid"/*
}
passed_lines() { [ "$(grep -cF "] File successfully loaded" "$1" || true)" -ge "$boards" ]; }
window_shows() { grep -qF -- "$1" "$work/screen.txt"; }

# The command line.
start_station "$flasher" "$work/cli.out" /dev/null "$file"
cli_start_ms=$(cpu_ms "$station_pid")
plug_boards
wait_until 600 passed_lines "$work/cli.out" || fail "the command line did not flash the $boards boards"
cli_ms=$(cpu_ms "$station_pid")
kill -INT "$station_pid"
wait "$station_pid" 2>/dev/null || true
unplug_boards

# The window.
KV_TEST_PORT_ROOT=$root XDG_DATA_HOME=$work/data LD6193_STATION_PROBE=$work/screen.txt \
  "$window" --station "$file" &
app=$!
pids+=("$app")
id=$(wait_window 20 "KV6193 Production Station") || fail "the window did not appear"
wait_until 20 grep -qE "^header: Pages: [0-9]" "$work/screen.txt" || fail "the window did not open the file"
xdotool windowfocus --sync "$id"
xdotool key F9
wait_until 10 window_shows "button: Stop" || fail "F9 did not start the station"
window_start_ms=$(cpu_ms "$app")
plug_boards
wait_until 600 window_shows "tally: passed $boards · failed 0 · flashing 0" ||
  fail "the window did not flash the $boards boards"
window_ms=$(cpu_ms "$app")
xdotool windowfocus --sync "$id"
xdotool key alt+F4
wait_exit_zero 20 "$app" || fail "$exit_problem"
unplug_boards

flashing_cli=$((cli_ms - cli_start_ms))
flashing_window=$((window_ms - window_start_ms))
echo "CPU for $boards boards at line rate ($(basename "$file")), ms:"
echo "                          while the boards flash   from the program's start"
printf '  ld6193-flash --station  %6d                   %6d\n' "$flashing_cli" "$cli_ms"
printf '  ld6193 --station        %6d                   %6d\n' "$flashing_window" "$window_ms"
awk -v w="$flashing_window" -v c="$flashing_cli" -v W="$window_ms" -v C="$cli_ms" \
  'BEGIN { printf "  window / command line   %6.2f (target <= 1.2)   %6.2f\n", w / c, W / C }'
