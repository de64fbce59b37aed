#!/usr/bin/env bash
# The station window end to end: the real `ld6193 --station FILE` on a virtual X display, over a fake
# port tree where two kv6193-sim boards appear in two USB sockets (a by-path link for the socket, a
# by-id link for the adapter). Started with F9; one board passes and one gives no answer to the finish; the
# window's own widgets (written out by LD6193_STATION_PROBE) must show Passed, and Failed with its
# cause, and the tally 1 and 1. Both boards' flash must be byte-exact with what the command line
# flashes; each board has its row, with its slot, in the day's log; Alt+F4 closes the window with exit
# code 0. Every step waits for a condition, never for a fixed time.
# Usage: scripts/test-station-window.sh [BUILD] [--screenshot]  (BUILD: build; the picture:
# docs/station-linux.png)
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD
args=("$@")
build=build
screenshot=
for arg in "$@"; do
  case "$arg" in
    --screenshot) screenshot=$root_dir/docs/station-linux.png ;;
    *) build=$arg ;;
  esac
done
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "${args[@]}"
fi
unset QT_QPA_PLATFORM  # the suite runs Qt offscreen; this test needs the window on the display
build=$(realpath "$build")
window=$build/ui/ld6193
flasher=$build/cli/ld6193-flash
sim=$build/sim/kv6193-sim
file=$root_dir/examples/sector0.hex  # its download ends with the finish command

. scripts/lib.sh
need_built "$window" "$flasher" "$sim"
make_work_folder
make_fake_port_tree
fail() {
  echo "test-station-window.sh: $*" >&2
  [ ! -f "$work/screen.txt" ] || { echo "-- the window shows:" >&2; cat "$work/screen.txt" >&2; }
  exit 1
}

# The command line's flash of the same file, the reference for both boards.
start_sim "$sim" "$work/ref.out" --dump "$work/ref.bin" || fail "no reference board"
"$flasher" --quiet --device "$sim_pty" "$file" >/dev/null || fail "the command line could not flash"
stop_sim

# plug NAME SOCKET [SIM OPTIONS...]: a board in the USB socket SOCKET, its flash dumped to NAME.bin.
plug() {
  local name=$1 socket=$2
  shift 2
  start_sim "$sim" "$work/$name.out" --dump "$work/$name.bin" "$@" || fail "no board $name"
  pids+=("$sim_pid")
  boards+=("$sim_pid")
  mkdir -p "$root/dev/serial/by-path"
  ln -s "$sim_pty" "$root/dev/serial/by-path/$socket"
  ln -s "$sim_pty" "$byid/usb-KV_board_$name-if00"  # last: the port appears with its slot known
}
shows() { grep -qF -- "$1" "$work/screen.txt"; }

KV_TEST_PORT_ROOT=$root XDG_DATA_HOME=$work/data LD6193_STATION_PROBE=$work/screen.txt \
  "$window" --station "$file" &
app=$!
pids+=("$app")
id=$(wait_window 20 "KV6193 Production Station") || fail "the window did not appear"
wait_until 10 shows "sector0.hex (Sector0)" || fail "the file was not opened"
xdotool windowfocus --sync "$id"
xdotool key F9
wait_until 10 shows "button: Stop" || fail "F9 did not start the station"

boards=()
socket_a=pci-0000:00:14.0-usb-0:1:1.0-port0
socket_b=pci-0000:00:14.0-usb-0:2:1.0-port0
plug a "$socket_a"
plug b "$socket_b" --fault finish:noack
wait_until 60 shows "tally: passed 1 · failed 1 · flashing 0" || fail "the tally did not reach 1 and 1"
shows "tile: $socket_a | Passed | usb-KV_board_a-if00 | Passed in " || fail "socket A's tile is not Passed"
grep -qE "^tile: $socket_b \| Failed \| usb-KV_board_b-if00 \| Failed \| .+: .+" "$work/screen.txt" ||
  fail "socket B's tile is not Failed with its cause"

if [ -n "$screenshot" ]; then
  mkdir -p "$(dirname "$screenshot")"
  import -window "$id" "$screenshot"
  echo "Wrote $screenshot"
fi

xdotool windowfocus --sync "$id"
xdotool key alt+F4
wait_exit_zero 20 "$app" || fail "$exit_problem"

for pid in "${boards[@]}"; do
  kill -TERM "$pid"
  wait "$pid" || true
done
for name in a b; do
  cmp -s "$work/ref.bin" "$work/$name.bin" || fail "board $name's flash differs from the command line's"
done
rows=$(cat "$work"/data/ld6193/station-*.jsonl | grep -c '"slot":"pci-0000:00:14.0-usb-0:[12]:1.0-port0"')
[ "$rows" = 2 ] || fail "the day's log holds $rows rows with their slots, not 2"
echo "The station window flashed two boards, showed Passed and Failed with its cause, and logged both."
