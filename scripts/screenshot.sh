#!/usr/bin/env bash
# Takes docs/window.png: the real window on a virtual X display, driven as a person would drive it.
# Starts kv6193-sim as COM1, opens ld6193, clicks "Load File", types the path of
# examples/multisector.hex into the file dialog, clicks "Send", waits for the closing message box,
# dismisses it with Enter, checks that the simulated device received the data, and photographs the
# window with its bar at 100 %.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ -z "${KV_SCREENSHOT_DISPLAY:-}" ]; then
  scripts/deps.sh build test
  cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF
  cmake --build build/app --target ld6193 kv6193-sim
  exec env KV_SCREENSHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

work=$(mktemp -d)
sim_pid=
app_pid=
finish() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT
fail() {
  echo "screenshot.sh: $*" >&2
  exit 1
}

# Waits up to $1 seconds for a visible window whose name matches $2; prints its id.
wait_window() {
  local deadline=$((SECONDS + $1)) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "$2" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.2
  done
  return 1
}

# With KV_SCREENSHOT_STEPS=DIR, a picture of the whole screen after each step, for finding out why a run
# went astray.
step() {
  [ -z "${KV_SCREENSHOT_STEPS:-}" ] || import -window root "$KV_SCREENSHOT_STEPS/$1.png"
}

# Clicks at a point of a window, in its own coordinates.
click() {
  xdotool mousemove --window "$1" "$2" "$3"
  sleep 0.2
  xdotool click 1
}

build/app/sim/kv6193-sim --line-rate --dump "$work/flash.bin" >"$work/sim.out" &
sim_pid=$!
pty=
for _ in $(seq 100); do
  if IFS= read -r pty <"$work/sim.out" && [ -n "$pty" ]; then break; fi
  pty=
  sleep 0.05
done
[ -n "$pty" ] || fail "kv6193-sim gave no terminal"

mkdir "$work/run"
(cd "$work/run" && LD6193_COM1=$pty exec "$root/build/app/ui/ld6193") &
app_pid=$!
main=$(wait_window 20 "KV6193 System File Loader") || fail "the window did not appear"
sleep 1

# "Load File" and "Send" sit on the menu bar itself, left to right.
step 1-started
click "$main" 34 10
dialog=$(wait_window 10 "^Open$") || fail "the file dialog did not open"
sleep 1
xdotool mousemove --window "$dialog" 20 20
xdotool windowfocus --sync "$dialog" || true
xdotool type --delay 20 "$root/examples/multisector.hex"
step 2-dialog-typed
xdotool key Return
sleep 2
step 3-loaded

click "$main" 86 10
box=$(wait_window 60 "^ld6193$") || {
  step 4-no-box
  fail "no message box after Send"
}
step 4-box
sleep 0.5
xdotool mousemove --window "$box" 20 20
xdotool windowfocus --sync "$box" || true
xdotool key Return
sleep 1
xdotool search --onlyvisible --name "^ld6193$" >/dev/null 2>&1 && fail "the message box is still open"

mkdir -p docs
import -window "$main" docs/window.png
echo "Wrote docs/window.png"

# The device must really hold the file: its flash, written out when the simulator stops, is not blank.
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=
[ -s "$work/flash.bin" ] || fail "the simulator wrote no flash dump"
if cmp -s "$work/flash.bin" <(head -c 524288 /dev/zero | tr '\0' '\377'); then
  fail "the device's flash is still blank: Send did not program it"
fi
echo "The simulated device holds the downloaded image."
