#!/usr/bin/env bash
# Builds everything and runs every test: the Windows build under Wine (with
# a clang compile of the product sources and the installed bundle), then the
# native build under AddressSanitizer/UndefinedBehaviorSanitizer with the
# fuzzers. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TOVIX_BUILD_DIR:-$root/build}
jobs=${TOVIX_JOBS:-2}

"$root/tools/install-deps.sh"

# Windows build, tested under Wine in the build's own prefix.
cmake -S "$root" -B "$build/windows" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/windows" -j "$jobs"
# A second compiler: clang compiles the product sources for the same target
# (compile only, warnings as errors); see cmake/TovixClangCheck.cmake.
cmake --build "$build/windows" -j "$jobs" --target clang_check
# The MSI (cmake/TovixMsi.cmake), which the tests install under Wine.
cmake --build "$build/windows" -j "$jobs" --target msi
export WINEPREFIX="$build/windows/wine"
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
trap 'WINEPREFIX="$build/windows/wine" wineserver -k 2>/dev/null || true' EXIT
ctest --test-dir "$build/windows" -j "$jobs" --output-on-failure

# Native build of the code that touches no Windows API, with sanitizers and
# the fuzz runs.
cmake -S "$root" -B "$build/native" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DTOVIX_SANITIZE=ON -DTOVIX_FUZZ=ON >/dev/null
cmake --build "$build/native" -j "$jobs"
ctest --test-dir "$build/native" -j "$jobs" --output-on-failure
echo "all tests passed"
