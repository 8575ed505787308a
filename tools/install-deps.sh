#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine, and nothing
# when it is all there already. Runs apt-get as root (or through sudo).
set -euo pipefail

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-windres >/dev/null || need+=(binutils-mingw-w64-x86-64)
command -v wine >/dev/null || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v clang++ >/dev/null || need+=(clang)
[ -d /usr/src/googletest/googletest ] || need+=(googletest)
# libFuzzer and the sanitizer runtimes for the native build
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || need+=(libclang-rt-dev)
command -v flock >/dev/null || need+=(util-linux)
command -v ip >/dev/null || need+=(iproute2)
# The MSI: wixl builds it, msibuild (msitools) amends it.
command -v wixl >/dev/null || need+=(wixl)
command -v msibuild >/dev/null || need+=(msitools)

[ ${#need[@]} -eq 0 ] && exit 0

echo "installing: ${need[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${need[@]}" >/dev/null
