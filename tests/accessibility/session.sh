#!/usr/bin/env bash
# Beside a testbed (scripts/testbed run): Kartello's accessibility walk on the scripts' private display
# (X server, session bus, window manager; the accessibility bus starts on demand). Arguments go to
# walk.py; QEL_SCREEN sets the screen's size (1280x900), e.g. 2560x1800 with QT_SCALE_FACTOR=2.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=scripts/lib/display.sh
. "$here/../../scripts/lib/display.sh"
run_dir="${QELCARD_SIM_RUN_DIR:?}"
if [ -s "$run_dir/tmaj-sim.port" ]; then
  export QEL_TMAJ_BASE_URL="https://127.0.0.1:$(cat "$run_dir/tmaj-sim.port")" QEL_TMAJ_CA_FILE="$run_dir/tmaj-ca.pem"
fi
if [ -s "$run_dir/vek-ca.pem" ]; then export QEL_VEK_CA_FILE="$run_dir/vek-ca.pem"; fi
# Kartello on the X server, whatever the caller chose for other GUI tests (offscreen has no AT-SPI keys).
export QT_QPA_PLATFORM=xcb
private_display_size="${QEL_SCREEN:-1280x900}" on_private_display 'exec /usr/bin/python3 "$@"' "$here/walk.py" "$@"
