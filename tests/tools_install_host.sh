#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds examples/host.c against it twice: with
# pkg-config and with the CMake package. The host must then load the installed library.
#   tools_install_host.sh BUILD_DIR SOURCE_DIR [EXTRA_CFLAGS [EXTRA_SOURCE]]
# EXTRA_SOURCE is built into the host and may replace dlclose (leak-checking builds).
set -euo pipefail
build="$1"
source="$2"
extra="${3:-}"
extra_source="${4:-}"
extra_libs=()
if [ -n "$extra_source" ]; then
  extra_libs=(-ldl -Wl,--export-dynamic-symbol=dlclose)
fi
tmp="$(mktemp -d "${TMPDIR:-/tmp}/quorix-install-XXXXXX")"
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
libdir="$(dirname "$(find "$tmp/prefix" -name quorixsdk.pc)")/.."
test -L "$libdir/libquorixsdk.so" || { echo "no development link"; exit 1; }
test -L "$libdir/libquorixsdk.so.0" || { echo "no SONAME link"; exit 1; }
test -f "$libdir/quorixsdk.ini" || { echo "no quorixsdk.ini beside the library"; exit 1; }
test -f "$tmp/prefix/include/quorixsdk/quorixsdk.h" || { echo "no header"; exit 1; }

export PKG_CONFIG_PATH="$libdir/pkgconfig"
test "$(pkg-config --modversion quorixsdk)" = "$(sed -n 's/^project(quorixsdk VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")"
cc -std=c11 -Wall -Wextra -Werror $extra "$source/examples/host.c" $extra_source $(pkg-config --cflags --libs quorixsdk) \
   -lpthread "${extra_libs[@]}" -Wl,-rpath,"$(cd "$libdir" && pwd)" -o "$tmp/host"
# Without arguments the host prints its usage: the library was found and loaded.
set +e
"$tmp/host" >/dev/null 2>&1
rc=$?
set -e
[ "$rc" -eq 2 ] || { echo "host exited with $rc"; exit 1; }

# And it plays a short recording through the installed library to its end.
"$build/tools/quorix-mux" --quiet --synthetic normal --frames 25 "$tmp/n.zbm"
QUORIX_AUDIO_DEVICE=null "$tmp/host" "$tmp/n.zbm" "$tmp/snap.jpg" >"$tmp/host.log" 2>&1 || { cat "$tmp/host.log"; exit 1; }
grep -q "end of file" "$tmp/host.log" || { cat "$tmp/host.log"; exit 1; }

mkdir "$tmp/cm"
cat >"$tmp/cm/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(host C)
find_package(quorixsdk 0.1 REQUIRED)
find_package(Threads REQUIRED)
add_executable(host "$source/examples/host.c" $extra_source)
target_link_libraries(host PRIVATE quorixsdk::quorixsdk Threads::Threads ${extra_libs[*]})
CMAKE
cmake -S "$tmp/cm" -B "$tmp/cm/build" -DCMAKE_PREFIX_PATH="$tmp/prefix" -DCMAKE_C_FLAGS="$extra" >/dev/null
cmake --build "$tmp/cm/build" >/dev/null
set +e
"$tmp/cm/build/host" >/dev/null 2>&1
rc=$?
set -e
[ "$rc" -eq 2 ] || { echo "CMake-built host exited with $rc"; exit 1; }
echo "installed package builds and loads examples/host.c"
