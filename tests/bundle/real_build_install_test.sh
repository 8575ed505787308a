#!/usr/bin/env bash
# real_build_install_test.sh <source-dir> <windows-build-dir>: configures a
# build against a made-up Flutter SDK (never compiled) and installs it: with
# the core's files missing the install must stop, name them and leave the
# prefix alone; with them it lays out the SDK's DLLs, the data and the core.
set -uo pipefail
source=$(cd "${1:?usage: real_build_install_test.sh <source-dir> <build-dir>}" && pwd)
scratch="$(cd "${2:?}" && pwd)/bundle-real-test"
build="$scratch/build" prefix="$scratch/prefix" sdk="$scratch/sdk"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$scratch"
mkdir -p "$sdk/data/flutter_assets" "$scratch/core-partial" "$scratch/core-full" "$prefix"
plugins=(app_links_plugin audioplayers_windows_plugin connectivity_plus_plugin
         file_selector_windows_plugin url_launcher_windows_plugin)
libraries=$(printf "$sdk/%s.lib;" "${plugins[@]}")
for name in flutter_windows.dll flutter_windows.dll.lib "${plugins[@]/%/.dll}" "${plugins[@]/%/.lib}" \
            data/icudtl.dat data/flutter_assets/AssetManifest.json; do echo x > "$sdk/$name"; done
touch "$scratch/core-partial/sing-box.exe" "$scratch/core-full/sing-box.exe" "$scratch/core-full/wintun.dll"
echo old > "$prefix/Tovix.exe.debug"
configure() {
  cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" \
    -DTOVIX_BUILD_TESTS=OFF -DTOVIX_FLUTTER_LIBRARY="$sdk/flutter_windows.dll.lib" \
    -DTOVIX_PLUGIN_LIBRARIES="${libraries%;}" -DTOVIX_FLUTTER_DATA="$sdk/data" -DTOVIX_CORE_DIR="$1" >/dev/null \
    || fail "configure with core folder '$1'"
  # The programs themselves are not what this test is about: stand in for the build.
  mkdir -p "$build/bin" && touch "$build/bin/Tovix.exe" "$build/bin/TovixService.exe" "$build/bin/TovixDnsGuard.exe"
}

# core folder | files the message must name | files it must not name
for row in "|sing-box.exe wintun.dll|" "$scratch/core-partial|wintun.dll|sing-box.exe"; do
  IFS='|' read -r core named unnamed <<<"$row"
  configure "$core"
  message=$(cmake --install "$build" --prefix "$prefix" 2>&1) && fail "install with core folder '$core' succeeded"
  for name in $named; do
    grep -qF "$name" <<<"$message" || fail "install with core folder '$core' does not name $name: $message"
  done
  for name in $unnamed; do
    ! grep -qF "$name" <<<"$message" || fail "install with core folder '$core' names $name, which is there"
  done
  [ -f "$prefix/Tovix.exe.debug" ] && [ ! -e "$prefix/Tovix.exe" ] || fail "a failed install changed the prefix"
done

configure "$scratch/core-full"
cmake --install "$build" --prefix "$prefix" >/dev/null 2>&1 || fail "install with every input present failed"
for file in Tovix.exe TovixService.exe TovixDnsGuard.exe flutter_windows.dll "${plugins[@]/%/.dll}" bin/sing-box.exe bin/wintun.dll \
            data/icudtl.dat data/flutter_assets/AssetManifest.json; do
  [ -f "$prefix/$file" ] || fail "the real bundle lacks $file"
done
[ "$failures" -eq 0 ] || exit 1
rm -rf "$scratch"
