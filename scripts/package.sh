#!/usr/bin/env bash
# Builds the packages a user installs, each from a clean build folder, into dist/:
#   ld6193_<version>_amd64.deb     the window, the flasher and the simulator for Debian 12, with the
#                                  desktop entry, icon, man pages, bash completion and example files;
#                                  its Depends are worked out by dpkg-shlibdeps
#   ld6193-<version>-win64.zip     the Windows programs (cross-built with mingw-w64, no DLLs of their
#                                  own), the read-me, the licence and the example files
#
# Usage: scripts/package.sh [deb] [zip]   (default both)
#   KV_JOBS   parallel build jobs (default: the number of processors)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${KV_JOBS:-$(nproc)}
dist=$root/dist
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(deb zip)

scripts/deps.sh package

# The packaged programs are built as the tests build them; CPack strips them.
configure=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF)
if command -v ccache >/dev/null; then configure+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

# Builds in a fresh folder, runs CPack there and moves the one package it makes into dist/.
package() {  # build folder, then extra CMake arguments
  local build=$1
  shift
  rm -rf "$build"
  cmake -S "$root" -B "$build" "${configure[@]}" "$@" >/dev/null
  cmake --build "$build" -j "$jobs"
  (cd "$build" && cpack >/dev/null)
  local made=("$build"/packages/*.deb "$build"/packages/*.zip)
  local existing=()
  for file in "${made[@]}"; do [ -f "$file" ] && existing+=("$file"); done
  [ ${#existing[@]} -eq 1 ] || { echo "package.sh: expected one package in $build/packages" >&2; exit 1; }
  mkdir -p "$dist"
  mv -f "${existing[0]}" "$dist/"
  echo "Made dist/$(basename "${existing[0]}")"
}

for kind in "${kinds[@]}"; do
  case "$kind" in
    deb)
      # Hardened as Debian builds its own packages (fortified calls, stack protector, read-only
      # relocations bound at start).
      export DEB_BUILD_MAINT_OPTIONS=hardening=+all
      CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
        LDFLAGS=$(dpkg-buildflags --get LDFLAGS) package "$root/build/pkg-deb"
      ;;
    zip) package "$root/build/pkg-win" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" ;;
    *) echo "package.sh: unknown package '$kind' (deb or zip)" >&2; exit 2 ;;
  esac
done
