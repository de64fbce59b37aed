#!/usr/bin/env bash
# Installs what is missing, builds the window (ld6193) and the device simulator (kv6193-sim), starts the
# simulator on a pseudo-terminal as COM1, and opens the window in run/, a working folder of its own
# (ld6193.cfg is kept there). The simulator stops when the window closes.
#
# With a real device: set LD6193_COM1 to its serial device (e.g. /dev/ttyUSB0) before running this,
# and no simulator is started; COM2 to COM4 follow LD6193_COM2..4, else the serial ports present
# (ld6193-flash --list-ports shows them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh build
cmake -S . -B build/app -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF
cmake --build build/app --target ld6193 kv6193-sim

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  exit 1
fi

. scripts/lib.sh
sim_out=
finish() {
  stop_sim
  [ -z "$sim_out" ] || rm -f "$sim_out"
}
trap finish EXIT

if [ -z "${LD6193_COM1:-}" ]; then
  sim_out=$(mktemp)
  start_sim build/app/sim/kv6193-sim "$sim_out" --line-rate || exit 1
  export LD6193_COM1=$sim_pty
  echo "Simulated device on $sim_pty (COM1). Try Load File with $root/examples/sector0.hex, then Send."
fi

mkdir -p run
cd run
"$root/build/app/ui/ld6193"
