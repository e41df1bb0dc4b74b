#!/usr/bin/env bash
# Builds the source-view test's firmware into OUT/VARIANT for each debug variant: dwarf4, dwarf5
# and dwarf5 with compressed debug sections (-gz). Sources in several folders, one library
# archive, one file built without -g. The sources are compiled from the folder above app/, so
# the debug information names them relative to it.
# Usage: build.sh OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
base=(-mcpu=cortex-m4 -mthumb -O1 -ffunction-sections -fdata-sections)
for variant in dwarf4:-gdwarf-4 dwarf5:-gdwarf-5 dwarf5-gz:-gdwarf-5:-gz; do
    name=${variant%%:*}
    IFS=: read -r -a debug <<< "${variant#*:}"
    dir="$out/$name"
    mkdir -p "$dir/obj"
    (cd "$here" && for unit in app/main drivers/uart/uart drivers/spi/spi lib/crc/crc startup; do
        arm-none-eabi-gcc "${base[@]}" -g "${debug[@]}" -c "$unit.c" -o "$dir/obj/$(basename "$unit").o"
    done
    arm-none-eabi-gcc "${base[@]}" -g0 -c vendor/blob.c -o "$dir/obj/blob.o")
    (cd "$dir/obj" && rm -f libcrc.a && arm-none-eabi-ar rcs libcrc.a crc.o)
    compress=()
    [ "$name" = dwarf5-gz ] && compress=(-Wl,--compress-debug-sections=zlib)
    (cd "$dir/obj" && arm-none-eabi-gcc "${base[@]}" -nostartfiles -nostdlib -T "$here/../stack_firmware/stack.ld" \
        -Wl,--defsym=STACK_SIZE=0x400 -Wl,-Map=../firmware.map "${compress[@]}" \
        startup.o main.o uart.o spi.o blob.o -L. -lcrc -o ../firmware.elf)
done
