#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing for the given purposes:
#   build   compiler, CMake, Ninja, Qt 6 (with the XKB headers its CMake package looks for), CLI11,
#           nlohmann-json, Nettle (SHA-256 for the run log)
#   package what scripts/package.sh needs besides the build: dpkg-shlibdeps and the `file` that CPack runs
#           before it, the icon renderer and icotool (the Windows icon), mingw-w64, NSIS (the installer)
#   test    GoogleTest, Google Benchmark, clang/libFuzzer, gcovr (scripts/coverage.sh), Xvfb tools, mingw-w64, wine, ser2net, srecord (the
#           reader's advice is tried with srec_cat), and the package checks' desktop-entry validator, MIME
#           database, man, bash completion, unzip and the binutils the checks call (readelf, strings)
#           (every test)
#   bench   srecord and hyperfine, for the start-up comparison in bench/startup.sh; strace, for how often
#           bench/gang_ports.sh looks at the ports
# Runs apt-get directly as root (CI) and through sudo as a normal user.
set -euo pipefail

build_pkgs=(cmake ninja-build g++ qt6-base-dev libxkbcommon-dev libcli11-dev nlohmann-json3-dev nettle-dev)
test_pkgs=(libgtest-dev libgmock-dev googletest libbenchmark-dev clang libclang-rt-14-dev clang-format srecord
  gcovr xvfb xauth xdotool imagemagick g++-mingw-w64-x86-64 wine wine64 fonts-wine procps ser2net)
package_pkgs=(dpkg-dev file librsvg2-bin icoutils g++-mingw-w64-x86-64 nsis)
package_test_pkgs=(desktop-file-utils shared-mime-info man-db bash-completion unzip binutils)
bench_pkgs=(srecord hyperfine strace)

want=()
for purpose in "$@"; do
  case "$purpose" in
    build) want+=("${build_pkgs[@]}") ;;
    package) want+=("${build_pkgs[@]}" "${package_pkgs[@]}") ;;
    test) want+=("${build_pkgs[@]}" "${test_pkgs[@]}" "${package_pkgs[@]}" "${package_test_pkgs[@]}") ;;
    bench) want+=("${bench_pkgs[@]}") ;;
    *) echo "deps.sh: unknown purpose '$purpose' (build, package, test or bench)" >&2; exit 2 ;;
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
