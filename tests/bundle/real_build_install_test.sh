#!/usr/bin/env bash
# real_build_install_test.sh <source-dir> <windows-build-dir>: configures a
# build against a made-up Flutter SDK (TOVIX_FLUTTER_LIBRARY and friends; it
# is never compiled) and installs it: without the core's files the install
# must stop, name what is missing and leave the prefix alone; with them it
# lays out the real DLLs, data and core.
set -uo pipefail
source=$(cd "${1:?usage: real_build_install_test.sh <source-dir> <build-dir>}" && pwd)
scratch="$(cd "${2:?}" && pwd)/bundle-real-test"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$scratch"
sdk="$scratch/sdk"
mkdir -p "$sdk/data/flutter_assets" "$scratch/core-partial" "$scratch/core-full"
plugins=(app_links_plugin audioplayers_windows_plugin connectivity_plus_plugin
         file_selector_windows_plugin url_launcher_windows_plugin)
libraries=""
for name in flutter_windows.dll "${plugins[@]/%/.dll}"; do echo "real $name" > "$sdk/$name"; done
for name in "${plugins[@]}"; do touch "$sdk/$name.lib"; libraries+="${libraries:+;}$sdk/$name.lib"; done
touch "$sdk/flutter_windows.dll.lib"
echo assets > "$sdk/data/flutter_assets/AssetManifest.json"
echo icu > "$sdk/data/icudtl.dat"
echo core > "$scratch/core-partial/sing-box.exe"
echo core > "$scratch/core-full/sing-box.exe"
echo driver > "$scratch/core-full/wintun.dll"

build="$scratch/build"
configure() {
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" \
    -DTOVIX_BUILD_TESTS=OFF -DTOVIX_FLUTTER_LIBRARY="$sdk/flutter_windows.dll.lib" \
    -DTOVIX_PLUGIN_LIBRARIES="$libraries" -DTOVIX_FLUTTER_DATA="$sdk/data" -DTOVIX_CORE_DIR="$1" >/dev/null
}
configure "" || { echo "FAIL: configure"; exit 1; }
# Tovix.exe itself is not what this test is about: stand in for the build.
mkdir -p "$build/bin" && echo host > "$build/bin/Tovix.exe"

prefix="$scratch/prefix"
mkdir -p "$prefix" && echo old > "$prefix/Tovix.exe.debug"

# core folder | files the message must name | files it must not name
cases=(
  "|sing-box.exe wintun.dll|"
  "$scratch/core-partial|wintun.dll|sing-box.exe"
)
for row in "${cases[@]}"; do
  IFS='|' read -r core named unnamed <<<"$row"
  configure "$core" || fail "configure with core folder '$core'"
  message=$(cmake --install "$build" --prefix "$prefix" 2>&1) && fail "install with core folder '$core' succeeded"
  grep -q "missing" <<<"$message" || fail "install with core folder '$core' gives no missing list: $message"
  for name in $named; do
    grep -qF "$name" <<<"$message" || fail "install with core folder '$core' does not name $name: $message"
  done
  for name in $unnamed; do
    ! grep -qF "$name" <<<"$message" || fail "install with core folder '$core' names $name, which is there"
  done
  [ -f "$prefix/Tovix.exe.debug" ] && [ ! -e "$prefix/Tovix.exe" ] \
    || fail "a failed install with core folder '$core' changed the prefix"
done

configure "$scratch/core-full" || fail "configure with the full core folder"
cmake --install "$build" --prefix "$prefix" >/dev/null 2>&1 || fail "install with every input present failed"
for file in Tovix.exe flutter_windows.dll "${plugins[@]/%/.dll}" bin/sing-box.exe bin/wintun.dll \
            data/icudtl.dat data/flutter_assets/AssetManifest.json; do
  [ -f "$prefix/$file" ] || fail "the real bundle lacks $file"
done
grep -qx "real flutter_windows.dll" "$prefix/flutter_windows.dll" 2>/dev/null \
  || fail "the embedder is not the one beside TOVIX_FLUTTER_LIBRARY"
[ ! -e "$prefix/data/app.so" ] || fail "an app.so appeared that the Flutter build does not have"
[ ! -e "$prefix/Tovix.exe.debug" ] || fail "the old debug file was left"

[ "$failures" -eq 0 ] || exit 1
rm -rf "$scratch"
