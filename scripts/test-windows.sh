#!/usr/bin/env bash
# Cross-builds quib.exe and gensock.dll for 64-bit Windows with mingw-w64
# (build folder build-win) and runs the end-to-end cases that both builds
# share under Wine, in a throwaway Wine prefix.
#
# Needs: cmake, make, g++-mingw-w64-x86-64, wine, wine64, python3-aiosmtpd.
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

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/quib-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "initialising Wine prefix $WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -w
# One server for the whole run: each wine start is then cheap.
wineserver -p

echo "quib.exe -h under Wine:"
status=0
wine "$BUILD/bin/quib.exe" -h | grep -m1 "^Quib v" || true
wine "$BUILD/bin/quib.exe" -h -q || status=$?
[ "$status" -eq 1 ] || { echo "expected status 1, got $status" >&2; exit 1; }

# The shared cases. Left out: what only POSIX has (the registry folder that
# QUIB_REGISTRY names, TMPDIR, devices, FIFOs and /sys files).
CASES=(
  test_command_line.CommandLineTest
  test_command_line.StoredValueTest
  test_run_driver.MessageFiles
  test_run_driver.Addresses
  test_run_driver.Refusals
  test_socket_library
  test_shared_cases
  test_faults
)
cd "$ROOT/tests/e2e"
QUIB_RUNNER=wine QUIB_BIN_DIR="$BUILD/bin" PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m unittest -v "${CASES[@]}"
