#!/usr/bin/env bash
# Builds the two packages of Quib into dist/:
#   quib_<version>_amd64.deb   Debian package, from a Release build (build-pkg)
#   quib-<version>-win64.zip   quib.exe, gensock.dll and README.txt, from the
#                              mingw-w64 cross build (build-pkg-win)
# The version is the project version in CMakeLists.txt. Installs what the
# machine lacks from Debian's packages.
#   QUIB_JOBS    parallel build jobs (default 2)
#   QUIB_WERROR  ON makes warnings errors (the test stage sets it)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${QUIB_JOBS:-2}
DIST=$ROOT/dist

bash scripts/install-deps.sh cmake g++ make libssl-dev dpkg-dev file g++-mingw-w64-x86-64

rm -rf "$DIST"
mkdir -p "$DIST"
package() {
  local build=$1 generator=$2; shift 2
  cmake -S "$ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUIB_BUILD_TESTS=OFF \
    -DQUIB_WERROR="${QUIB_WERROR:-OFF}" "$@"
  cmake --build "$build" -j"$JOBS"
  rm -rf "$build/packages"
  (cd "$build" && cpack -G "$generator" -B "$build/packages")
  cp "$build"/packages/quib[-_]*.* "$DIST"/
}
package "$ROOT/build-pkg" DEB
package "$ROOT/build-pkg-win" ZIP -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake"

echo "packages in $DIST:"
ls -l "$DIST"
