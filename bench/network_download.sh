#!/usr/bin/env bash
# Times one full MultiSector download (examples/multisector_full.hex, 1,088 pages) to kv6193-sim
# --line-rate in one run: straight to its terminal, then through ser2net over RFC 2217 and over raw
# TCP, with the configuration the README recommends (chardelay off: ser2net otherwise holds each
# reply back for a few character times, waiting for more), and once more over RFC 2217 with ser2net's
# defaults, for comparison. Prints every time and each network one as a multiple of the direct one;
# fails when one of the recommended set-ups takes more than 1.10 times the direct download.
#
# Usage: bench/network_download.sh [BUILD_DIR]   (default build; needs kv6193-sim and ld6193-flash
# built there, and ser2net installed: scripts/deps.sh test). Takes about two and a half minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=$(realpath "${1:-build}")
sim=$build/sim/kv6193-sim
flasher=$build/cli/ld6193-flash
file=examples/multisector_full.hex
limit=1.10
need_built "$sim" "$flasher"
need_ser2net

make_work_folder

wait_for() {  # what, then a command that succeeds once it is there; gives up after 5 s
  local what=$1
  shift
  wait_until 5 "$@" || { echo "$what did not come up" >&2; exit 1; }
}

"$sim" --line-rate --link "$work/line" >"$work/sim.out" 2>&1 &
pids+=($!)
wait_for "kv6193-sim's terminal" test -e "$work/line"
pty=$(readlink -f "$work/line")

start_ser2net "$work" "$pty" defaults || exit 1
pids+=("$ser2net_pid")

time_ms() {  # the flasher's --device argument; prints milliseconds
  local start
  start=$(date +%s%N)
  "$flasher" --quiet --device "$1" "$file" >"$work/flash.out" 2>&1 || {
    echo "download through $1 failed:" >&2
    cat "$work/flash.out" >&2
    exit 1
  }
  echo $((($(date +%s%N) - start) / 1000000))
}

echo "Full MultiSector download ($file) to kv6193-sim --line-rate:"
direct=$(time_ms "$pty")
seconds() { awk -v ms="$1" 'BEGIN { printf "%.3f", ms / 1000 }'; }
printf '  %-34s %8s s\n' "direct" "$(seconds "$direct")"
status=0
network() {  # label, URL, whether the limit applies
  local ms ratio
  ms=$(time_ms "$2")
  ratio=$(awk -v a="$ms" -v b="$direct" 'BEGIN { printf "%.3f", a / b }')
  printf '  %-34s %8s s  = %s x direct%s\n' "$1" "$(seconds "$ms")" "$ratio" "${3:+ (limit $limit)}"
  if [ -n "$3" ] && awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r > l) }'; then status=1; fi
}
network "rfc2217:// (chardelay off)" "rfc2217://127.0.0.1:$rfc_port" limit
network "socket:// (chardelay off)" "socket://127.0.0.1:$tcp_port" limit
network "rfc2217:// (ser2net defaults)" "rfc2217://127.0.0.1:$default_port" ""
[ $status = 0 ] && echo "Within the limit." || echo "Over the limit." >&2
exit $status
