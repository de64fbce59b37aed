#!/usr/bin/env bash
# Whole-process time of `ld6193-flash --plan` on a 1.44 MB HEX file (512 KiB of data in 16-byte
# records), side by side with srec_cat reading the same file, as medians over many runs. The target is
# the flasher at or below 1/20 of srec_cat's time. Beside them, the machine's floor (startup_floor: a
# static process that only makes the image and reads the file, decoding nothing): when even the floor
# is above 1/20, no program reaches the target on this machine.
#   bench/startup.sh [FLASHER]     (default: build/ci/cli/ld6193-flash, built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh build bench

flasher=${1:-$root/build/ci/cli/ld6193-flash}
floor=$root/build/ci/bench/startup_floor
targets=(startup_floor)
[ -x "$flasher" ] || targets+=(ld6193-flash)
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/ci --target "${targets[@]}" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# 20-bit segment addressing (type 02 records), as the loader reads it; the whole 512 KiB, so the file
# is Unknown to --plan (exit 7), which costs it nothing: the reading and classifying are all there.
srec_cat -generate 0 0x80000 -repeat-string "KV6193 bench data " -o "$work/big.hex" -intel \
  -address-length=3 -obs=16
echo "file: $(stat -c %s "$work/big.hex") bytes"

hyperfine -N --ignore-failure --warmup 30 --runs 400 --export-csv "$work/times.csv" \
  "$flasher --plan $work/big.hex" "srec_cat $work/big.hex -intel -o /dev/null -binary" \
  "$floor $work/big.hex" >/dev/null
# CSV columns: command,mean,stddev,median,user,system,min,max (seconds).
awk -F, 'NR == 2 { flasher = $4 } NR == 3 { srec = $4 } NR == 4 { floor = $4 }
  END {
    printf "ld6193-flash --plan  median %.3f ms\n", flasher * 1000
    printf "srec_cat             median %.3f ms\n", srec * 1000
    printf "machine floor        median %.3f ms\n", floor * 1000
    printf "ratio                1/%.1f (target: 1/20 or better)\n", srec / flasher
    printf "floor ratio          1/%.1f (%s)\n", srec / floor,
      (srec / floor >= 20 ? "the target is within reach here" : "the target is out of reach on this machine")
  }' "$work/times.csv"
