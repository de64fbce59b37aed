#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing for the given purposes:
#   build   compiler, CMake, Ninja, Qt 6, CLI11, nlohmann-json, OpenSSL (the programs)
#   test    GoogleTest, Google Benchmark, clang/libFuzzer, Xvfb tools, mingw-w64, wine and ser2net (every test)
# Runs apt-get directly as root (CI) and through sudo as a normal user.
set -euo pipefail

build_pkgs=(cmake ninja-build g++ qt6-base-dev libcli11-dev nlohmann-json3-dev libssl-dev)
test_pkgs=(libgtest-dev libgmock-dev googletest libbenchmark-dev clang libclang-rt-14-dev clang-format
  xvfb xauth xdotool imagemagick g++-mingw-w64-x86-64 wine wine64 procps ser2net)

want=()
for purpose in "$@"; do
  case "$purpose" in
    build) want+=("${build_pkgs[@]}") ;;
    test) want+=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
    *) echo "deps.sh: unknown purpose '$purpose' (build or test)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
