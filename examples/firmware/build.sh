#!/usr/bin/env bash
# Rebuilds the example firmware, its map files and ELF files with Debian's gcc-arm-none-eabi
# and lld:
#   apt-get install gcc-arm-none-eabi libnewlib-arm-none-eabi lld
# The committed maps, ELFs and `nm -S` listings are the output of this script; tests read
# them, they never rebuild.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/maps"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# -fstack-usage and -fcallgraph-info=su write each object's stack files (.su, .ci), kept in stack/
cflags=(-mcpu=cortex-m4 -mthumb -Os -ffunction-sections -fdata-sections -g0 -Wall -fstack-usage -fcallgraph-info=su)
arm-none-eabi-gcc "${cflags[@]}" -c "$here/lib/sensor.c" -o "$work/sensor.o"
arm-none-eabi-gcc "${cflags[@]}" -c "$here/lib/filter.c" -o "$work/filter.o"
arm-none-eabi-ar rcs "$work/libsensor.a" "$work/sensor.o" "$work/filter.o"

link() {  # link NAME EXTRA_CFLAGS... -- EXTRA_LDFLAGS...
    local name=$1; shift
    local extra_c=() extra_ld=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do extra_c+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    extra_ld=("$@")
    (cd "$work" && arm-none-eabi-gcc "${cflags[@]}" "${extra_c[@]}" -c "$here/src/main.c" -o main.o \
        && arm-none-eabi-gcc "${cflags[@]}" -c "$here/src/startup.c" -o startup.o \
        && arm-none-eabi-gcc "${cflags[@]}" -nostartfiles -T "$here/firmware.ld" \
             -Wl,--gc-sections -Wl,-Map="$out/$name.map" "${extra_ld[@]}" \
             main.o startup.o -L. -lsensor -o "$name.elf") \
        && cp "$work/$name.elf" "$out/$name.elf" && arm-none-eabi-nm -S "$work/$name.elf" > "$out/$name.nm.txt"
}

# GNU ld, with its own region table to check figures against.
link gnu_ld -- -Wl,--print-memory-usage > "$out/gnu_ld.memory-usage.txt"
# The same build linked with lld.
mkdir -p "$work/lld"
ln -sf "$(command -v ld.lld)" "$work/lld/ld.lld"
link llvm_lld -- -B"$work/lld" -fuse-ld=lld -Wl,-z,max-page-size=4096
# A build whose frame buffer no longer fits in RAM; --noinhibit-exec keeps its map.
link gnu_ld_ram_overflow -DFRAME_BUFFER_BYTES=24576 -- -Wl,--noinhibit-exec \
    -Wl,--print-memory-usage > "$out/gnu_ld_ram_overflow.memory-usage.txt" 2>&1 || true

# The stack files of the first link's objects (the others differ in a global's size alone).
mkdir -p "$here/stack"
link gnu_ld -- >/dev/null
cp "$work"/*.su "$work"/*.ci "$here/stack/"
sed -i "s|$here/||g" "$here"/stack/*.su "$here"/stack/*.ci

# Keep the maps free of this machine's temporary folder.
sed -i "s|$work/||g; s|$work|.|g" "$out"/*.map
ls -l "$out"
