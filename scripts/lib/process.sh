# shellcheck shell=bash
# Processes the scripts started, by pid: whether one still runs, what it is, and ending it.
# Sourced; `script_name` (scripts/lib/script.sh) starts its messages.

# Running, not a zombie: an orphan that exited may wait a while for a parent that reaps it.
alive() {
  [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null || return 1
  [ "$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null)" != Z ]
}

# The pid still belongs to the program we started (pids are reused).
is_program() { [ -r "/proc/$1/comm" ] && [ "$(cat "/proc/$1/comm")" = "$2" ]; }

# The command line a process was started with, its arguments separated by spaces.
command_line() { tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null | sed 's/ $//'; }

# Waits until the process has ended, up to TENTHS tenths of a second (default 100).
wait_ended() {
  local pid="$1"
  for _ in $(seq "${2:-100}"); do
    alive "$pid" || return 0
    sleep 0.1
  done
  return 1
}

# Ends the process when it still runs as NAME: TERM, then KILL after TENTHS tenths of a second
# (default 50), saying so.
stop_pid() {
  local pid="$1" name="$2"
  alive "$pid" && is_program "$pid" "$name" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait_ended "$pid" "${3:-50}" && return 0
  echo "${script_name:-$(basename "$0")}: $name ($pid) did not stop, killing it" >&2
  kill -KILL "$pid" 2>/dev/null || true
}
