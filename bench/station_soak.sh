#!/usr/bin/env bash
# A shift at the production station: the real ld6193-flash --station over a fake /dev/serial/by-id
# folder, and real kv6193-sim boards that come and go in 4 slots, one board after another per slot,
# each flashed with examples/sector0.hex (16 pages, an erase and the finish). Every board has an
# adapter name of its own, so the log's `port` names it. Of every 20 boards one refuses a page (it must
# fail with "Flash programming error"), one is pulled mid-download (the line hangs up on a packet
# chosen at random: it must fail), and one answers one page 150 ms late once (it must still pass).
#
# Prints and checks:
#  - the verdicts against each board's truth (false successes and wrong verdicts must be 0);
#  - byte-exact flashes: every board that passed holds what a plain run of the flasher writes;
#  - the tally = the log = the truth;
#  - the station's open files and resident memory after the first 20 boards and at the end (growth at
#    most 1 file and 2 MB);
#  - the station's processor time per board.
#
# Usage: [SOAK_SEED=N] bench/station_soak.sh [BUILD_DIR] [BOARDS]   (default build, 500 boards; about
# 1.5 s a board over 4 slots: 3 to 4 minutes for 500). scripts/test.sh runs it with 40.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=$(realpath "${1:-build}")
boards=${2:-500}
slots=4
sim=$build/sim/kv6193-sim
flasher=$build/cli/ld6193-flash
file=$PWD/examples/sector0.hex
packets=18 # the erase, 16 pages, the finish
need_built "$sim" "$flasher"
[ "$boards" -ge 20 ] || { echo "station_soak.sh: at least 20 boards" >&2; exit 2; }

make_work_folder
make_fake_port_tree
log=$work/line.jsonl

seed=${SOAK_SEED:-$RANDOM}
RANDOM=$seed
echo "Soak: $boards boards in $slots slots, seed $seed (SOAK_SEED=$seed replays it)"

# Each board's faults and the verdict it must get: its exit code (0 passed).
declare -a faults truth kinds
for ((n = 0; n < boards; n++)); do
  case $((n % 20)) in
    7)
      faults[n]="--fault page=$((1 + RANDOM % 15)):error"
      truth[n]=9
      kinds[n]=refuses
      ;;
    13)
      hang=$((1 + RANDOM % packets))
      faults[n]="--hangup-after $hang"
      truth[n]=$([ "$hang" -eq 1 ] && echo 11 || echo 8) # the erase, else a page or the finish
      kinds[n]=pulled
      ;;
    17)
      faults[n]="--fault page=$((1 + RANDOM % 15)):late=150:1"
      truth[n]=0
      kinds[n]=late
      ;;
    *)
      faults[n]=""
      truth[n]=0
      kinds[n]=healthy
      ;;
  esac
done

# What a plain run of the flasher leaves in a device: what every board that passed must hold.
start_sim "$sim" "$work/reference.out" --dump "$work/reference.dump"
"$flasher" --quiet --device "$sim_pty" "$file" >/dev/null
stop_sim

name() { printf 'usb-KV_board%04d-if00' "$1"; }
# row N: board N's log row, empty until it is there.
row() { grep -F "\"port\":\"$(name "$1")\"" "$log" 2>/dev/null || true; }
has_row() { [ -n "$(row "$1")" ]; }
lines_with() { grep -cF -- "$1" "$work/station.out" 2>/dev/null || true; }
removed() { [ "$(lines_with "[$2] removed")" -ge "$1" ]; }

# Plugs in boards SLOT, SLOT + 4, ... one after another; writes "N EXIT EXACT" per board to slotS.
# The system hands a freed terminal number to the next terminal it makes. A board is therefore started,
# and taken out until the station has seen it go, under one lock: no board takes over the terminal of
# one that has gone before the station has noticed it gone (a swap faster than the station looks would
# be one board to it, on a line no real adapter is swapped that fast).
run_slot() {
  local slot=$1 n pid pty dump exit exact
  : >"$work/slot$slot"
  for ((n = slot; n < boards; n += slots)); do
    dump=$work/board$n.dump
    {
      flock 9
      # shellcheck disable=SC2086 # the fault options are words
      start_sim "$sim" "$work/board$n.out" --dump "$dump" --link "$byid/$(name "$n")" ${faults[n]} 9>&-
    } 9>"$work/plug.lock"
    pid=$sim_pid
    pty=$sim_pty
    wait_until 60 has_row "$n" || { echo "board $n: no verdict within 60 s" >&2; kill "$pid"; exit 1; }
    {
      flock 9
      local gone_before
      gone_before=$(lines_with "[$pty] removed")
      kill -TERM "$pid"
      wait "$pid" 2>/dev/null || true
      wait_until 20 removed $((gone_before + 1)) "$pty" || { echo "board $n: never removed" >&2; exit 1; }
    } 9>"$work/plug.lock"
    exit=$(row "$n" | grep -o '"exit":[0-9]*' | cut -d: -f2)
    exact=no
    cmp -s "$dump" "$work/reference.dump" && exact=yes
    rm -f "$dump" "$work/board$n.out"
    echo "$n $exit $exact" >>"$work/slot$slot"
  done
}

# files PID / rss_kb PID: the station's open files and resident memory.
files() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 | wc -l; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
verdicts() { cat "$work"/slot* 2>/dev/null | wc -l; }
at_least_verdicts() { [ "$(verdicts)" -ge "$1" ]; }

start_station "$flasher" "$work/station.out" "$work/station.err" --log "$log" "$file"
station=$station_pid
started=$SECONDS

slot_pids=()
for ((s = 0; s < slots; s++)); do
  run_slot "$s" &
  slot_pids+=($!)
  pids+=($!)
done
wait_until 600 at_least_verdicts 20 || { echo "20 boards took over 10 minutes" >&2; exit 1; }
files_early=$(files "$station")
rss_early=$(rss_kb "$station")
for pid in "${slot_pids[@]}"; do wait "$pid" || { echo "a slot failed" >&2; exit 1; }; done
files_end=$(files "$station")
rss_end=$(rss_kb "$station")
cpu=$(cpu_ms "$station")
wall=$((SECONDS - started))
kill -INT "$station"
code=0
wait "$station" || code=$?

# ---- the figures -------------------------------------------------------------------------------------
false_successes=0
wrong=0
exact=0
passed_truth=0
declare -A by_kind_ok by_kind_all
while read -r n exit byte_exact; do
  want=${truth[n]}
  kind=${kinds[n]}
  by_kind_all[$kind]=$((${by_kind_all[$kind]:-0} + 1))
  if [ "$exit" = "$want" ]; then
    by_kind_ok[$kind]=$((${by_kind_ok[$kind]:-0} + 1))
  else
    wrong=$((wrong + 1))
    echo "  board $n ($kind): exit $exit where $want was due: $(row "$n" | grep -o '"cause":"[^"]*"')"
  fi
  [ "$exit" = 0 ] && [ "$want" != 0 ] && false_successes=$((false_successes + 1))
  if [ "$want" = 0 ]; then
    passed_truth=$((passed_truth + 1))
    [ "$byte_exact" = yes ] && [ "$exit" = 0 ] && exact=$((exact + 1))
  fi
done < <(cat "$work"/slot*)
seen=$(verdicts)
log_rows=$(grep -c . "$log")
log_passed=$(grep -c '"exit":0,' "$log" || true)
tally=$(tail -n 1 "$work/station.out")
tally_want="passed $passed_truth · failed $((boards - passed_truth)) · flashing 0"

echo "Verdicts, $seen boards in $wall s (station exit code $code):"
for kind in healthy late refuses pulled; do
  printf '  %-8s %4d of %4d as due\n' "$kind" "${by_kind_ok[$kind]:-0}" "${by_kind_all[$kind]:-0}"
done
echo "  false successes $false_successes, wrong verdicts $wrong"
echo "Byte-exact flashes: $exact of the $passed_truth boards that must pass"
echo "Tally: '$tally'; log: $log_rows rows, $log_passed passed; truth: '$tally_want'"
echo "Station: open files $files_early after 20 boards, $files_end at the end;" \
  "resident memory $rss_early kB, then $rss_end kB"
awk -v c="$cpu" -v b="$boards" 'BEGIN { printf "CPU: %d ms in all, %.1f ms a board\n", c, c / b }'

ok=true
[ "$seen" -eq "$boards" ] || { echo "FAIL: $seen verdicts for $boards boards"; ok=false; }
[ "$false_successes" -eq 0 ] && [ "$wrong" -eq 0 ] || { echo "FAIL: verdicts not true"; ok=false; }
[ "$exact" -eq "$passed_truth" ] || { echo "FAIL: a board that passed holds something else"; ok=false; }
[ "$tally" = "$tally_want" ] && [ "$log_rows" -eq "$boards" ] && [ "$log_passed" -eq "$passed_truth" ] ||
  { echo "FAIL: the tally, the log and the truth disagree"; ok=false; }
[ $((files_end - files_early)) -le 1 ] || { echo "FAIL: the station's open files grew"; ok=false; }
[ $((rss_end - rss_early)) -le 2048 ] || { echo "FAIL: the station's memory grew over 2 MB"; ok=false; }
$ok && echo "Soak passed." || exit 1
