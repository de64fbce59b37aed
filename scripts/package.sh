#!/usr/bin/env bash
# Builds the packages a user installs, each kind from a clean build folder, into dist/:
#   ld6193_<version>_amd64.deb     the window, the flasher and the simulator for Debian 12, with the
#                                  desktop entry, icon, man pages, bash completion and example files;
#                                  its Depends are worked out by dpkg-shlibdeps
#   ld6193-<version>-win64.zip     the Windows programs (cross-built with mingw-w64, no DLLs of their
#                                  own), the read-me, the licence and the example files: a portable copy
#   ld6193-<version>-setup.exe     the same files in a 64-bit Windows installer (NSIS): Start menu
#                                  shortcut, "Open with" for .hex files, uninstaller (packaging/ld6193.nsi)
# The zip and the installer come from one Windows build.
#
# Usage: scripts/package.sh [deb] [zip] [setup]   (default all three)
#   KV_JOBS   parallel build jobs (default: the number of processors)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${KV_JOBS:-$(nproc)}
dist=$root/dist
want_deb=0 want_zip=0 want_setup=0
[ $# -gt 0 ] || set -- deb zip setup
for kind in "$@"; do
  case "$kind" in
    deb) want_deb=1 ;;
    zip) want_zip=1 ;;
    setup) want_setup=1 ;;
    *) echo "package.sh: unknown package '$kind' (deb, zip or setup)" >&2; exit 2 ;;
  esac
done

scripts/deps.sh package

# The packaged programs are built as the tests build them; CPack and the installer strip them.
configure=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON -DKV_BUILD_TESTS=OFF -DKV_BUILD_BENCH=OFF)
if command -v ccache >/dev/null; then configure+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

# Builds in a fresh folder: the build folder, then extra CMake arguments.
build_fresh() {
  local build=$1
  shift
  rm -rf "$build"
  cmake -S "$root" -B "$build" "${configure[@]}" "$@" >/dev/null
  cmake --build "$build" -j "$jobs"
}

# Moves the one package of the given pattern that the build folder made into dist/.
collect() {  # build folder, file pattern
  local made=()
  for file in "$1"/packages/$2; do [ -f "$file" ] && made+=("$file"); done
  [ ${#made[@]} -eq 1 ] || { echo "package.sh: expected one $2 in $1/packages" >&2; exit 1; }
  mkdir -p "$dist"
  mv -f "${made[0]}" "$dist/"
  echo "Made dist/$(basename "${made[0]}") ($(($(stat -c %s "$dist/$(basename "${made[0]}")") / 1024)) KiB)"
}

if [ "$want_deb" = 1 ]; then
  # Hardened as Debian builds its own packages (fortified calls, stack protector, read-only
  # relocations bound at start).
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  build=$root/build/pkg-deb
  CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    LDFLAGS=$(dpkg-buildflags --get LDFLAGS) build_fresh "$build"
  (cd "$build" && cpack >/dev/null)
  collect "$build" '*.deb'
fi

if [ "$want_zip" = 1 ] || [ "$want_setup" = 1 ]; then
  build=$root/build/pkg-win
  build_fresh "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  if [ "$want_zip" = 1 ]; then
    (cd "$build" && cpack >/dev/null)
    collect "$build" '*.zip'
  fi
  if [ "$want_setup" = 1 ]; then
    start=$(date +%s%N)
    cmake --build "$build" --target installer >/dev/null
    ms=$((($(date +%s%N) - start) / 1000000))
    printf 'The installer took %d.%03d s to make (staging and makensis)\n' $((ms / 1000)) $((ms % 1000))
    collect "$build" '*-setup.exe'
  fi
fi
