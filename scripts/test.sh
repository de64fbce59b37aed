#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, and runs every test:
# the unit and end-to-end tests (CTest), the fuzz targets, and the Windows cross-build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh test

jobs=$(nproc)
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON
cmake --build build/ci -j "$jobs"
(cd build/ci && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" --timeout 300)

# Extra stages, each a script of its own; they run when present.
# The Windows stage reuses this Linux build for the simulator and the end-to-end test programs.
export KV_HOST_BUILD=$root/build/ci
for stage in scripts/test-fuzz.sh scripts/test-windows.sh scripts/test-package.sh; do
  if [ -x "$stage" ]; then
    echo "== $stage"
    "$root/$stage"
  fi
done
echo "All tests passed."
