# Shell helpers shared by the scripts; source it. Every wait here waits for a condition (a line, a
# window, a process), with a deadline, never for a fixed time.

# wait_until SECONDS COMMAND [ARGS...]: runs COMMAND every 50 ms until it succeeds; returns 1 if it has
# not succeeded by the deadline.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.05
  done
}

# need_built PROGRAM...: each PROGRAM is there and runs; otherwise says which is missing and exits.
need_built() {
  local program
  for program in "$@"; do
    [ -x "$program" ] || { echo "missing $program: build the project first" >&2; exit 1; }
  done
}

# need_ser2net: ser2net is installed; otherwise says how to install it and exits.
need_ser2net() {
  command -v ser2net >/dev/null || { echo "ser2net is not installed: scripts/deps.sh test" >&2; exit 1; }
}

# listening PORT: something takes connections on the loopback TCP port PORT.
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# free_port: a loopback port in the dynamic range that nobody answers on.
free_port() {
  local port
  while :; do
    port=$((49152 + RANDOM % 16000))
    listening "$port" || { echo "$port"; return; }
  done
}

# start_ser2net FOLDER PTY [defaults]: ser2net exporting the terminal PTY on free loopback ports over
# RFC 2217 ($rfc_port) and raw TCP ($tcp_port), both with chardelay off as the README advises; with
# "defaults", also over RFC 2217 with ser2net's own defaults ($default_port). Its configuration and
# output go to FOLDER. Sets ser2net_pid; returns 1 when a port does not take connections within 5 s.
start_ser2net() {
  local folder=$1 pty=$2
  rfc_port=$(free_port)
  tcp_port=$(free_port)
  default_port=
  cat >"$folder/ser2net.yaml" <<YAML
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$rfc_port
  connector: serialdev,$pty,115200e81,local
  options:
    chardelay: false
connection: &raw
  accepter: tcp,127.0.0.1,$tcp_port
  connector: serialdev,$pty,115200e81,local
  options:
    chardelay: false
YAML
  if [ "${3:-}" = defaults ]; then
    default_port=$(free_port)
    cat >>"$folder/ser2net.yaml" <<YAML
connection: &defaults
  accepter: telnet(rfc2217),tcp,127.0.0.1,$default_port
  connector: serialdev,$pty,115200e81,local
YAML
  fi
  ser2net -n -d -c "$folder/ser2net.yaml" -P "$folder/ser2net.pid" >"$folder/ser2net.out" 2>&1 &
  ser2net_pid=$!
  local port
  for port in $rfc_port $tcp_port $default_port; do
    wait_until 5 listening "$port" || { echo "ser2net did not come up on port $port" >&2; return 1; }
  done
}

# make_work_folder: a fresh temporary folder in $work and an empty array pids; on exit, the processes
# whose ids the script has added to pids are ended and the folder is removed.
make_work_folder() {
  work=$(mktemp -d)
  pids=()
  trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true
        rm -rf "$work"' EXIT
}

# make_fake_port_tree: an empty fake machine for the port search under $work/root ($root), with its
# /dev/serial/by-id folder in $byid, where scripts make and take away the links of simulated boards.
make_fake_port_tree() {
  root=$work/root
  byid=$root/dev/serial/by-id
  mkdir -p "$byid" "$root/sys/class/tty"
}

# start_station FLASHER OUT ERR ARGS...: `FLASHER --station ARGS...` over the fake tree, its output in
# OUT and ERR; sets station_pid (also added to pids) and waits for its welcome. Returns 1 when the
# station has not started within 10 s.
start_station() {
  local flasher=$1 out=$2 err=$3
  shift 3
  : >"$out"
  KV_TEST_PORT_ROOT=$root "$flasher" --station "$@" >"$out" 2>"$err" &
  station_pid=$!
  pids+=("$station_pid")
  wait_until 10 grep -qF "Waiting for boards" "$out" || { echo "the station did not start" >&2; return 1; }
}

# cpu_ms PID [TID]: the user and system time of a live process, or of its thread TID, in ms.
cpu_ms() {
  local fields
  read -r -a fields <"/proc/$1${2:+/task/$2}/stat"
  # Fields 14 and 15 (from 1), counted after the name in parentheses, which holds no blank here.
  echo $(((fields[13] + fields[14]) * 1000 / $(getconf CLK_TCK)))
}

# process_gone PID: the process has ended.
process_gone() { ! kill -0 "$1" 2>/dev/null; }

# start_sim SIM OUT [ARGS...]: starts the simulator SIM in the background with its output in the file
# OUT and waits for its first line, the path of its terminal. Sets sim_pid and sim_pty; returns 1
# (with the reason on standard error) when it exits or gives no terminal within 10 s.
start_sim() {
  local sim=$1 out=$2
  shift 2
  : >"$out"  # there before the simulator starts, so the first read below never misses it
  "$sim" "$@" >"$out" &
  sim_pid=$!
  sim_pty=
  local deadline=$((SECONDS + 10))
  while [ $SECONDS -lt $deadline ]; do
    if IFS= read -r sim_pty <"$out" && [ -n "$sim_pty" ]; then return 0; fi
    sim_pty=
    kill -0 "$sim_pid" 2>/dev/null || { echo "kv6193-sim did not start" >&2; return 1; }
    sleep 0.05
  done
  echo "kv6193-sim gave no terminal within 10 s" >&2
  return 1
}

# stop_sim: ends the simulator that start_sim started (it writes its --dump file on the way out).
stop_sim() {
  [ -n "${sim_pid:-}" ] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=
}

# wait_window SECONDS NAME: waits for a visible X window whose name matches NAME; prints its id.
wait_window() {
  local deadline=$((SECONDS + $1)) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "$2" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# wait_window_gone SECONDS NAME: waits until no visible X window's name matches NAME.
no_window() { ! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }
wait_window_gone() { wait_until "$1" no_window "$2"; }

# CMake's argument for ccache, where installed: a second run then does not compile everything again.
ccache_launcher=()
if command -v ccache >/dev/null; then ccache_launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

# configure_windows_build DIR: configures DIR (run from the source tree) as the Windows test build:
# cross-built with mingw-w64, the window and the tests (window_probe.exe among them), warnings as errors.
configure_windows_build() {
  cmake -S "$PWD" -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "${ccache_launcher[@]}" \
    -DKV_BUILD_UI=ON -DKV_BUILD_TESTS=ON -DKV_BUILD_BENCH=OFF -DKV_WERROR=ON >/dev/null
}

# find_wine: sets wine and wineserver: Debian's `wine` launcher, or the 64-bit loader that the wine64
# package alone installs (then exported as WINELOADER). Returns 1 when wine is not installed.
find_wine() {
  wine=$(command -v wine || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
  [ -x "$wine" ] && [ -x "$wineserver" ] || { echo "wine is not installed" >&2; return 1; }
  if [ "$wine" = /usr/lib/wine/wine64 ]; then export WINELOADER=$wine; fi
}

# new_wine_prefix: makes a fresh wine prefix under TMPDIR and exports WINEPREFIX (and WINEDEBUG=-all):
# booted, with wine's own fonts (MS Sans Serif, Marlett for the caption buttons; Debian's fonts-wine
# puts them where this wine does not look), and windows opening in wine's own 800x600 desktop, which
# handles the keyboard as Windows does (Alt opens the menu bar). Call find_wine first; the caller
# removes the prefix ("$wineserver" -k, then rm -rf "$WINEPREFIX").
new_wine_prefix() {
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kv-wine.XXXXXX")
  # No menu entries or file types from the prefix's shortcuts into the desktop of the account running it.
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
  "$wine" wineboot -i >/dev/null 2>&1
  cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
  # The desktop is made when the session starts: end the boot's session, so that the next one has it.
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w
}

# The window under wine, for the scripts that drive ld6193.exe. Set wine (find_wine) and window_probe
# (window_probe.exe, which reads the running window from outside) first.
window_caption="KV6193 System File Loader Ver 1.1"
window_box_title="^ld6193$"  # message boxes carry the program file's name

# window_test_args SCRIPT WINE LD6193_EXE WINDOW_PROBE_EXE KV6193_SIM LD6193_FLASH [SCREENSHOT.png]:
# the arguments test-windows.sh gives each script that drives a window under wine, into wine, exe,
# window_probe, sim, flasher and screenshot. Exits with 2 when there is no X display.
window_test_args() {
  local script=$1
  wine=$2
  exe=$(realpath "$3")
  window_probe=$(realpath "$4")
  sim=$(realpath "$5")
  flasher=$(realpath "$6")
  screenshot=${7:-}
  [ -n "${DISPLAY:-}" ] || { echo "$script: no X display" >&2; exit 2; }
}

# probe_reads SECONDS TEXT [box]: waits up to SECONDS until status panel 0 of the running window (with
# box: the open message box) reads exactly TEXT. Returns 1 when it does not, with what it read last in
# probe_text.
probe_reads() {
  local deadline=$((SECONDS + $1))
  probe_text=
  while [ $SECONDS -lt $deadline ]; do
    probe_text=$("$wine" "$window_probe" ${3:-} 2>/dev/null | tr -d '\r' || true)
    [ "$probe_text" = "$2" ] && return 0
    sleep 0.1
  done
  return 1
}

# no_box: no message box of the program is open.
no_box() { no_window "$window_box_title"; }

# window_keys KEYS...: presses KEYS in the window that wine's desktop has active; the pointer rests on
# the desktop, off the window.
window_keys() {
  xdotool mousemove 790 590
  xdotool key --delay 150 "$@"
}

# wait_exit_zero SECONDS PID: waits up to SECONDS for the background process PID (started by this
# shell) to end. Returns 1, with the reason in exit_problem, unless it ended with exit code 0.
wait_exit_zero() {
  exit_problem="the program did not end after its window was closed"
  wait_until "$1" process_gone "$2" || return 1
  local code=0
  wait "$2" || code=$?
  exit_problem="the program ended with exit code $code"
  [ "$code" = 0 ]
}
