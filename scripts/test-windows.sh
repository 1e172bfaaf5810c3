#!/usr/bin/env bash
# Cross-builds quib.exe and gensock.dll for 64-bit Windows with mingw-w64
# (build folder build-win) and runs the end-to-end cases that both builds
# share under Wine, in a throwaway Wine prefix.
#
# Needs: cmake, make, g++-mingw-w64-x86-64, wine, wine64, python3-aiosmtpd,
# nlohmann-json3-dev, python3-cryptography.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$ROOT/build-win
MINGW=x86_64-w64-mingw32

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIB_BUILD_TESTS=OFF -DQUIB_WERROR="${QUIB_WERROR:-ON}"
cmake --build "$BUILD" -j"${QUIB_JOBS:-2}"

# Both files must run on a bare Windows: system DLLs only, no mingw runtime;
# TLS (SChannel: secur32, crypt32) only in the library.
for file in quib.exe gensock.dll; do
  allowed="kernel32|advapi32|msvcrt|ws2_32"
  [ "$file" = gensock.dll ] && allowed="$allowed|secur32|crypt32"
  imports=$("$MINGW-objdump" -p "$BUILD/bin/$file" | sed -n 's/^\s*DLL Name: //p')
  echo "$file imports: $(echo $imports)"
  if grep -viqE "^($allowed)\.dll$" <<<"$imports"; then
    echo "$file needs a DLL that Windows does not bring" >&2
    exit 1
  fi
done

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts
PREFIXES=()
cleanup() {
  for prefix in "${PREFIXES[@]}"; do
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
  done
}
trap cleanup EXIT

# A throwaway Wine prefix with its own server, kept running so that each
# wine start is cheap.
init_prefix() {
  WINEPREFIX=$1 wineboot -i >/dev/null 2>&1
  WINEPREFIX=$1 wineserver -w
  WINEPREFIX=$1 wineserver -p
}

echo "initialising two Wine prefixes"
FIRST=$(mktemp -d /tmp/quib-wine.XXXXXX)
SECOND=$(mktemp -d /tmp/quib-wine.XXXXXX)
PREFIXES=("$FIRST" "$SECOND")
init_prefix "$FIRST" &
init_second=$!
init_prefix "$SECOND"
wait "$init_second"
export WINEPREFIX=$FIRST

echo "quib.exe -h under Wine:"
status=0
wine "$BUILD/bin/quib.exe" -h | grep -m1 "^Quib v" || true
wine "$BUILD/bin/quib.exe" -h -q || status=$?
[ "$status" -eq 1 ] || { echo "expected status 1, got $status" >&2; exit 1; }

# The shared cases, in two groups that run side by side, each in a prefix
# (and so a registry) of its own. Left out: what only POSIX has (the
# registry folder that QUIB_REGISTRY names, TMPDIR, devices, FIFOs and /sys
# files).
GROUP_ONE=(
  test_command_line.CommandLineTest
  test_oauth.Grants.test_each_grant_sends_and_caches_its_token
  test_queue
)
# StoredValueTest resets the prefix's registry, the trusted test authority
# of test_socket_library's TLS cases included: it goes last.
GROUP_TWO=(
  test_socket_library
  test_shared_cases
  test_run_driver.MessageFiles
  test_run_driver.Addresses
  test_run_driver.Refusals
  test_run_driver.RunLog
  test_faults
  test_command_line.StoredValueTest
)
cd "$ROOT/tests/e2e"
LOGS=$(mktemp -d /tmp/quib-wine-logs.XXXXXX)
run_group() {
  WINEPREFIX=$1 QUIB_RUNNER=wine QUIB_BIN_DIR="$BUILD/bin" PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m unittest -v "${@:3}" >"$LOGS/$2" 2>&1
}
run_group "$FIRST" one "${GROUP_ONE[@]}" &
first=$!
run_group "$SECOND" two "${GROUP_TWO[@]}" &
second=$!
status=0
wait "$first" || status=1
wait "$second" || status=1
cat "$LOGS/one" "$LOGS/two"
rm -rf "$LOGS"
exit "$status"
