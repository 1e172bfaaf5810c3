#!/usr/bin/env bash
# Runs every test of Quib: unit and end-to-end suites, the same suites under
# AddressSanitizer/UndefinedBehaviorSanitizer, valgrind runs, a bounded fuzzing
# run, the Windows build's end-to-end cases under Wine, the formatting of the
# C++ sources, and the Debian package and Windows zip (built, installed, used).
# Installs whatever the machine lacks. Set QUIB_TEST_STAGES to a subset of
# "format unit sanitizers valgrind fuzz windows package" to run fewer stages.
# Warnings are errors in every build here (QUIB_WERROR=OFF turns that off).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
STAGES=${QUIB_TEST_STAGES:-"format unit sanitizers valgrind fuzz windows package"}
JOBS=${QUIB_JOBS:-2}  # build jobs; tests run twice as many, most of them wait on servers
export QUIB_WERROR=${QUIB_WERROR:-ON}

bash scripts/install-deps.sh cmake g++ make libgtest-dev libssl-dev openssl python3 \
  python3-aiosmtpd postfix valgrind clang libclang-rt-14-dev clang-format g++-mingw-w64-x86-64 \
  wine wine64 dpkg-dev file groff-base man-db mpack iproute2 git maildrop || exit 1
# The token client: JSON and HTTPS headers, libcurl for the runs, and what
# its tests' token endpoint and checks use.
bash scripts/install-deps.sh nlohmann-json3-dev libcurl4-openssl-dev libcurl4 python3-cryptography \
  curl || exit 1
# Every program the tests, the scripts and the benchmark run comes from a
# package installed above or by another script of the project.
python3 scripts/check-test-programs.py || exit 1

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

# The committed C and C++ sources, as the committed .clang-format lays them out.
format_stage() {
  git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror &&
    echo "every C and C++ source is formatted"
}

unit_stage() {
  cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIB_WERROR="$QUIB_WERROR" &&
    cmake --build build-test -j"$JOBS" &&
    ctest --test-dir build-test --output-on-failure -j"$((JOBS * 2))"
}

mkdir -p build-logs
for stage in $STAGES; do
  case $stage in
    format) run_stage format format_stage ;;
    unit) run_stage unit unit_stage ;;
    sanitizers) run_stage sanitizers bash scripts/test-sanitizers.sh ;;
    valgrind) run_stage valgrind bash scripts/test-valgrind.sh ;;
    fuzz) run_stage fuzz bash scripts/test-fuzz.sh ;;
    windows) run_stage windows bash scripts/test-windows.sh ;;
    package) run_stage package bash scripts/test-package.sh ;;
    *) echo "unknown stage $stage"; failed=$((failed + 1)) ;;
  esac
done

[ ${#failed_stages[@]} -gt 0 ] && echo "failed stages: ${failed_stages[*]}"
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
