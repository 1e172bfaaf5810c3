#!/usr/bin/env bash
# Builds the two packages of Quib into dist/:
#   quib_<version>_amd64.deb   Debian package, from a Release build (build-pkg)
#   quib-<version>-win64.zip   quib.exe, gensock.dll, README.txt and
#                              LICENSE.txt, from the mingw-w64 cross build
#                              (build-pkg-win)
# The version is the project version in CMakeLists.txt. Installs what the
# machine lacks from Debian's packages.
#   QUIB_JOBS    parallel build jobs (default 2)
#   QUIB_WERROR  ON makes warnings errors (the test stage sets it)
#   QUIB_PACKAGE_FROM  "LINUX_BUILD WINDOWS_BUILD": build folders that the
#                test stages configured already; a folder that holds a
#                CMake cache is brought up to date and packaged instead of
#                making a Release build of its own (the test command's
#                package stage uses the unit and windows stages' builds)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=${QUIB_JOBS:-2}
DIST=$ROOT/dist

bash scripts/install-deps.sh cmake g++ make libssl-dev nlohmann-json3-dev libcurl4-openssl-dev dpkg-dev file g++-mingw-w64-x86-64

rm -rf "$DIST"
mkdir -p "$DIST"
read -r REUSE_LINUX REUSE_WINDOWS <<<"${QUIB_PACKAGE_FROM:-}"
package() {
  local build=$1 reuse=$2 generator=$3; shift 3
  if [ -n "$reuse" ] && [ -f "$reuse/CMakeCache.txt" ]; then
    build=$reuse
  else
    cmake -S "$ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUIB_BUILD_TESTS=OFF \
      -DQUIB_WERROR="${QUIB_WERROR:-OFF}" "$@"
  fi
  cmake --build "$build" -j"$JOBS"
  rm -rf "$build/packages"
  (cd "$build" && cpack -G "$generator" -B "$build/packages")
  cp "$build"/packages/quib[-_]*.* "$DIST"/
}
package "$ROOT/build-pkg" "${REUSE_LINUX:-}" DEB
package "$ROOT/build-pkg-win" "${REUSE_WINDOWS:-}" ZIP \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake"

echo "packages in $DIST:"
ls -l "$DIST"
