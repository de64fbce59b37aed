#!/usr/bin/env bash
# Times a download of examples/sector0.hex to kv6193-sim --line-rate through ser2net (RFC 2217 and
# raw TCP, chardelay off) behind kv-delay-proxy, a network of the tests' own that adds a round trip
# of 0, 50, 100, 200 and 300 ms. Each time is set against its floor: the time at 0 ms plus one round
# trip for every packet sent (erases, pages, finish) and four for connecting and setting up the line.
# Fails when a download fails or takes more than 1.05 times its floor.
#
# Usage: bench/network_round_trip.sh [BUILD_DIR]   (default build; needs ld6193-flash, kv6193-sim and
# tests/cli/kv-delay-proxy built there, and ser2net: scripts/deps.sh test). Takes about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=$(realpath "${1:-build}")
sim=$build/sim/kv6193-sim
flasher=$build/cli/ld6193-flash
proxy=$build/tests/cli/kv-delay-proxy
file=examples/sector0.hex
limit=1.05
need_built "$sim" "$flasher" "$proxy"
need_ser2net

make_work_folder

# Every packet of the download: the plan's erases, its pages and the finish.
plan=$("$flasher" --plan "$file")
erases=$(grep -c '^Erase sector' <<<"$plan")
pages=$(sed -n 's/^Total pages: \([0-9]*\).*/\1/p' <<<"$plan")
finish=$(grep -c '^Finish: yes' <<<"$plan" || true)
commands=$((erases + pages + finish))

start_sim "$sim" "$work/sim.out" --line-rate
pids+=("$sim_pid")
start_ser2net "$work" "$sim_pty" || exit 1
pids+=("$ser2net_pid")

time_ms() {  # scheme, server port, round trip; prints milliseconds
  local out=$work/proxy.$3.out start ms
  : >"$out"
  "$proxy" 127.0.0.1 "$2" "$3" >"$out" &
  local proxy_pid=$!
  wait_until 5 test -s "$out" || { echo "kv-delay-proxy did not start" >&2; exit 1; }
  start=$(date +%s%N)
  if ! "$flasher" --quiet --device "$1://127.0.0.1:$(head -n1 "$out")" "$file" >"$work/flash.out" 2>&1; then
    echo "download over $1:// with a $3 ms round trip failed:" >&2
    cat "$work/flash.out" >&2
    exit 1
  fi
  ms=$((($(date +%s%N) - start) / 1000000))
  kill "$proxy_pid"
  wait "$proxy_pid" 2>/dev/null || true
  echo "$ms"
}

echo "$file ($commands packets) to kv6193-sim --line-rate through ser2net and a delaying proxy:"
printf '  %-9s %6s %10s %10s %7s\n' protocol "rtt" "time" "floor" "ratio"
status=0
for scheme in rfc2217 socket; do
  port=$rfc_port
  [ "$scheme" = socket ] && port=$tcp_port
  base=$(time_ms "$scheme" "$port" 0)
  for rtt in 0 50 100 200 300; do
    ms=$base
    [ "$rtt" -gt 0 ] && ms=$(time_ms "$scheme" "$port" "$rtt")
    floor=$((base + (commands + 4) * rtt))
    ratio=$(awk -v a="$ms" -v b="$floor" 'BEGIN { printf "%.3f", a / b }')
    printf '  %-9s %3d ms %7d ms %7d ms %7s\n' "$scheme" "$rtt" "$ms" "$floor" "$ratio"
    if awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r > l) }'; then status=1; fi
  done
done
[ $status = 0 ] && echo "Every download within $limit x its floor." || echo "Over $limit x the floor." >&2
exit $status
