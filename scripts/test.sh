#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, and runs every test:
# the unit and end-to-end tests (CTest), the fuzz targets, and the Windows cross-build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh test
scripts/check-layers.sh

jobs=$(nproc)
cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON
cmake --build build/ci -j "$jobs"
(cd build/ci && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" --timeout 300)

# Root passes checks that a desktop user fails (an exclusive line opens for root all the same), so a
# run as root runs the suite once more as an unprivileged account.
if [ "$(id -u)" -eq 0 ]; then
  user=kv-test
  id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
  home=$(mktemp -d)
  unprivileged_tree=
  trap 'rm -rf "$home" $unprivileged_tree' EXIT
  chown "$user" "$home"
  # An absolute path: the account must reach the build from / (runuser keeps our working folder).
  if runuser -u "$user" -- test -r "$root/build/ci/CTestTestfile.cmake"; then
    mkdir -p build/ci/Testing
    chown -R "$user" build/ci/Testing  # the only place the suite writes besides /tmp and its home
    unprivileged_build=$root/build/ci
  else
    # The checkout sits where the account cannot read it (under /root, say): build a copy it owns.
    echo "== the account '$user' cannot read $root: building a copy of the tree for it"
    unprivileged_tree=$(mktemp -d)
    tar -C "$root" --exclude=./build --exclude=./dist -cf - . | tar -C "$unprivileged_tree" -xf -
    chown -R "$user" "$unprivileged_tree"
    chmod 755 "$unprivileged_tree"
    (cd "$unprivileged_tree" && runuser -u "$user" -- cmake -S . -B build -G Ninja \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON -DKV_BUILD_BENCH=OFF >/dev/null &&
      runuser -u "$user" -- cmake --build build -j "$jobs")
    unprivileged_build=$unprivileged_tree/build
  fi
  echo "== ctest as the unprivileged user '$user'"
  (cd "$unprivileged_build" && runuser -u "$user" -- env HOME="$home" QT_QPA_PLATFORM=offscreen \
    ctest --output-on-failure -j "$jobs" --timeout 300)
fi

# A short shift at the station: 40 boards with failures among them, every verdict checked against the
# board's truth.
bench/station_soak.sh build/ci 40

# Extra stages, each a script of its own. A stage that is missing or has lost its run bit fails the
# run: skipping it silently would report tests as passed that never ran.
# The Windows stage reuses this Linux build for the simulator and the end-to-end test programs.
export KV_HOST_BUILD=$root/build/ci
for stage in scripts/test-fuzz.sh scripts/test-windows.sh scripts/test-package.sh; do
  [ -x "$stage" ] || { echo "test.sh: the stage $stage is missing or not executable" >&2; exit 1; }
  echo "== $stage"
  "$root/$stage"
done
echo "All tests passed."
