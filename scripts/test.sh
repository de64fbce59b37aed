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

# Root passes checks that a desktop user fails (an exclusive line opens for root all the same), so a
# run as root runs the suite once more as an unprivileged account.
if [ "$(id -u)" -eq 0 ]; then
  user=kv-test
  id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
  if ! runuser -u "$user" -- test -r build/ci/CTestTestfile.cmake; then
    echo "The account '$user' cannot read $root/build/ci: put the checkout where every user can read it" >&2
    echo "(not under /root), or run scripts/test.sh as a normal user." >&2
    exit 1
  fi
  home=$(mktemp -d)
  trap 'rm -rf "$home"' EXIT
  mkdir -p build/ci/Testing
  chown -R "$user" "$home" build/ci/Testing  # the only places the suite writes besides /tmp
  echo "== ctest as the unprivileged user '$user'"
  (cd build/ci && runuser -u "$user" -- env HOME="$home" QT_QPA_PLATFORM=offscreen \
    ctest --output-on-failure -j "$jobs" --timeout 300)
fi

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
