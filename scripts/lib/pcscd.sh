# shellcheck shell=bash disable=SC2034  # pcscd_pid is the caller's
# The smart-card daemon pcscd as the scripts start and find it. Sourced.
# shellcheck source=scripts/lib/process.sh
. "$(dirname "${BASH_SOURCE[0]}")/process.sh"

PCSCD_SOCKET=/run/pcscd/pcscd.comm

# The pcscd processes that run; one that ended and that nobody reaped (a container's init may not)
# does not.
running_pcscd() {
  local pid
  for pid in $(pgrep -x pcscd || true); do alive "$pid" && echo "$pid"; done
  return 0
}

# Starts pcscd with the given arguments in a session of its own, its output appended to LOG and
# none of the caller's streams held (a CI step that runs the script ends with it); sets pcscd_pid.
# The caller records the pid before it waits, so that a pcscd that never answers is still ended.
launch_pcscd() {
  local log="$1"
  shift
  setsid pcscd "$@" </dev/null >>"$log" 2>&1 &
  pcscd_pid=$!
}

# Waits up to 10 s until pcscd listens on its socket; gives up early when PID (if given) has ended.
pcscd_listens() {
  for _ in $(seq 100); do
    [ -S "$PCSCD_SOCKET" ] && return 0
    [ -z "${1:-}" ] || alive "$1" || return 1
    sleep 0.1
  done
  return 1
}

# The virtual reader driver's library (vsmartcard-vpcd), or nothing when it is not installed.
vpcd_driver() {
  ls /usr/lib/pcsc/drivers/serial/libifdvpcd.so* /usr/lib/*/pcsc/drivers/serial/libifdvpcd.so* 2>/dev/null | head -1 || true
}

# A pcscd reader configuration for a vpcd reader pair: vpcd_reader_conf NAME CHANNEL DRIVER
# (CHANNEL the pair's first port, in hexadecimal as 0x8C7B).
vpcd_reader_conf() {
  printf 'FRIENDLYNAME "%s"\nDEVICENAME   /dev/null:%s\nLIBPATH      %s\nCHANNELID    %s\n' "$1" "$2" "$3" "$2"
}
