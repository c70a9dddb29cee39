#!/bin/sh
# Runs a test program as an ordinary user (nobody) in a private home where Sigilla is registered with
# p11-kit, which reads no user registration for root: the card is then a TLS client identity, as on
# a workstation.   as_ordinary_user.sh SIGILLA_MODULE PROGRAM [ARGUMENTS...]
set -eu
module="$1"
shift
if [ "$(id -u)" != 0 ]; then exec "$@"; fi
home="$(mktemp -d /tmp/kartello-gui-XXXXXX)"
mkdir -p "$home/.config/pkcs11/modules" "$home/Documents" "$home/state" "$home/cache" "$home/runtime"
printf 'module: %s\n' "$module" >"$home/.config/pkcs11/modules/sigilla.module"
chmod -R a+rwX "$home"
chmod 0700 "$home/runtime"
chown 65534:65534 "$home/runtime"
status=0
setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$home" XDG_CONFIG_HOME="$home/.config" \
  XDG_STATE_HOME="$home/state" XDG_CACHE_HOME="$home/cache" XDG_DOCUMENTS_DIR="$home/Documents" \
  XDG_RUNTIME_DIR="$home/runtime" "$@" || status=$?
# A failed run keeps its home: its logs are what tells why.
if [ "$status" -eq 0 ]; then rm -rf "$home"; else echo "as_ordinary_user: kept the failed run's home $home" >&2; fi
exit "$status"
