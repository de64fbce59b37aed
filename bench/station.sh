#!/usr/bin/env bash
# The production station (ld6193-flash --station) over a fake /dev/serial/by-id folder, with
# kv6193-sim boards whose by-id link the script makes and takes away:
#  1. Time to notice a new port: from the moment its by-id link appears to the station's "started"
#     line, over ROUNDS plug-ins of one board flashed with examples/sector1.hex (target: at most
#     0.5 s).
#  2. CPU: the station's own processor time (user + system) for 16 boards that arrive one after
#     another, beside a gang of 16 (one ld6193-flash with 16 --device options) flashing the same file
#     (examples/multisector_full.hex, 1,088 pages) to 16 simulators; RUNS times each, with the
#     medians. Simulators are not counted.
# Prints the figures; fails when the slowest notice is over 0.5 s.
#
# Usage: [RUNS=3] bench/station.sh [BUILD_DIR] [ROUNDS]   (default build, 10 rounds; needs kv6193-sim
# and ld6193-flash built there). Takes about six minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=$(realpath "${1:-build}")
rounds=${2:-10}
sim=$build/sim/kv6193-sim
flasher=$build/cli/ld6193-flash
small=$PWD/examples/sector1.hex
file=$PWD/examples/multisector_full.hex
boards=16
limit_ms=500
for program in "$sim" "$flasher"; do
  [ -x "$program" ] || { echo "missing $program: build kv6193-sim and ld6193-flash first" >&2; exit 1; }
done

make_work_folder
root=$work/root
byid=$root/dev/serial/by-id
mkdir -p "$byid" "$root/sys/class/tty"

# count FILE TEXT: how many lines of FILE hold TEXT.
count() { grep -cF -- "$2" "$1" || true; }
# at_least N FILE TEXT: FILE has N lines with TEXT.
at_least() { [ "$(count "$2" "$3")" -ge "$1" ]; }
wait_for() {  # what, seconds, then a command that succeeds once it is there
  local what=$1 seconds=$2
  shift 2
  wait_until "$seconds" "$@" || { echo "$what did not happen within $seconds s" >&2; exit 1; }
}
now_us() { local t=${EPOCHREALTIME/[.,]/}; echo "$t"; }

# Starts a station for the file $2 over the fake tree, its output in $work/$1.out; sets station_pid.
start_station() {
  : >"$work/$1.out"
  KV_TEST_PORT_ROOT=$root "$flasher" --station "$2" >"$work/$1.out" 2>/dev/null &
  station_pid=$!
  pids+=("$station_pid")
  wait_for "the station's start" 10 at_least 1 "$work/$1.out" "Waiting for boards"
}

# Stops the station with Ctrl-C and waits for it to end.
stop_station() {
  kill -INT "$station_pid"
  wait "$station_pid" 2>/dev/null || true
}

# cpu_ms PID: user + system time of a live process, in ms.
cpu_ms() {
  local fields
  read -r -a fields <"/proc/$1/stat"
  # Fields 14 and 15 (from 1), counted after the name in parentheses, which holds no blank here.
  echo $(((fields[13] + fields[14]) * 1000 / $(getconf CLK_TCK)))
}

# ---- 1. time to notice -------------------------------------------------------------------------------
start_sim "$sim" "$work/notice-sim.out"
pids+=("$sim_pid")
start_station notice "$small"
out=$work/notice.out
notices=()
for ((round = 1; round <= rounds; round++)); do
  plugged=$(now_us)
  ln -s "$sim_pty" "$byid/usb-KV_bench-if00"
  until at_least "$round" "$out" "] started"; do
    sleep 0.002
    process_gone "$station_pid" && { echo "the station ended" >&2; exit 1; }
  done
  notices+=($((($(now_us) - plugged) / 1000)))
  wait_for "download $round" 20 at_least "$round" "$out" "] File successfully loaded"
  rm "$byid/usb-KV_bench-if00"
  wait_for "the unplugging $round" 10 at_least "$round" "$out" "] removed"
done
stop_station
stop_sim
sorted=$(printf '%s\n' "${notices[@]}" | sort -n)
slowest=$(tail -1 <<<"$sorted")
echo "Time to notice a new port, $rounds plug-ins (target <= $limit_ms ms):"
echo "  fastest $(head -1 <<<"$sorted") ms, median $(sed -n "$(((rounds + 1) / 2))p" <<<"$sorted") ms, slowest $slowest ms"

# ---- 2. CPU: a station of 16 boards beside a gang of 16 ---------------------------------------------
# Both on fresh simulators; each measured RUNS times (the machine is shared), the medians compared.
sims=()
start_boards() {  # 16 fresh simulators; their terminals in ptys
  ptys=()
  for ((i = 0; i < boards; i++)); do
    start_sim "$sim" "$work/sim$i.out"
    pids+=("$sim_pid")
    sims+=("$sim_pid")
    ptys+=("$sim_pty")
  done
}
stop_boards() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  sims=()
}

gang_cpu() {  # prints "CPU-ms wall-s"
  start_boards
  local devices=() timing user sys wall
  for pty in "${ptys[@]}"; do devices+=(--device "$pty"); done
  TIMEFORMAT='%U %S %R'
  timing=$({ time "$flasher" --quiet "${devices[@]}" "$file" >"$work/gang.out" 2>&1; } 2>&1) || {
    echo "the gang failed:" >&2
    cat "$work/gang.out" >&2
    exit 1
  }
  read -r user sys wall <<<"$timing"
  stop_boards
  awk -v u="$user" -v s="$sys" -v w="$wall" 'BEGIN { printf "%d %.1f\n", (u + s) * 1000, w }'
}

station_cpu() {  # prints "CPU-ms wall-s". $1 "one-by-one": each board is plugged in once the one
  # before has started; "at-once": all 16 are plugged in together
  rm -f "$byid"/*
  start_station cpu "$file"
  local out=$work/cpu.out started wall cpu
  started=$(now_us)
  start_boards
  for ((i = 0; i < boards; i++)); do
    ln -s "${ptys[$i]}" "$byid/usb-KV_board$i-if00"
    [ "$1" = at-once ] || wait_for "board $i's start" 10 at_least $((i + 1)) "$out" "] started"
  done
  wait_for "the 16 downloads" 300 at_least "$boards" "$out" "] File successfully loaded"
  wall=$(awk -v us=$(($(now_us) - started)) 'BEGIN { printf "%.1f", us / 1e6 }')
  cpu=$(cpu_ms "$station_pid")
  stop_station
  stop_boards
  echo "$cpu $wall"
}

runs=${RUNS:-3}
gangs=()
ones=()
togethers=()
for ((run = 0; run < runs; run++)); do
  gangs+=("$(gang_cpu)")
  ones+=("$(station_cpu one-by-one)")
  togethers+=("$(station_cpu at-once)")
done
median() { printf '%s\n' "$@" | cut -d' ' -f1 | sort -n | sed -n "$((($# + 1) / 2))p"; }
gang_ms=$(median "${gangs[@]}")
row() {  # label, then the runs
  local label=$1 ms
  shift
  ms=$(median "$@")
  printf '  %-22s %s  median %4d ms = %s x the gang\n' "$label" "$(printf '%s s  ' "${@/ / ms / }")" "$ms" \
    "$(awk -v a="$ms" -v b="$gang_ms" 'BEGIN { printf "%.2f", b ? a / b : 0 }')"
}
echo "CPU for $boards boards ($(basename "$file")), the flasher alone, $runs runs each (ms CPU / s wall):"
row "gang of $boards" "${gangs[@]}"
row "station, one by one" "${ones[@]}"
row "station, all at once" "${togethers[@]}"
[ "$slowest" -le "$limit_ms" ] || { echo "A notice took over $limit_ms ms." >&2; exit 1; }
