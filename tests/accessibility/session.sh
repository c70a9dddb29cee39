#!/usr/bin/env bash
# Beside a testbed (scripts/testbed run): Kartello's accessibility walk under a private X server,
# session bus and accessibility bus. Arguments go to walk.py.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
run_dir="${QELCARD_SIM_RUN_DIR:?}"
if [ -s "$run_dir/tmaj-sim.port" ]; then
  export QEL_TMAJ_BASE_URL="https://127.0.0.1:$(cat "$run_dir/tmaj-sim.port")" QEL_TMAJ_CA_FILE="$run_dir/tmaj-ca.pem"
fi
[ -s "$run_dir/vek-ca.pem" ] && export QEL_VEK_CA_FILE="$run_dir/vek-ca.pem"
# Kartello on the X server, whatever the caller chose for other GUI tests (offscreen has no AT-SPI keys).
export QT_QPA_PLATFORM=xcb
exec xvfb-run -a -s "-screen 0 ${QEL_SCREEN:-1280x900}x24 -nolisten tcp" dbus-run-session -- /usr/bin/python3 "$here/walk.py" "$@"
