# shellcheck shell=bash
# What every script of scripts/ shares: its name in messages, its usage text, the build's
# configuration and the tally of a check. Sourced: `. "$here/scripts/lib/script.sh"`.

# The name messages start with ("testbed: …"); a script may set another before sourcing.
script_name="${script_name:-$(basename "$0")}"

# Prints the script's leading comment (from its second line to its end, or to line $usage_last)
# without the comment marks, on the error output, and exits 2.
usage() {
  local last="${usage_last:-}"
  if [ -z "$last" ]; then
    last="$(awk 'NR > 1 && !/^#/ { print NR - 1; exit }' "$0")"
  fi
  sed -n "2,${last}p" "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# Configures BUILD from the source tree in the current folder with Ninja and clang, and the given
# cmake options; the output goes to BUILD.configure.log and is shown only when it fails.
configure_build() {
  local build="$1"
  shift
  cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "$@" \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; return 1; }
}

# A check's steps: one line each, and the failures counted for the closing line.
failures=0
pass() { echo "check: ok   $*"; }
fail() {
  echo "check: FAIL $*"
  failures=$((failures + 1))
}
