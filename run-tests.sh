#!/bin/bash
# The whole test run: installs what is missing (as root, with apt-get), builds
# the native and the Windows build, and runs every test:
#   - the unit tests, natively and cross-compiled under Wine;
#   - the end-to-end tests of the real program on both builds (Wine + Xvfb);
#   - a bounded fuzzing run of the decoder.
# Usage: ./run-tests.sh            (build folders under ./build)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${VELKIN_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)

packages=(cmake ninja-build g++ googletest python3 openssl libssl-dev
          g++-mingw-w64-x86-64 wine64 xvfb clang libclang-rt-14-dev
          # Linux desktop: dialogs, window control, launcher checks, GLib's launcher
          zenity xdotool desktop-file-utils python3-gi gir1.2-glib-2.0
          # the open command's desktop path on Linux: opener, type database, X11
          xdg-utils shared-mime-info file libx11-6
          # the workspace window on Linux (GTK 3), and what its tests drive and read
          # it with: the accessibility bus and client, a GTK drag source, screenshots
          libgtk-3-0 dbus-daemon at-spi2-core gir1.2-atspi-2.0 gir1.2-gtk-3.0 imagemagick
          # the Debian package's dependencies and its check
          dpkg-dev lintian
          # readers of the workspace archives in tests
          tar libarchive-tools
          # full, read-only and loop-mounted volumes of the fault tests
          e2fsprogs util-linux
          # FAT32 sticks of the key drive tool's tests (through FUSE where the kernel has no FAT)
          dosfstools fusefat)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    echo "== installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "== native build"
cmake -S "$root" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DVELKIN_WINDOWS_BUILD_DIR="$build/windows" >/dev/null
cmake --build "$build/native" -j "$jobs"

echo "== Windows build"
cmake -S "$root" -B "$build/windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DVELKIN_NATIVE_BUILD_DIR="$build/native" >/dev/null
cmake --build "$build/windows" -j "$jobs"

echo "== Wine: virtual display and private prefix"
. "$root/tests/wine/wine-env.sh"
# The clean-up's own failures (nothing left to stop) must not change the result.
trap 'set +e; velkin_wine_cleanup' EXIT

status=0
echo "== native tests"
ctest --test-dir "$build/native" --output-on-failure -j "$jobs" || status=1
echo "== Windows tests under Wine"
ctest --test-dir "$build/windows" --output-on-failure -j "$jobs" || status=1

if [ -x "$root/tests/fuzz/run-fuzz.sh" ]; then
    echo "== fuzzing the decoder and the workspace's tar reader"
    "$root/tests/fuzz/run-fuzz.sh" "${VELKIN_FUZZ_SECONDS:-60}" "$build/fuzz" || status=1
fi

if [ $status -eq 0 ]; then echo "== all tests passed"; else echo "== some tests FAILED"; fi
exit $status
