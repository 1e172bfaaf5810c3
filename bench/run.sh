#!/usr/bin/env bash
# The quib benchmark: builds a release quib, installs the tools it is
# compared with, and measures it against them on a local smtp-sink.
# See bench/README.md. Environment:
#   BENCH_QUICK=1        8 MiB instead of 64 MiB and fewer runs (about a minute)
#   BENCH_BUILD_DIR=...  build folder (default: build-bench in the source tree)
#   BENCH_WORK=...       inputs (cached) and report (default: bench/out)
#   BENCH_ONLY=a,b       only these sections: plain,tls,mime,encoder,small,growth
#   BENCH_REPS=N, BENCH_SMALL_RUNS=N   override the run counts
#   BENCH_NO_INSTALL=1   never call apt-get
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BENCH_BUILD_DIR:-$ROOT/build-bench}"
WORK="${BENCH_WORK:-$ROOT/bench/out}"

# Each tool this benchmark runs, and the Debian package that brings it.
TOOLS=(
  "/usr/sbin/smtp-sink postfix"
  "/usr/bin/msmtp msmtp"
  "/usr/bin/curl curl"
  "/usr/bin/openssl openssl"
  "/usr/include/openssl/ssl.h libssl-dev"
  "/usr/bin/cmake cmake"
  "/usr/include/benchmark/benchmark.h libbenchmark-dev"
)

install_missing() {
  local missing=()
  for entry in "${TOOLS[@]}"; do
    set -- $entry
    [ -e "$1" ] || missing+=("$2")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "${BENCH_NO_INSTALL:-0}" = 1 ]; then
    echo "bench: missing packages: ${missing[*]}" >&2
    exit 1
  fi
  echo "bench: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # postfix asks how to configure itself; a local-only setup is harmless and
  # the benchmark uses only its smtp-sink program.
  echo "postfix postfix/main_mailer_type select Local only" | debconf-set-selections
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing

echo "bench: building release quib in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUIB_BENCH=ON -DQUIB_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target quib gensock qp_encode_bench bench_rawsmtp >/dev/null

args=(--bin "$BUILD/bin" --work "$WORK")
[ "${BENCH_QUICK:-0}" = 1 ] && args+=(--quick)
[ -n "${BENCH_ONLY:-}" ] && args+=(--only "$BENCH_ONLY")
exec /usr/bin/python3 "$ROOT/bench/bench.py" "${args[@]}"
