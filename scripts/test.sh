#!/usr/bin/env bash
# Runs every test of Quib: unit and end-to-end suites, the same suites under
# AddressSanitizer/UndefinedBehaviorSanitizer, valgrind runs, a bounded fuzzing
# run, and the Windows build's end-to-end cases under Wine.
# Installs whatever the machine lacks. Set QUIB_TEST_STAGES to a subset of
# "unit sanitizers valgrind fuzz windows" to run fewer stages.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
STAGES=${QUIB_TEST_STAGES:-"unit sanitizers valgrind fuzz windows"}
JOBS=${QUIB_JOBS:-2}

bash scripts/install-deps.sh cmake g++ make libgtest-dev libssl-dev openssl python3 python3-aiosmtpd postfix \
  valgrind clang libclang-rt-14-dev g++-mingw-w64-x86-64 wine wine64 || exit 1

passed=0
failed=0
failed_stages=()

# Adds a ctest log's counts to the totals.
count_ctest() {
  local line
  line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$1" | tail -1)
  if [ -n "$line" ]; then
    local total bad
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
}

run_stage() {
  local name=$1; shift
  local log="$ROOT/build-logs/$name.log"
  echo "=== $name"
  local start=$SECONDS
  if "$@" >"$log" 2>&1; then
    echo "    ok ($((SECONDS - start)) s)"
    count_ctest "$log"
    grep -q "tests passed" "$log" || passed=$((passed + 1))
  else
    echo "    FAILED ($((SECONDS - start)) s); last lines of $log:"
    tail -40 "$log" | sed 's/^/    /'
    count_ctest "$log"
    grep -q "tests passed" "$log" || failed=$((failed + 1))
    failed_stages+=("$name")
  fi
}

unit_stage() {
  cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build-test -j"$JOBS" &&
    ctest --test-dir build-test --output-on-failure -j"$JOBS"
}

mkdir -p build-logs
for stage in $STAGES; do
  case $stage in
    unit) run_stage unit unit_stage ;;
    sanitizers) run_stage sanitizers bash scripts/test-sanitizers.sh ;;
    valgrind) run_stage valgrind bash scripts/test-valgrind.sh ;;
    fuzz) run_stage fuzz bash scripts/test-fuzz.sh ;;
    windows) run_stage windows bash scripts/test-windows.sh ;;
    *) echo "unknown stage $stage"; failed=$((failed + 1)) ;;
  esac
done

[ ${#failed_stages[@]} -gt 0 ] && echo "failed stages: ${failed_stages[*]}"
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
