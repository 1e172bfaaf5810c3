#!/usr/bin/env bash
# Builds Quib with AddressSanitizer and UndefinedBehaviorSanitizer (gcc,
# -DQUIB_SANITIZE=ON) in its own folder and runs the unit and end-to-end
# suites there. quib loads the sanitized libgensock.so at run time; both use
# the shared sanitizer runtimes, so that works as in the normal build.
# Every sanitizer report is also written to a log folder: any error report
# fails the run, even one from a process whose exit status no test looked at.
#   QUIB_ASAN_BUILD  build folder (default build-asan)
#   QUIB_JOBS        parallel jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${QUIB_ASAN_BUILD:-build-asan}
JOBS=${QUIB_JOBS:-2}

cmake -S . -B "$BUILD" -DQUIB_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUIB_WERROR="${QUIB_WERROR:-ON}"
cmake --build "$BUILD" -j"$JOBS"

REPORTS=$(pwd)/$BUILD/sanitizer-reports
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"
export LSAN_OPTIONS="log_path=$REPORTS/lsan"

status=0
ctest --test-dir "$BUILD" --output-on-failure -j"$((JOBS * 2))" || status=$?

# A warning alone (such as a refused 8 TiB allocation that a test asks
# for on purpose) is no fault; an error, a runtime error or a leak is.
for report in "$REPORTS"/*; do
  [ -e "$report" ] || continue
  if grep -qE "ERROR: |runtime error|SUMMARY: " "$report"; then
    echo "---- sanitizer report $report"
    head -80 "$report"
    status=1
  else
    echo "note: $(basename "$report"): $(head -1 "$report")"
  fi
done
exit "$status"
