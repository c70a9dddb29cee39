# shellcheck shell=bash disable=SC2034  # the options are the caller's
# The fuzz targets of a build, and one run of one of them over its seed corpus. Sourced.

fuzz_seed_corpora="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../fuzz/corpus" 2>/dev/null && pwd || true)"

# What the sanitizers do on a finding: report it and end with an error, leaks included.
QEL_ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
QEL_UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# The fuzz targets of BUILD, one path a line, by name.
fuzz_targets() {
  find "$1/fuzz" -maxdepth 1 -type f -executable -name 'fuzz_*' 2>/dev/null | sort
}

# The seed corpus of FUZZER (fuzz/corpus/<name>), when there is one.
fuzz_seeds() {
  [ -n "$fuzz_seed_corpora" ] && [ -d "$fuzz_seed_corpora/${1##*/}" ] && echo "$fuzz_seed_corpora/${1##*/}"
  return 0
}

# Runs FUZZER for SECONDS on the working corpus CORPUS and the target's seed corpus
# (fuzz/corpus/<name>, when there is one), findings saved in ARTIFACTS/ and the output, final
# statistics included, in LOG. The status is the fuzzer's: 0 when it found nothing.
fuzz_run() {
  local fuzzer="$1" seconds="$2" corpus="$3" artifacts="$4" log="$5" seeds
  mapfile -t seeds < <(fuzz_seeds "$fuzzer")
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "${seeds[@]}" >"$log" 2>&1
}

# Calls FUNCTION FUZZER for each fuzz target of BUILD: JOBS of them side by side, in the background
# (where they cannot set the caller's variables), or with JOBS 1 one after the other in this shell.
each_fuzz_target() {
  local build="$1" jobs="$2" function="$3" fuzzer running=0 fuzzers
  mapfile -t fuzzers < <(fuzz_targets "$build")
  for fuzzer in "${fuzzers[@]}"; do
    if [ "$jobs" -le 1 ]; then
      "$function" "$fuzzer"
      continue
    fi
    if [ "$running" -ge "$jobs" ]; then
      wait -n || true
      running=$((running - 1))
    fi
    "$function" "$fuzzer" &
    running=$((running + 1))
  done
  wait
}
