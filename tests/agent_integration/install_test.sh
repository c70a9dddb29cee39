#!/usr/bin/env bash
# Installs the agent's component into a fresh prefix and runs Lanzo from there, on the private
# session bus this script runs on (dbus-run-session): Lanzo starts the installed Vigilo and quits
# on its signal; the login item Vigilo writes runs the installed Lanzo and is a valid entry.
#   install_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build="$1" work="$2"
prefix="$work/prefix"
rm -rf "$work" && mkdir -p "$work"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_STATE_HOME="$work/home/state"
export QT_QPA_PLATFORM=offscreen
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" --component vigilo >"$work/install.log"
for f in bin/vigilo bin/lanzo share/applications/org.oberlane.qel.vigilo.desktop \
         share/applications/org.oberlane.qel.lanzo.desktop \
         share/icons/hicolor/scalable/apps/org.oberlane.qel.vigilo.svg; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
validate() { ! command -v desktop-file-validate >/dev/null || desktop-file-validate "$1" || fail "$1 is not valid"; }
validate "$prefix/share/applications/org.oberlane.qel.vigilo.desktop"
validate "$prefix/share/applications/org.oberlane.qel.lanzo.desktop"

# Lanzo must quit by itself once Vigilo is up; `timeout` only guards against a hang.
timeout 60 "$prefix/bin/lanzo" 2>"$work/lanzo.err" || fail "lanzo did not quit cleanly ($?): $(cat "$work/lanzo.err")"
grep -q "Lancement de Vigilo depuis:" "$work/lanzo.err" || fail "no launch message"
grep -qx "$prefix/bin/vigilo" "$work/lanzo.err" || fail "lanzo did not start the installed vigilo"

agent_pid="$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
  --method org.freedesktop.DBus.GetConnectionUnixProcessID org.oberlane.qel.vigilo | sed -n 's/.*uint32 \([0-9]*\).*/\1/p')"
[ -n "$agent_pid" ] || fail "vigilo does not own its name"
entry="$XDG_CONFIG_HOME/autostart/org.oberlane.qel.lanzo.desktop"
grep -qx "Exec=$prefix/bin/lanzo" "$entry" || fail "the login item does not run the installed lanzo: $(cat "$entry")"
validate "$entry"
kill "$agent_pid"
echo "install_test: ok"
