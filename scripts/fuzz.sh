#!/usr/bin/env bash
# make fuzz: the service's libFuzzer targets and the client's (its parsers, built natively from the
# client's own files) built with clang (AddressSanitizer and UndefinedBehaviorSanitizer) and each run
# for FUZZ_SECONDS (60) from its seed corpus, printing its executions and coverage. FUZZ_TARGETS picks
# some of them (FUZZ_TARGETS="client_json client_sntp"). New inputs go to a scratch corpus under
# build/; a crash leaves its input in build/fuzz/ and fails the run.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build/fuzz"
SECONDS_EACH=${FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S "$ROOT/service" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_FUZZ=ON >/dev/null || exit 1
cmake --build "$BUILD" -j"${JOBS:-2}" || exit 1
status=0
for target in ${FUZZ_TARGETS:-request sntp client_json client_sntp client_instruction}; do
  seeds="$ROOT/service/fuzz/corpus/$target"
  [ -d "$seeds" ] || seeds="$ROOT/client/fuzz/corpus/$target"
  work="$BUILD/corpus-$target"
  mkdir -p "$work"
  echo "== fuzz_$target for $SECONDS_EACH s"
  (cd "$BUILD" && ./fuzz_$target -max_total_time="$SECONDS_EACH" -print_final_stats=1 "$work" \
    "$seeds" >"$BUILD/fuzz_$target.log" 2>&1)
  rc=$?
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::|==[0-9]+==ERROR|SUMMARY|fuzz_)' "$BUILD/fuzz_$target.log"
  [ "$rc" = 0 ] || { echo "fuzz_$target failed (exit $rc): $BUILD/fuzz_$target.log"; status=1; }
done
exit $status
