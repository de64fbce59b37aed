#!/usr/bin/env bash
# The production station (ld6193-flash --station) over a fake /dev/serial/by-id folder, with
# kv6193-sim boards whose by-id link the script makes and takes away:
#  1. Time to notice a new port: from the moment its by-id link appears to the station's "started"
#     line, over ROUNDS plug-ins of one board flashed with examples/sector1.hex (target: at most
#     0.5 s).
#  2. CPU: the station's own processor time (user + system) for 16 boards that arrive one after
#     another, beside a gang of 16 (one ld6193-flash with 16 --device options) flashing the same file
#     (examples/multisector_full.hex, 1,088 pages) to 16 simulators; RUNS times each, with the
#     medians and means, and the part the station's own threads took; and beside them 16 runs of one
#     device each, started as the station's boards arrive (what the arrival alone costs: a download
#     that overlaps fewer others takes more processor time). Simulators are not counted.
# Prints the figures; fails when the slowest notice is over 0.5 s.
#
# Usage: [RUNS=3] bench/station.sh [BUILD_DIR] [ROUNDS]   (default build, 10 rounds; needs kv6193-sim
# and ld6193-flash built there). Takes about two minutes a run, and one for the notices.
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
need_built "$sim" "$flasher"

make_work_folder
make_fake_port_tree

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

# Stops the station with Ctrl-C and waits for it to end.
stop_station() {
  kill -INT "$station_pid"
  wait "$station_pid" 2>/dev/null || true
}


# ---- 1. time to notice -------------------------------------------------------------------------------
start_sim "$sim" "$work/notice-sim.out"
pids+=("$sim_pid")
start_station "$flasher" "$work/notice.out" /dev/null "$small"
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
start_boards() {  # 16 fresh simulators; their terminals in ptys. With "trace", board i logs the packets
  # it receives to $work/trace$i
  ptys=()
  for ((i = 0; i < boards; i++)); do
    rm -f "$work/trace$i"
    start_sim "$sim" "$work/sim$i.out" ${1:+--trace "$work/trace$i"}
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

singles_cpu() {  # prints "CPU-ms wall-s": 16 runs of one device each, each started once the board
  # before has had its first packet, as boards arriving one by one would be flashed without a station
  start_boards trace
  local timing user sys wall
  TIMEFORMAT='%U %S %R'
  timing=$({ time {
    for ((i = 0; i < boards; i++)); do
      "$flasher" --quiet --device "${ptys[$i]}" "$file" >"$work/single$i.out" 2>&1 &
      wait_for "board $i's first packet" 10 test -s "$work/trace$i"
    done
    wait
  }; } 2>&1)
  read -r user sys wall <<<"$timing"
  stop_boards
  for ((i = 0; i < boards; i++)); do
    grep -q "File successfully loaded" "$work/single$i.out" || { echo "single run $i failed" >&2; exit 1; }
  done
  awk -v u="$user" -v s="$sys" -v w="$wall" 'BEGIN { printf "%d %.1f\n", (u + s) * 1000, w }'
}

# main_thread_ms PID: the CPU time of the station's own threads (the main thread, and the look thread,
# which looks for ports, starts and ends runs), to the microsecond: once every board has ended, the
# only threads left.
main_thread_ms() {
  local ns total=0 task
  for task in /proc/"$1"/task/*; do
    read -r ns _ <"$task/schedstat"
    total=$((total + ns))
  done
  awk -v ns="$total" 'BEGIN { printf "%.1f", ns / 1e6 }'
}

station_cpu() {  # prints "CPU-ms wall-s main-thread-ms". $1 "one-by-one": each board is plugged in
  # once the one before has started; "at-once": all 16 are plugged in together
  rm -f "$byid"/*
  start_station "$flasher" "$work/cpu.out" /dev/null "$file"
  local out=$work/cpu.out started wall cpu own
  started=$(now_us)
  start_boards
  for ((i = 0; i < boards; i++)); do
    ln -s "${ptys[$i]}" "$byid/usb-KV_board$i-if00"
    [ "$1" = at-once ] || wait_for "board $i's start" 10 at_least $((i + 1)) "$out" "] started"
  done
  wait_for "the 16 downloads" 300 at_least "$boards" "$out" "] File successfully loaded"
  wall=$(awk -v us=$(($(now_us) - started)) 'BEGIN { printf "%.1f", us / 1e6 }')
  cpu=$(cpu_ms "$station_pid")
  own=$(main_thread_ms "$station_pid")
  stop_station
  stop_boards
  echo "$cpu $wall $own"
}

runs=${RUNS:-3}
gangs=()
ones=()
togethers=()
singles=()
for ((run = 0; run < runs; run++)); do
  gangs+=("$(gang_cpu)")
  singles+=("$(singles_cpu)")
  ones+=("$(station_cpu one-by-one)")
  togethers+=("$(station_cpu at-once)")
done
# median FIELD RUN...: the median of field FIELD (from 1) of the runs; mean FIELD RUN...: their mean.
median() {
  local field=$1
  shift
  printf '%s\n' "$@" | cut -d' ' -f"$field" | sort -n | sed -n "$((($# + 1) / 2))p"
}
mean() {
  local field=$1
  shift
  printf '%s\n' "$@" | cut -d' ' -f"$field" | awk '{ sum += $1 } END { printf "%.0f", sum / NR }'
}
gang_median=$(median 1 "${gangs[@]}")
gang_mean=$(mean 1 "${gangs[@]}")
row() {  # label, then the runs
  local label=$1 runs="" run ms average
  shift
  for run in "$@"; do runs+="$(cut -d' ' -f1 <<<"$run") "; done
  ms=$(median 1 "$@")
  average=$(mean 1 "$@")
  printf '  %-21s %-36s median %4d ms (%.2f x), mean %4d ms (%.2f x), %s s wall\n' "$label" "$runs" "$ms" \
    "$(awk -v a="$ms" -v b="$gang_median" 'BEGIN { print a / b }')" "$average" \
    "$(awk -v a="$average" -v b="$gang_mean" 'BEGIN { print a / b }')" "$(median 2 "$@")"
}
echo "CPU for $boards boards ($(basename "$file")), the flasher alone, ms for each of $runs runs (x the gang):"
row "gang of $boards" "${gangs[@]}"
row "station, one by one" "${ones[@]}"
row "station, all at once" "${togethers[@]}"
row "16 runs, one by one" "${singles[@]}"
echo "  of which the station's own threads (looking for ports, starting and ending runs): one by one" \
  "$(median 3 "${ones[@]}") ms, all at once $(median 3 "${togethers[@]}") ms (medians)"
[ "$slowest" -le "$limit_ms" ] || { echo "A notice took over $limit_ms ms." >&2; exit 1; }
