#!/usr/bin/env bash
# Links the firmware of src/corners.c in the shapes GNU ld counts in its own way, and keeps per
# link the map, ld's --print-memory-usage table (and overflow messages), `nm -S` and
# `readelf -lW` of the ELF, and the ELF. The tests build them once per session. Needs
# gcc-arm-none-eabi and gcc-avr (see build.sh).
# Usage: corners.sh OUTPUT_FOLDER
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

keep() {  # keep NAME BINUTILS_PREFIX
    "${2}nm" -S "$work/$1.elf" > "$out/$1.nm.txt"
    "${2}readelf" -lW "$work/$1.elf" > "$out/$1.segments.txt"
    cp "$work/$1.elf" "$out/$1.elf"
}

arm() {  # arm NAME SCRIPT DEFINES... [-- LINK_FLAGS...]
    local name=$1 script=$2; shift 2
    local defines=() flags=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do defines+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    flags=("$@")
    local c=(-mcpu=cortex-m4 -mthumb -Os -g0 -ffunction-sections -fdata-sections)
    arm-none-eabi-gcc "${c[@]}" "${defines[@]}" -c "$here/src/corners.c" -o "$work/$name.o"
    arm-none-eabi-gcc "${c[@]}" -nostartfiles -nostdlib -T "$here/scripts/corners/$script" -Wl,--gc-sections \
        -Wl,-Map="$out/$name.map" -Wl,--print-memory-usage "${flags[@]}" "$work/$name.o" -o "$work/$name.elf" \
        > "$out/$name.memory-usage.txt" 2>&1
    keep "$name" arm-none-eabi-
}

arm arm-copy-laid-out copy.ld -DCOPY_ARRAYS
arm arm-at-address at-address.ld -DCONFIG_BLOCK
arm arm-zero-region zero.ld
arm arm-zero-region-overflow zero.ld -DCCM_BUFFER -- -Wl,--noinhibit-exec
arm arm-tls tls.ld -DTHREAD_LOCAL

# AVR: the version's address set on the command line; the section is an orphan of avr-gcc's
# script, which nothing refers to (so not collected as garbage: an orphan cannot be kept)
avr=(-mmcu=atmega328p -Os -g0 -ffunction-sections -fdata-sections)
avr-gcc "${avr[@]}" -DVERSION_BLOCK -c "$here/src/corners.c" -o "$work/avr-version.o"
avr-gcc "${avr[@]}" -Wl,--section-start=.version=0x7ffe -Wl,-Map="$out/avr-version.map" \
    -Wl,--print-memory-usage "$work/avr-version.o" -o "$work/avr-version.elf" > "$out/avr-version.memory-usage.txt"
keep avr-version avr-

sed -i "s|$work/||g" "$out"/*.map "$out"/*.memory-usage.txt
