#!/usr/bin/env bash
# The quib benchmark: builds a release quib, installs the tools it is
# compared with, and measures it against them on a local smtp-sink.
# See bench/README.md. Environment:
#   BENCH_QUICK=1        8 MiB instead of 64 MiB and fewer runs (about a minute)
#   BENCH_BUILD_DIR=...  build folder (default: build-bench in the source tree)
#   BENCH_WORK=...       inputs (cached) and report (default: bench/out)
#   BENCH_ONLY=a,b       only these sections: plain,tls,mime,encoder,small,login,oauth,flood,growth,attach
#   BENCH_REPS=N, BENCH_SMALL_RUNS=N, BENCH_LOGIN_RUNS=N   override the run counts
#   BENCH_NO_INSTALL=1   never call apt-get
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${BENCH_BUILD_DIR:-$ROOT/build-bench}"
WORK="${BENCH_WORK:-$ROOT/bench/out}"

# The Debian packages of the tools this benchmark runs (smtp-sink comes
# with postfix) and of what it builds with.
PACKAGES=(postfix msmtp curl openssl libssl-dev cmake g++ make libbenchmark-dev python3 python3-aiosmtpd
  nlohmann-json3-dev libcurl4-openssl-dev libcurl4 python3-cryptography python3-matplotlib)
CHECK_ONLY="${BENCH_NO_INSTALL:-0}" bash "$ROOT/scripts/install-deps.sh" "${PACKAGES[@]}"

echo "bench: building release quib in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUIB_BENCH=ON -DQUIB_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target quib gensock qp_encode_bench base64_encode_bench bench_rawsmtp >/dev/null

args=(--bin "$BUILD/bin" --work "$WORK")
[ "${BENCH_QUICK:-0}" = 1 ] && args+=(--quick)
[ -n "${BENCH_ONLY:-}" ] && args+=(--only "$BENCH_ONLY")
exec /usr/bin/python3 "$ROOT/bench/bench.py" "${args[@]}"
