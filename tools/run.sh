#!/usr/bin/env bash
# Builds the host and runs a demo session of Tovix.exe under Wine with the
# stand-ins. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOVIX_BUILD_DIR:-$root/build}
"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build/windows" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/windows" -j "${TOVIX_JOBS:-2}"
exec "$root/tools/demo.sh" "$build/windows"
