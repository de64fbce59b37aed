#!/usr/bin/env bash
# Takes docs/window.png: the real window on a virtual X display, driven as a person would drive it.
# Starts kv6193-sim as COM1, opens ld6193, chooses "Load File" from the keyboard (Alt opens the menu
# bar, Return chooses its first command), types the path of examples/multisector.hex into the file
# dialog, chooses "Send" (Alt, Right, Return), waits for the closing message box, dismisses it with
# Return, checks that the simulated device received the data, and photographs the window with its bar
# at 100 %. Every step waits for what it needs (a window, a dialog, a box), never for a fixed time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ -z "${KV_SCREENSHOT_DISPLAY:-}" ]; then
  scripts/deps.sh build test
  cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF
  cmake --build build/app --target ld6193 kv6193-sim
  exec env KV_SCREENSHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

. scripts/lib.sh
work=$(mktemp -d)
app_pid=
finish() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  stop_sim
  rm -rf "$work"
}
trap finish EXIT
fail() {
  echo "screenshot.sh: $*" >&2
  exit 1
}

# With KV_SCREENSHOT_STEPS=DIR, a picture of the whole screen after each step, for finding out why a run
# went astray.
step() {
  [ -z "${KV_SCREENSHOT_STEPS:-}" ] || import -window root "$KV_SCREENSHOT_STEPS/$1.png"
}

# Keys to a window once it has the focus.
keys() {
  local window=$1
  shift
  xdotool windowfocus --sync "$window"
  xdotool key "$@"
}

start_sim build/app/sim/kv6193-sim "$work/sim.out" --line-rate --dump "$work/flash.bin" ||
  fail "no simulated device"

mkdir "$work/run"
(cd "$work/run" && LD6193_COM1=$sim_pty exec "$root/build/app/ui/ld6193") &
app_pid=$!
main=$(wait_window 20 "KV6193 System File Loader") || fail "the window did not appear"
step 1-started

keys "$main" alt Return  # "Load File", the first command on the menu bar
dialog=$(wait_window 10 "^Open$") || fail "the file dialog did not open"
xdotool windowfocus --sync "$dialog"
xdotool type --delay 20 "$root/examples/multisector.hex"
step 2-dialog-typed
xdotool key Return
wait_window_gone 10 "^Open$" || fail "the file dialog did not close"
step 3-loaded

keys "$main" alt Right Return  # "Send", the second command
box=$(wait_window 60 "^ld6193$") || {
  step 4-no-box
  fail "no message box after Send"
}
step 4-box
keys "$box" Return
wait_window_gone 10 "^ld6193$" || fail "the message box is still open"

mkdir -p docs
import -window "$main" docs/window.png
echo "Wrote docs/window.png"

# The device must really hold the file: its flash, written out when the simulator stops, is not blank.
stop_sim
[ -s "$work/flash.bin" ] || fail "the simulator wrote no flash dump"
if cmp -s "$work/flash.bin" <(head -c 524288 /dev/zero | tr '\0' '\377'); then
  fail "the device's flash is still blank: Send did not program it"
fi
echo "The simulated device holds the downloaded image."
