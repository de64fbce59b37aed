#!/usr/bin/env bash
# How soon the production station answers Ctrl-C: ROUNDS times while it waits for boards (the answer
# is the tally, its last line) and ROUNDS times while a board flashes (the answer is its notice that it
# stops once the running downloads end), each at a random moment, over a fake /dev/serial/by-id folder
# with a kv6193-sim board paced as a real line. Prints the longest and median times (target: at most
# 50 ms). Each station is then ended (the second Ctrl-C shuts a running download down).
#
# Usage: bench/station_interrupt.sh [BUILD_DIR] [ROUNDS]   (default build, 20 rounds; about a minute)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=$(realpath "${1:-build}")
rounds=${2:-20}
sim=$build/sim/kv6193-sim
flasher=$build/cli/ld6193-flash
file=$PWD/examples/multisector_full.hex
limit_ms=50
need_built "$sim" "$flasher"

make_work_folder
make_fake_port_tree
out=$work/station.out

now_us() { local t=${EPOCHREALTIME/[.,]/}; echo "$t"; }
holds() { grep -qF -- "$1" "$out"; }
# A random pause of 0 to 0.999 s.
random_pause() { sleep "0.$(printf '%03d' $((RANDOM % 1000)))"; }

# interrupt TEXT: Ctrl-C to the station; prints the ms until its output holds TEXT.
interrupt() {
  local sent
  sent=$(now_us)
  kill -INT "$station_pid"
  until holds "$1"; do
    [ $(($(now_us) - sent)) -lt 5000000 ] || { echo "no answer to Ctrl-C within 5 s" >&2; exit 1; }
    sleep 0.001
  done
  echo $((($(now_us) - sent) / 1000))
}

waiting=()
for ((round = 0; round < rounds; round++)); do
  start_station "$flasher" "$out" /dev/null "$file"
  random_pause
  waiting+=("$(interrupt "flashing 0")")
  wait "$station_pid" || true
done

flashing=()
start_sim "$sim" "$work/sim.out" --line-rate
pids+=("$sim_pid")
for ((round = 0; round < rounds; round++)); do
  start_station "$flasher" "$out" /dev/null "$file"
  ln -sf "$sim_pty" "$byid/usb-KV_board-if00"
  wait_until 10 holds "] started" || { echo "the board was not started" >&2; exit 1; }
  random_pause
  flashing+=("$(interrupt "Stopping once the running downloads end")")
  kill -INT "$station_pid"
  wait "$station_pid" || true
  rm -f "$byid/usb-KV_board-if00"
done
stop_sim

summary() {
  local sorted
  sorted=$(printf '%s\n' "$@" | sort -n)
  echo "longest $(tail -1 <<<"$sorted") ms, median $(sed -n "$((($# + 1) / 2))p" <<<"$sorted") ms"
}
echo "Ctrl-C answered, $rounds times each at random moments (target <= $limit_ms ms):"
echo "  while waiting for boards: $(summary "${waiting[@]}")"
echo "  while a board flashes:    $(summary "${flashing[@]}")"
longest=$(printf '%s\n' "${waiting[@]}" "${flashing[@]}" | sort -n | tail -1)
[ "$longest" -le "$limit_ms" ] || { echo "An answer took over $limit_ms ms." >&2; exit 1; }
