#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs each
# for KV_FUZZ_SECONDS (default 30) seconds, starting from its seed corpus in fuzz/corpus/. Fails on a
# crash, an out-of-bounds access, undefined behaviour, a leak or a hang; the failing input is kept in
# build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${KV_FUZZ_SECONDS:-30}
build=$root/build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON \
  -DKV_BUILD_FUZZ=ON -DKV_BUILD_UI=OFF -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF
cmake --build "$build" --target kv_fuzzers

mkdir -p "$build/artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
while read -r fuzzer seeds dict; do
  [ -n "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  echo "== $name: ${seconds} s from $(ls "$seeds" | wc -l) seeds"
  mkdir -p "$work/$name"
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" ${dict:+-dict="$dict"} "$work/$name" "$seeds"
done < "$build/fuzz/fuzzers.txt"
echo "Fuzzing passed."
