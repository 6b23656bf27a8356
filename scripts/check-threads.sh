#!/usr/bin/env bash
# make check-threads: the service and its test program built with ThreadSanitizer (cpp-httplib
# compiled in from Debian's source, so its inside is seen as well) and the service's suites run.
# Too slow for every `make test`; run it before a change to the service's threads is merged.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build/service-tsan"
REPORTS="$BUILD/tsan-reports"
cmake -S "$ROOT/service" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=thread \
  -DORVANE_HTTPLIB_SOURCE="$ROOT/.deps/cpp-httplib-src" >/dev/null || exit 1
cmake --build "$BUILD" -j"${JOBS:-2}" || exit 1
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
# The room benchmarks time a room against the clock: under the sanitizer's slowdown they measure the
# sanitizer. Their load still runs once, shorter, below.
export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 log_path=$REPORTS/report"
ctest --test-dir "$BUILD" --output-on-failure -E '^(RoomOf500|RoomBench)$' --timeout 900
status=$?
"$BUILD/orvane-service-bench" room --participants 200 --join-seconds 3 --release-lead-ms 8000 || status=1
reports=$(ls "$REPORTS" 2>/dev/null | wc -l)
if [ "$reports" -gt 0 ]; then
  echo "ThreadSanitizer wrote $reports report(s):"
  cat "$REPORTS"/*
  status=1
else
  echo "ThreadSanitizer: no reports"
fi
exit $status
