#!/usr/bin/env bash
# A gang opened by COM number: BOARDS kv6193-sim --line-rate boards on by-id links in a fake port tree
# (KV_TEST_PORT_ROOT), numbered COM1 to COMn in a numbers file of their own (XDG_CONFIG_HOME), flashed by
# one ld6193-flash --port 1 ... --port n. Prints:
#  - how often the gang's run looked at the ports (strace -f): the numbers file read and /sys/class/tty
#    listed, for the gang and for one device; a look reads the one once and lists the other twice;
#  - the gang's time against one device's (--port 1 alone) on the same file, the best of RUNS each,
#    taken in turns.
# Fails when the gang looks at the ports more often than one device does, or takes more than 1.02 times
# one device's time.
#
# Usage: bench/gang_ports.sh [BUILD_DIR] [BOARDS] [RUNS]   (default build, 64 boards, 5 runs; needs
# kv6193-sim and ld6193-flash built there, and strace). Takes about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
build=$(realpath "${1:-build}")
boards=${2:-64}
runs=${3:-5}
sim=$build/sim/kv6193-sim
flasher=$build/cli/ld6193-flash
file=$PWD/examples/sector9.hex
limit=1.02
need_built "$sim" "$flasher"
command -v strace >/dev/null || { echo "gang_ports.sh: strace is not installed" >&2; exit 1; }

make_work_folder
make_fake_port_tree
export KV_TEST_PORT_ROOT=$root XDG_CONFIG_HOME=$work/config
numbers=$XDG_CONFIG_HOME/ld6193/com-numbers

# The boards, and their numbers: COMn is the n-th by-id name, given at the first look.
ports=()
for ((n = 1; n <= boards; n++)); do
  start_sim "$sim" "$work/sim$n.out" --line-rate --link "$byid/$(printf 'usb-KV_gang%03d-if00' "$n")"
  pids+=("$sim_pid")
  ports+=(--port "$n")
done
"$flasher" --list-ports >"$work/ports.txt"
last=$(printf 'usb-KV_gang%03d-if00' "$boards")
grep -qx "COM$boards $last" "$numbers" || { echo "the boards were not numbered in order" >&2; exit 1; }

flash() {  # the flasher's port options; prints milliseconds
  local start
  start=$(date +%s%N)
  "$flasher" --quiet "$@" "$file" >"$work/flash.out" 2>&1 || {
    echo "the flash of $* failed:" >&2
    cat "$work/flash.out" >&2
    exit 1
  }
  echo $((($(date +%s%N) - start) / 1000000))
}

# looks OPTIONS...: "READS LISTINGS" of one run under strace.
looks() {
  strace -f -qq -e trace=openat -o "$work/trace" "$flasher" --quiet "$@" "$file" >"$work/flash.out" 2>&1 ||
    { echo "the traced flash of $* failed" >&2; cat "$work/flash.out" >&2; exit 1; }
  local reads listings
  reads=$(grep -c "\"$numbers\", O_RDONLY" "$work/trace" || true)
  listings=$(grep -c "/sys/class/tty\", O_RDONLY" "$work/trace" || true)
  echo "$reads $listings"
}

read -r one_reads one_listings < <(looks --port 1)
read -r gang_reads gang_listings < <(looks "${ports[@]}")
echo "Looks at the ports (numbers file read, /sys/class/tty listed):"
printf '  one device      %3d  %3d\n' "$one_reads" "$one_listings"
printf '  gang of %-3d     %3d  %3d\n' "$boards" "$gang_reads" "$gang_listings"

one_best=
gang_best=
for ((r = 1; r <= runs; r++)); do
  ms=$(flash --port 1)
  [ -z "$one_best" ] || [ "$ms" -lt "$one_best" ] && one_best=$ms
  ms=$(flash "${ports[@]}")
  [ -z "$gang_best" ] || [ "$ms" -lt "$gang_best" ] && gang_best=$ms
done
ratio=$(awk -v a="$gang_best" -v b="$one_best" 'BEGIN { printf "%.3f", a / b }')
echo "Flash of $(basename "$file") to kv6193-sim --line-rate, best of $runs:"
printf '  one device      %6d ms\n' "$one_best"
printf '  gang of %-3d     %6d ms  = %s x one device (limit %s)\n' "$boards" "$gang_best" "$ratio" "$limit"

status=0
if [ "$gang_reads" -gt "$one_reads" ] || [ "$gang_listings" -gt "$one_listings" ]; then
  echo "FAIL: the gang looked at the ports more often than one device"
  status=1
fi
if awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r > l) }'; then
  echo "FAIL: the gang took more than $limit x one device's time"
  status=1
fi
exit $status
