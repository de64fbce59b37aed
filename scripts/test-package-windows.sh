#!/usr/bin/env bash
# The Windows installer under wine, in a fresh prefix, as a user would meet it:
#   1. per machine (wine's account is an administrator): `setup.exe /S`, then
#      - the installed files are the expected ones, and nothing else;
#      - the Start menu shortcuts start the installed window in %LOCALAPPDATA%\ld6193: the window's
#        with no argument, "KV6193 Production Station" with --station;
#      - "Open with" for .hex files: the ProgID's command and icon name the installed window, .hex's
#        OpenWithProgids lists it, and .hex's default program is not taken over;
#      - the "Apps & features" entry: name, version, publisher, icon, size and uninstall commands;
#      - the installed ld6193-flash.exe prints its version and plans an installed example;
#      - the window, started as the shortcut starts it, comes up with "No file" and no message box,
#        writes ld6193.cfg (01) into its working folder and nowhere else, and exits with 0 when closed;
#      - the ProgID's command opens a HEX file in the window;
#      then `uninstall.exe /S` leaves no file, shortcut or registry entry of ours, and the user's
#      ld6193.cfg as it was;
#   2. per user with PATH (/CurrentUser /PATH=1 /D=a folder with a space): the files, the user's
#      shortcuts and entries, and the folder at the end of the user's PATH; the uninstaller puts PATH
#      back exactly as it was and leaves nothing of ours.
# Every wait is for a condition: a window, a text in it, a process's end, wineserver's end.
#
#   test-package-windows.sh SETUP.exe EXPECTED_FILES VERSION
#     EXPECTED_FILES: the installed files, one relative path a line; VERSION: the package's (1.1.0)
#   KV_WIN_BUILD  the Windows test build that holds window_probe.exe (default build/win, as
#                 test-windows.sh makes it; configured and built here when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh  # configure_windows_build, find_wine, new_wine_prefix, wait_window, probe_reads, ...
setup=$(realpath "$1")
expected_files=$(sort "$2")
version=$3
[ -n "${DISPLAY:-}" ] || { echo "test-package-windows.sh: no X display" >&2; exit 2; }

fail() {
  echo "test-package-windows: $*" >&2
  exit 1
}

find_wine || exit 1
win_test_build=$(realpath -m "${KV_WIN_BUILD:-$root/build/win}")
configure_windows_build "$win_test_build"
cmake --build "$win_test_build" --target window_probe >/dev/null
window_probe=$win_test_build/ui/win32/window_probe.exe

new_wine_prefix
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kv-setup.XXXXXX")
app_pid=
finish() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$tmp"
}
trap finish EXIT

# What Windows calls a folder, and where it is in the prefix.
windows_variable() { "$wine" cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
unix_path() { "$wine" winepath -u "$1" 2>/dev/null | tr -d '\r'; }

# Prints the data of a registry value (no name: the key's default value); returns 1 when it is not there.
reg_value() {  # key, value name
  local listing line name=${2:-(Default)}
  if [ -n "${2:-}" ]; then
    listing=$("$wine" reg query "$1" /v "$2" 2>/dev/null) || return 1
  else
    listing=$("$wine" reg query "$1" /ve 2>/dev/null) || return 1
  fi
  while IFS= read -r line; do
    line=${line%$'\r'}
    if [[ $line == "    $name    REG_"* ]]; then
      line=${line#"    $name    "}
      [[ $line == *"    "* ]] && line=${line#*    } || line=
      [ "$line" != "(value not set)" ] || return 1
      echo "$line"
      return 0
    fi
  done <<<"$listing"
  return 1
}

# Checks registry values against a table on stdin: key|value name (empty: the default)|expected data.
check_values() {
  local key name expected got
  while IFS='|' read -r key name expected; do
    got=$(reg_value "$key" "$name") || fail "the registry has no ${name:-default value} under $key"
    [ "$got" = "$expected" ] || fail "$key ${name:-(default)} is '$got', not '$expected'"
  done
}

# Every wine program of the prefix has ended and wineserver has written the registry to its files.
wine_idle() { "$wineserver" -w; }

# Prints one of a shortcut's strings, or nothing when it has none: 0 its description, 1 its relative
# path, 2 its working folder, 3 its arguments, 4 its icon. They follow the header (76 bytes), the
# target's item list and the link information, each there when its flag is set, as a count of UTF-16
# characters and the characters (wine counts the closing NUL and writes empty arguments so).
shortcut_string() {  # shortcut (Unix path), which
  local file=$1 flags offset=76 i count
  flags=$(od -An -tu4 -j20 -N4 "$file")
  if ((flags & 1)); then offset=$((offset + 2 + $(od -An -tu2 -j$offset -N2 "$file"))); fi
  if ((flags & 2)); then offset=$((offset + $(od -An -tu4 -j$offset -N4 "$file"))); fi
  for ((i = 0; i <= $2; i++)); do
    ((flags & (4 << i))) || continue
    count=$(od -An -tu2 -j$offset -N2 "$file")
    if ((i == $2)); then
      tail -c +$((offset + 3)) "$file" | head -c $((2 * count)) | iconv -f UTF-16LE -t UTF-8 | tr -d '\0'
    fi
    offset=$((offset + 2 + 2 * count))
  done
}

# Checks a Start menu shortcut: it starts the installed ld6193.exe with the arguments given (none when
# empty) in %LOCALAPPDATA%\ld6193. Needs instdir.
check_shortcut() {  # scope, shortcut (Windows path), arguments
  local unix_shortcut target_strings folder arguments
  unix_shortcut=$(unix_path "$2")
  [ -f "$unix_shortcut" ] || fail "$1: no Start menu shortcut $2"
  # The target's full path is kept in the system's code page, in the link information.
  target_strings=$(strings -a "$unix_shortcut")
  grep -qxF "$instdir\\ld6193.exe" <<<"$target_strings" ||
    fail "$1: $2 does not start $instdir\\ld6193.exe: ${target_strings//$'\n'/ | }"
  folder=$(shortcut_string "$unix_shortcut" 2)
  [ "$folder" = '%LOCALAPPDATA%\ld6193' ] || fail "$1: the working folder of $2 is '$folder', not %LOCALAPPDATA%\\ld6193"
  arguments=$(shortcut_string "$unix_shortcut" 3)
  [ "$arguments" = "$3" ] || fail "$1: $2 passes '$arguments', not '$3'"
  echo "$1: $2 starts ld6193.exe${3:+ $3} in %LOCALAPPDATA%\\ld6193"
}

# Checks what an install left: its files, shortcuts and registry entries. Sets instdir (Windows path).
check_installed() {  # scope (machine or user), install folder (Windows path), HKLM or HKCU, Start menu folder (Windows)
  local scope=$1 root_key=$3 unix_dir
  instdir=$2
  unix_dir=$(unix_path "$instdir")
  [ -d "$unix_dir" ] || fail "$scope: nothing installed in $instdir"
  diff -u <(echo "$expected_files") <(cd "$unix_dir" && find . -type f | sed 's|^\./||' | sort) ||
    fail "$scope: the installed files differ from the expected ones (- expected, + installed)"
  echo "$scope: $(wc -l <<<"$expected_files") files in $instdir"

  shortcut=$4\\$product.lnk
  check_shortcut "$scope" "$shortcut" ""
  check_shortcut "$scope" "$4\\$station.lnk" --station

  local classes=$root_key\\Software\\Classes uninstall=$root_key\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ld6193
  check_values <<EOF
$classes\\ld6193.HexFile\\shell\\open\\command||"$instdir\\ld6193.exe" "%1"
$classes\\ld6193.HexFile\\DefaultIcon||"$instdir\\ld6193.exe",0
$classes\\.hex\\OpenWithProgids|ld6193.HexFile|
$uninstall|DisplayName|$product
$uninstall|DisplayVersion|$version
$uninstall|DisplayIcon|"$instdir\\ld6193.exe",0
$uninstall|InstallLocation|$instdir
$uninstall|UninstallString|"$instdir\\uninstall.exe"
$uninstall|QuietUninstallString|"$instdir\\uninstall.exe" /S
EOF
  ! reg_value "$classes\\.hex" "" >/dev/null || fail "$scope: .hex's default program was set"
  [ -n "$(reg_value "$uninstall" Publisher)" ] || fail "$scope: the uninstall entry names no publisher"
  # The size Apps & features shows, in KiB, is the installed folder's.
  local estimated actual
  estimated=$(($(reg_value "$uninstall" EstimatedSize)))
  actual=$(du -sk --apparent-size "$unix_dir" | cut -f1)
  [ $((estimated - actual)) -le 16 ] && [ $((actual - estimated)) -le 16 ] ||
    fail "$scope: EstimatedSize is $estimated KiB, the folder holds $actual KiB"
  echo "$scope: Open with for .hex, and the Apps & features entry ($estimated KiB)"
}

# Uninstalls silently (the uninstaller runs from a copy of itself and returns at once: wait for every
# program to end) and checks that nothing of ours is left but the users' setting files.
uninstall_and_check() {  # scope
  "$wine" "$instdir\\uninstall.exe" /S || fail "$1: the uninstaller failed (exit $?)"
  wine_idle
  local left
  left=$(find "$(realpath "$WINEPREFIX/drive_c")" \
    \( -iname '*ld6193*' -o -iname "$product*" -o -iname "$station*" \) -print |
    grep -vxF -e "$work_folder_unix" -e "$work_folder_unix/ld6193.cfg" || true)
  [ -z "$left" ] || fail "$1: left after uninstalling: $left"
  [ "$(od -An -tx1 "$work_folder_unix/ld6193.cfg" | tr -d ' ')" = 01 ] ||
    fail "$1: the user's ld6193.cfg was changed or removed by the uninstaller"
  left=$(grep -ih 'ld6193' "$WINEPREFIX"/*.reg || true)
  [ -z "$left" ] || fail "$1: registry entries of ours are left: $left"
  echo "$1: uninstalled; no file, shortcut or registry entry left, the user's ld6193.cfg kept"
}

product=${window_caption% Ver *}
station="KV6193 Production Station"
local_appdata=$(windows_variable LOCALAPPDATA)
work_folder_unix=$(realpath -m "$(unix_path "$local_appdata\\ld6193")")

echo "-- per machine: setup.exe /S"
"$wine" "$setup" /S || fail "the installer failed (exit $?)"
check_installed machine "$(windows_variable ProgramFiles)\\ld6193" HKLM \
  "$(windows_variable ProgramData)\\Microsoft\\Windows\\Start Menu\\Programs"
[ -d "$work_folder_unix" ] || fail "the installer did not make the working folder $local_appdata\\ld6193"
[ -n "$(reg_value 'HKLM\Software\Microsoft\Active Setup\Installed Components\ld6193' StubPath)" ] ||
  fail "no Active Setup entry to make the working folder for the other users"

flasher=$(unix_path "$instdir\\ld6193-flash.exe")
printed=$("$wine" "$flasher" --version | tr -d '\r')
[ "$printed" = "ld6193-flash ${version%.*}" ] || fail "the installed ld6193-flash.exe --version printed '$printed'"
plan=$("$wine" "$flasher" --plan "$instdir\\examples\\sector0.hex" | tr -d '\r') ||
  fail "the installed flasher cannot plan the installed sector0.hex: $plan"
grep -q Sector0 <<<"$plan" || fail "the plan of the installed sector0.hex does not name Sector0: $plan"
echo "machine: $printed; plans the installed sector0.hex"

# The window, started as the Start menu starts it; the command's own folder must stay untouched.
mkdir "$tmp/elsewhere"
(cd "$tmp/elsewhere" && exec "$wine" start /wait "$shortcut") &
app_pid=$!
if ! wait_window 60 "$window_caption" >/dev/null; then
  no_box || fail "the window did not appear; a message box reads '$("$wine" "$window_probe" box | tr -d '\r')'"
  fail "the window did not appear"
fi
probe_reads 30 "No file" || fail "status panel 0 reads '$probe_text', not 'No file'"
no_box || fail "a message box is open: '$("$wine" "$window_probe" box | tr -d '\r')'"
window_keys alt+F4
wait_exit_zero 30 "$app_pid" || fail "$exit_problem"
app_pid=
[ "$(od -An -tx1 "$work_folder_unix/ld6193.cfg" 2>/dev/null | tr -d ' ')" = 01 ] ||
  fail "the window did not write ld6193.cfg (01) into $local_appdata\\ld6193"
[ -z "$(ls -A "$tmp/elsewhere")" ] || fail "the window wrote into the folder it was started from: $(ls -A "$tmp/elsewhere")"
echo "machine: the shortcut's window started quietly in $local_appdata\\ld6193 and wrote ld6193.cfg there"

# "Open with": the ProgID's command, with a HEX file for %1.
command=$(reg_value 'HKLM\Software\Classes\ld6193.HexFile\shell\open\command' "")
program=$(sed -n 's/^"\([^"]*\)" "%1"$/\1/p' <<<"$command")
[ -n "$program" ] || fail "the open command '$command' is not '\"PROGRAM\" \"%1\"'"
hex_file=$instdir\\examples\\sector0.hex
mkdir "$tmp/open"
(cd "$tmp/open" && exec "$wine" "$(unix_path "$program")" "$hex_file") &
app_pid=$!
wait_window 60 "$window_caption" >/dev/null || fail "the open command started no window"
probe_reads 30 "Loaded file: $(tr a-z A-Z <<<"$hex_file")" ||
  fail "after the open command, status panel 0 reads '$probe_text'"
window_keys alt+F4
wait_exit_zero 30 "$app_pid" || fail "$exit_problem"
app_pid=
echo "machine: the open command loads the file it is given"

echo "-- per machine: uninstall.exe /S"
uninstall_and_check machine

# /D= takes the rest of the command line, spaces and all, unquoted: two arguments that wine joins.
echo "-- per user, on PATH: setup.exe /S /CurrentUser /PATH=1 /D=C:\\kv tools\\ld6193"
path_before='C:\kv-before;%SystemRoot%\kv-system'
"$wine" reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d "$path_before" /f >/dev/null 2>&1
"$wine" "$setup" /S /CurrentUser /PATH=1 '/D=C:\kv' 'tools\ld6193' || fail "the per-user install failed (exit $?)"
check_installed user 'C:\kv tools\ld6193' HKCU "$(windows_variable APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs"
! reg_value 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ld6193' DisplayName >/dev/null ||
  fail "user: the per-user install wrote the machine's uninstall entry"
check_values <<EOF
HKCU\\Environment|Path|$path_before;$instdir
EOF
echo "user: $instdir is at the end of the user's PATH"
echo "-- per user: uninstall.exe /S"
uninstall_and_check user
check_values <<EOF
HKCU\\Environment|Path|$path_before
EOF
echo "user: PATH is as it was"
echo "The installer installs, runs and uninstalls cleanly under wine."
