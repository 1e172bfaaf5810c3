#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang, -DQUIB_FUZZ=ON) and runs
# each for a bounded time from a copy of its committed seed corpus, so that
# the repository is never changed. Any crash, sanitizer report, leak or hang
# fails the run; the inputs that caused it are kept in the build folder.
#   FUZZ_SECONDS     seconds per target after the corpus is replayed (default 5)
#   FUZZ_TARGETS     names to run (default: all, e.g. "reply_reader send_text")
#   QUIB_FUZZ_BUILD  build folder (default build-fuzz)
#   QUIB_JOBS        parallel build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${QUIB_FUZZ_BUILD:-build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-5}
JOBS=${QUIB_JOBS:-2}

if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing (Debian: clang, libclang-rt-14-dev)"
  exit 1
fi
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DQUIB_FUZZ=ON -DQUIB_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIB_WERROR="${QUIB_WERROR:-ON}"
cmake --build "$BUILD" -j"$JOBS"

targets=${FUZZ_TARGETS:-$(ls tests/fuzz/fuzz_*.cpp | sed -E 's/.*fuzz_(.*)\.cpp/\1/')}
work=$(mktemp -d "${TMPDIR:-/tmp}/quib-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts="$ROOT/$BUILD/fuzz-artifacts"
rm -rf "$artifacts"

# Runs one target; its verdict goes to $work/verdict-<name>.
fuzz_one() {
  local name=$1
  local program="$ROOT/$BUILD/tests-bin/fuzz_$name"
  local corpus="$work/corpus-$name"
  local run="$work/run-$name"
  mkdir -p "$corpus" "$run" "$artifacts/$name"
  if [ -d "tests/fuzz/corpus/$name" ]; then cp tests/fuzz/corpus/"$name"/* "$corpus"/; fi
  # The command-line target may name this file as its message file.
  printf 'hello\n' >"$run/m"
  if (cd "$run" && "$program" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name/" "$corpus" \
        </dev/null >"$run/log" 2>&1); then
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$run/log")
    echo "ok fuzz_$name: ok, $runs executions in $SECONDS_EACH s" >"$work/verdict-$name"
  else
    { echo "FAILED fuzz_$name: FAILED; inputs kept in $artifacts/$name; end of its log:"
      grep -vE '^#[0-9]+' "$run/log" | tail -60 | sed 's/^/    /'; } >"$work/verdict-$name"
  fi
}

# One target per core at a time: each is a single process.
running=0
for name in $targets; do
  if [ "$running" -ge "$JOBS" ]; then
    wait -n
    running=$((running - 1))
  fi
  fuzz_one "$name" &
  running=$((running + 1))
done
wait

passed=0
failed=0
for name in $targets; do
  verdict=$(cat "$work/verdict-$name")
  echo "${verdict#* }"
  case $verdict in
    ok*) passed=$((passed + 1)) ;;
    *) failed=$((failed + 1)) ;;
  esac
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
