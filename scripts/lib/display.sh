# shellcheck shell=bash disable=SC2034  # program_pid and program_status are the caller's
# A program on a private display, as the scripts look at a window without a desktop. Sourced.

# Runs the bash CODE with ARGs ($1 … inside it) on a private X server (Xvfb, 1060x660 unless
# $private_display_size says otherwise, no TCP) and a private D-Bus session bus, with this library
# sourced there and a window manager running.
on_private_display() {
  local code="$1"
  shift
  xvfb-run -a -s "-screen 0 ${private_display_size:-1060x660}x24 -nolisten tcp" dbus-run-session -- \
    bash -c '. "$0"; with_window_manager; '"$code" "${BASH_SOURCE[0]}" "$@"
}

# A window manager places and frames windows as on a desktop (it ends with the X server); without
# one installed, windows stay bare.
with_window_manager() {
  if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    sleep 1
  fi
}

# Starts PROGRAM (its output in OUT) and waits up to 30 s until the command READY succeeds, lets the
# program draw for 2 s, and saves a screenshot of the whole screen in SCREENSHOT. The program keeps
# running, its pid in program_pid. Status 2, and program_status, when the program ended first.
#   screenshot_when_ready SCREENSHOT OUT READY PROGRAM [ARG...]
screenshot_when_ready() {
  local screenshot="$1" out="$2" ready="$3"
  shift 3
  "$@" >"$out" 2>&1 &
  program_pid=$!
  for _ in $(seq 300); do
    if ! kill -0 "$program_pid" 2>/dev/null; then
      program_status=0
      wait "$program_pid" || program_status=$?
      return 2
    fi
    "$ready" && break
    sleep 0.1
  done
  sleep 2
  # Whether a screenshot was taken, the caller sees in the file.
  import -window root "$screenshot" || true
}
