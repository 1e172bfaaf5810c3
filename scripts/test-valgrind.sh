#!/usr/bin/env bash
# Runs the normally built quib under valgrind's memcheck on the success path
# and on each exit status (tests/e2e/valgrind_runs.py): any memory error or
# definite/indirect leak ends quib with status 99 and fails the run.
#   QUIB_VALGRIND_BUILD  build folder of a normal build (default build-test,
#                        the unit stage's; configured and built when needed)
#   QUIB_JOBS            parallel build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${QUIB_VALGRIND_BUILD:-build-test}
JOBS=${QUIB_JOBS:-2}

if ! command -v valgrind >/dev/null; then
  echo "valgrind is missing (Debian: valgrind)"
  exit 1
fi
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIB_WERROR="${QUIB_WERROR:-ON}"
cmake --build "$BUILD" -j"$JOBS" --target quib gensock

BIN_DIR="$(cd "$BUILD/bin" && pwd)"
cd tests/e2e
QUIB_BIN_DIR="$BIN_DIR" PYTHONDONTWRITEBYTECODE=1 \
  QUIB_RUNNER="valgrind --quiet --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=99" \
  /usr/bin/python3 -m unittest -v valgrind_runs
