#!/usr/bin/env bash
# Builds the fuzz harnesses (clang, libFuzzer, AddressSanitizer +
# UndefinedBehaviorSanitizer) in build-fuzz and runs each for a bounded time
# on its checked-in corpus and dictionary; new inputs go to
# build-fuzz/run/<harness>/corpus, which later runs reuse.
#
#   tests/fuzz/run.sh [seconds per harness, default 120] [harness ...]
#
# Harnesses: receive (the tcp transport feeding the server core and the
# relay), client (the client library reading a server), config (the settings
# readers). Exits non-zero when a harness fails; the sanitizer's report and
# the failing input, in hex, are printed.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-120}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(receive client config)
build=${TQ_FUZZ_BUILD:-build-fuzz}

cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2

hex() {
  if command -v xxd >/dev/null; then xxd "$1"; else od -A x -t x1z -v "$1"; fi
}

failed=0
for h in "${harnesses[@]}"; do
  work=$build/run/$h
  mkdir -p "$work/corpus"
  rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
  options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1
           -dict="tests/fuzz/$h.dict" -artifact_prefix="$work/")
  # libconfig++ leaks a string it was reading when the input ends inside it;
  # checking for leaks after every such input would cost most of the run, so
  # the config harness checks for leaks once, at its end.
  [ "$h" = config ] && options+=(-detect_leaks=0)
  status=0
  LSAN_OPTIONS=suppressions=$PWD/tests/fuzz/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz_$h" "${options[@]}" "$work/corpus" "tests/fuzz/corpus/$h" >"$work/log" 2>&1 || status=$?
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | tail -1 || true)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  echo "fuzz_$h: ${runs:-?} executions in ${seconds} s; ${done_line:-no final line}"
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "fuzz_$h FAILED (exit code $status):"
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$work/log" | tail -80
    for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      [ -e "$artifact" ] || continue
      echo "input $artifact:"
      hex "$artifact"
    done
  fi
done
exit $failed
