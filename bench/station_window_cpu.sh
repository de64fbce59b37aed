#!/usr/bin/env bash
# The station window's own CPU against the command-line station's: 16 kv6193-sim boards at line rate
# (--line-rate) appear at once in a fake port tree, and each station flashes them all with the same
# file, once `ld6193-flash --station` and once `ld6193 --station` on a virtual X display (started with
# F9). Each one's CPU (user and system) is counted while the boards flash (from the station's start
# to the last board's end; the target, window / command line at most 1.2) and, beside it, from the
# program's start (the window's includes loading Qt and drawing its first screen); the window's own
# thread (drawing and the station's events) is shown apart from its boards' threads. Sixteen busy boards
# share this machine's cores with everything else, so a pair of runs differs by up to a fifth from the
# next pair: the pairs are repeated ROUNDS times, alternately, and the median ratio is the figure.
# Every wait is for a condition.
# Usage: bench/station_window_cpu.sh [BUILD] [FILE] [ROUNDS]  (defaults: build,
# examples/multisector_full.hex, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
unset QT_QPA_PLATFORM
source scripts/lib.sh
build=$(realpath "${1:-build}")
file=$(realpath "${2:-examples/multisector_full.hex}")
rounds=${3:-5}
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

# The command line: sets cli_ms (while flashing) and cli_total_ms.
run_command_line() {
  start_station "$flasher" "$work/cli.out" /dev/null "$file"
  local start_ms
  start_ms=$(cpu_ms "$station_pid")
  plug_boards
  wait_until 600 passed_lines "$work/cli.out" || fail "the command line did not flash the $boards boards"
  cli_total_ms=$(cpu_ms "$station_pid")
  cli_ms=$((cli_total_ms - start_ms))
  kill -INT "$station_pid"
  wait "$station_pid" 2>/dev/null || true
  unplug_boards
}

# The window, watched through its daily log alone (no probe: the figure is the window's own): Start
# makes the day's file, and each board's end adds its row. Sets window_ms, window_total_ms and
# window_thread_ms (its own thread while flashing).
log_made() { compgen -G "$work/data/ld6193/station-*.jsonl" >/dev/null; }
logged_passes() { [ "$(cat "$work"/data/ld6193/station-*.jsonl | grep -cF '"File successfully loaded"')" -ge "$boards" ]; }
run_window() {
  rm -rf "$work/data"
  KV_TEST_PORT_ROOT=$root XDG_DATA_HOME=$work/data "$window" --station "$file" &
  local app=$! id press start_ms thread_start_ms
  pids+=("$app")
  id=$(wait_window 20 "KV6193 Production Station") || fail "the window did not appear"
  # F9 starts the station once the file is open; until then it does nothing, so it is pressed again.
  for ((press = 0; ; press++)); do
    [ "$press" -lt 10 ] || fail "F9 did not start the station"
    xdotool windowfocus --sync "$id"
    xdotool key F9
    ! wait_until 2 log_made || break
  done
  start_ms=$(cpu_ms "$app")
  thread_start_ms=$(cpu_ms "$app" "$app")
  plug_boards
  wait_until 600 logged_passes || fail "the window did not flash the $boards boards"
  window_total_ms=$(cpu_ms "$app")
  window_ms=$((window_total_ms - start_ms))
  window_thread_ms=$(($(cpu_ms "$app" "$app") - thread_start_ms))
  xdotool windowfocus --sync "$id"
  xdotool key alt+F4
  wait_exit_zero 20 "$app" || fail "$exit_problem"
  unplug_boards
}

echo "CPU for $boards boards at line rate ($(basename "$file")), ms, in $rounds rounds:"
echo "         command line          window (its own thread)          window / command line"
echo "         flashing  all         flashing         all             flashing  all"
ratios=()
for ((round = 1; round <= rounds; round++)); do
  run_command_line
  run_window
  ratio=$(awk -v w="$window_ms" -v c="$cli_ms" 'BEGIN { printf "%.2f", w / c }')
  ratios+=("$ratio")
  printf '  %2d     %6d  %6d      %6d (%4d)   %6d          %6s  %6.2f\n' "$round" "$cli_ms" "$cli_total_ms" \
    "$window_ms" "$window_thread_ms" "$window_total_ms" "$ratio" \
    "$(awk -v w="$window_total_ms" -v c="$cli_total_ms" 'BEGIN { print w / c }')"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }')
echo "window / command line while the boards flash, median of $rounds: $median (target <= 1.2)"
