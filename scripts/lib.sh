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
