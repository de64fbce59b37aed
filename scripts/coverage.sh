#!/usr/bin/env bash
# Line and branch coverage of the product code (base, image, line, net, loader, ports, download, station,
# ui, cli, sim) by the whole CTest suite: builds build/coverage with KV_COVERAGE, runs the suite, and
# prints gcovr's summary (an HTML report goes to build/coverage/coverage.html). Tests, benchmarks, fuzz
# targets and the example generator are not product code and are left out.
#
# Usage: scripts/coverage.sh   (needs gcovr: scripts/deps.sh test). Takes about ten minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/coverage
command -v gcovr >/dev/null || { echo "gcovr is not installed: scripts/deps.sh test" >&2; exit 1; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_COVERAGE=ON -DKV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
find "$build" -name '*.gcda' -delete  # counts from an earlier run would add up
(cd "$build" && QT_QPA_PLATFORM=offscreen ctest -j "$(nproc)" --timeout 600 --output-on-failure) || {
  echo "coverage: the suite failed; the figures below are of a failed run" >&2
}
filters=()
for folder in base image line net loader ports download station ui cli sim; do filters+=(--filter "$root/$folder/"); done
gcovr --root "$root" --object-directory "$build" "${filters[@]}" --exclude '.*/tests?/.*' \
  --exclude-unreachable-branches --exclude-throw-branches \
  --html "$build/coverage.html" --print-summary "$build"
