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
for header in quorixsdk.h quorixsdk_codes.h quorixsdk_container.h; do
  test -f "$tmp/prefix/include/quorixsdk/$header" || { echo "no $header"; exit 1; }
done

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

# A program that knows only the installed container header walks the same recording: the
# header's counts, then every frame record from the data offset to the index, whose entries
# must point at key-frame records. 25 frames were asked for, one of them a key frame at least.
cat >"$tmp/walk.c" <<'C'
#include <quorixsdk_container.h>
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char** argv) {
    FILE* f = argc > 1 ? fopen(argv[1], "rb") : NULL;
    static uint8_t data[64 << 20];
    size_t size = f ? fread(data, 1, sizeof data, f) : 0;
    if (size < QUORIX_FILE_HEADER_SIZE || memcmp(data, QUORIX_FILE_MAGIC, 4) != 0) return 10;
    uint32_t offset = quorix_load_le32(data + QUORIX_FILE_HEADER_DATA_OFFSET);
    uint32_t index = quorix_load_le32(data + QUORIX_FILE_HEADER_INDEX_OFFSET);
    uint32_t frames = quorix_load_le32(data + QUORIX_FILE_HEADER_FRAME_COUNT);
    uint32_t entries = quorix_load_le32(data + QUORIX_FILE_HEADER_INDEX_COUNT);
    uint32_t video = 0, keys = 0;
    while (offset + QUORIX_RECORD_SIZE <= index) {
        const uint8_t* r = data + offset;
        if (quorix_load_le16(r + QUORIX_RECORD_MAGIC) != QUORIX_RECORD_MAGIC_PLAIN) return 11;
        uint8_t kind = r[QUORIX_RECORD_TYPE] & QUORIX_RECORD_KIND_MASK;
        if (kind == QUORIX_KIND_KEY || kind == QUORIX_KIND_DELTA) {
            ++video;
            if (quorix_load_le16(r + QUORIX_RECORD_VIDEO_WIDTH) == 0) return 12;
        }
        keys += kind == QUORIX_KIND_KEY;
        offset += QUORIX_RECORD_SIZE + quorix_load_le32(r + QUORIX_RECORD_PAYLOAD_LENGTH);
    }
    if (offset != index || index + entries * QUORIX_INDEX_ENTRY_SIZE != size) return 13;
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t at = quorix_load_le32(data + index + i * QUORIX_INDEX_ENTRY_SIZE + QUORIX_INDEX_ENTRY_OFFSET);
        if ((data[at + QUORIX_RECORD_TYPE] & QUORIX_RECORD_KIND_MASK) != QUORIX_KIND_KEY) return 14;
    }
    printf("%u %u %u %u\n", frames, video, keys, entries);
    return fclose(f) == 0 ? 0 : 15;
}
C
cc -std=c11 -Wall -Wextra -Werror -I"$tmp/prefix/include/quorixsdk" "$tmp/walk.c" -o "$tmp/walk"
walked="$("$tmp/walk" "$tmp/n.zbm")" || { echo "the container walk failed: $?"; exit 1; }
read -r frames video keys entries <<<"$walked"
[ "$frames" -eq 25 ] && [ "$video" -eq 25 ] && [ "$keys" -ge 1 ] && [ "$entries" -eq "$keys" ] ||
  { echo "container walk: header frames $frames, video records $video, key frames $keys, index $entries"; exit 1; }

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
