#!/usr/bin/env bash
# ld6193.exe under wine, on an X display, in wine's own virtual desktop (which routes the keyboard as
# Windows does), driven from the keyboard as a person would drive it:
#   1. the setting file: the program starts in a folder with no "ld6193.cfg", with 03, with 05 and with
#      00 41; closing the window must end it with exit code 0 and leave 01, 03, 05 and 01 41. Where
#      "ld6193.cfg" is a folder, the two Czech boxes come before the window, and it runs on COM1;
#   2. a download: Alt, Return ("Load File"), a typed Z:\ path in the file dialog, Return; Alt, Right,
#      Return ("Send") through COM1 to kv6193-sim; Return dismisses the closing box; Alt+F4 closes the
#      window (exit code 0). The simulated device's flash must equal, byte for byte, what the Linux
#      flasher puts into a second simulated device from the same file.
# Every wait is for a condition (a window by its title, what status panel 0 reads, a file, a process),
# bounded by a time limit. window_probe.exe reads status panel 0 and message boxes from outside.
#
# Called by test-windows.sh with its wine prefix (WINEPREFIX, COM1 mapped to $WINEPREFIX/kv-com/com1)
# and DISPLAY set:
#   test-windows-window.sh WINE LD6193_EXE WINDOW_PROBE_EXE KV6193_SIM LD6193_FLASH [SCREENSHOT.png]
# With SCREENSHOT.png, the window is photographed after the download, its bar at 100 %.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh  # start_sim, stop_sim, wait_window, wait_window_gone, probe_reads, window_keys, ...
window_test_args "$(basename "$0")" "$@"

caption=$window_caption
work=$(mktemp -d "${TMPDIR:-/tmp}/kv-window.XXXXXX")
sim_pid=
app_pid=
finish() {
  [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
  [ -z "$sim_pid" ] || kill -TERM "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
fail() {
  echo "test-windows-window.sh: $*" >&2
  [ -z "${KV_WINDOW_STEPS:-}" ] || import -window root "$KV_WINDOW_STEPS/failed.png"
  exit 1
}

# Waits up to $1 seconds until status panel 0 (or, with $3 = box, the open message box) reads exactly $2.
wait_text() { probe_reads "$@" || fail "${3:-status panel 0} reads '$probe_text', not '$2'"; }
wait_panel() { wait_text "$1" "$2"; }
wait_box() { wait_text "$1" "$2" box; }

# Waits up to $1 seconds for the program to end; its exit code must be 0.
wait_exit() {
  wait_exit_zero "$1" "$app_pid" || fail "$exit_problem"
  app_pid=
}

# Starts ld6193.exe in folder $1, as a double-click in that folder would, and waits for its window.
start_window() {
  (cd "$1" && exec "$wine" "$exe") &
  app_pid=$!
  wait_window 60 "$caption" >/dev/null || fail "the window did not appear"
}

hex() { od -An -tx1 -v "$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

echo "-- the setting file at start-up"
check_setting() {  # case name, bytes before (printf escapes, or "missing"), expected bytes after
  local dir=$work/setting-$1
  mkdir "$dir"
  [ "$2" = missing ] || printf "$2" >"$dir/ld6193.cfg"
  start_window "$dir"
  wait_panel 30 "No file"
  window_keys alt+F4
  wait_exit 30
  [ -f "$dir/ld6193.cfg" ] || fail "$1: no ld6193.cfg after the run"
  [ "$(hex "$dir/ld6193.cfg")" = "$3" ] || fail "$1: ld6193.cfg holds '$(hex "$dir/ld6193.cfg")', not '$3'"
  echo "$1: ld6193.cfg holds $3"
}
check_setting missing missing "01"
check_setting stored-3 '\003' "03"
check_setting stored-5 '\005' "05"
check_setting out-of-range '\000\101' "01 41"

# A setting file that cannot be opened at all: the read's and the write's messages, before the window.
# Their OK buttons are pressed through the probe: while the program has no window on screen between the
# two boxes, wine now and then routes no key to the second one (about 1 run in 30 on a loaded machine:
# the box is active, its OK button focused, and Return, pressed twice, never arrives). Keys drive the
# box of the download below, which the window owns.
mkdir -p "$work/setting-unopenable/ld6193.cfg"
(cd "$work/setting-unopenable" && exec "$wine" "$exe") &
app_pid=$!
wait_box 60 "Nelze otevřít soubor "
! xdotool search --onlyvisible --name "$caption" >/dev/null 2>&1 || fail "the window came before the messages"
"$wine" "$window_probe" ok || fail "no OK button on the read's message"
wait_box 30 "Nelze zapsat do souboru "
"$wine" "$window_probe" ok || fail "no OK button on the write's message"
wait_window 30 "$caption" >/dev/null ||
  fail "the window did not appear after the two messages ($(process_gone "$app_pid" && echo "the program had ended" ||
    echo "the program still ran")$(no_box || echo "; a message box was still open"))"
wait_panel 30 "No file"
window_keys alt+F4
wait_exit 30
echo "unopenable: both messages came before the window"

echo "-- Load File and Send through COM1 to kv6193-sim"
# The reference: the Linux flasher's download of the same file into a second simulated device.
file=$root/examples/sector0.hex
start_sim "$sim" "$work/reference.out" --dump "$work/expected.bin" || fail "kv6193-sim (reference) did not start"
"$flasher" --device "$sim_pty" --quiet "$file" >/dev/null || fail "the Linux flasher failed on $file"
stop_sim
[ -s "$work/expected.bin" ] || fail "no reference flash"

start_sim "$sim" "$work/sim.out" --link "$WINEPREFIX/kv-com/com1" --dump "$work/flash.bin" ||
  fail "kv6193-sim did not start"

mkdir "$work/download"
start_window "$work/download"  # no setting file: COM1
wait_panel 30 "No file"
window_keys alt Return
wait_window 30 "^Open$" >/dev/null || fail "Alt, Return did not open the file dialog"
windows_path=$("$wine" winepath -w "$file" 2>/dev/null | tr -d '\r')
xdotool type --delay 20 "$windows_path"
window_keys Return
wait_window_gone 30 "^Open$" || fail "the file dialog did not take the typed path"
wait_panel 30 "Loaded file: $(tr a-z A-Z <<<"$windows_path")"
window_keys alt Right Return
wait_window 120 "$window_box_title" >/dev/null || fail "no message box after Send"
wait_box 30 "File successfully loaded"
window_keys Return
wait_window_gone 30 "$window_box_title" || fail "Return did not dismiss the message box"
wait_panel 30 "File successfully loaded..."
if [ -n "$screenshot" ]; then
  import -window "$(xdotool search --name "$caption" | head -n1)" "$screenshot"
  echo "Wrote $screenshot"
fi
window_keys alt+F4
wait_exit 30

stop_sim
[ -s "$work/flash.bin" ] || fail "the simulator wrote no flash dump"
cmp "$work/flash.bin" "$work/expected.bin" >&2 || fail "the device's flash differs from the expected image"
echo "The window under wine downloaded $(basename "$file") through COM1: the device's flash is the expected image."
