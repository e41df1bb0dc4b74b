#!/usr/bin/env bash
# Builds the source-view test's firmware into OUT/VARIANT for each debug variant: dwarf4, dwarf5
# and dwarf5 with compressed debug sections (-gz). Sources in several folders, one library
# archive, one file built without -g. The sources are compiled from the folder above app/, so
# the debug information names them relative to it. Then OUT/lto (the same, with -flto: every
# function in the link-time unit), OUT/newlib (with a file that calls into newlib, linked with
# its libc_nano.a) and OUT/stabs (avr-gcc's plain -g: STABS).
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

dir="$out/lto"
mkdir -p "$dir/obj"
(cd "$here" && for unit in app/main drivers/uart/uart drivers/spi/spi lib/crc/crc startup; do
    arm-none-eabi-gcc "${base[@]}" -g -flto -c "$unit.c" -o "$dir/obj/$(basename "$unit").o"
done
arm-none-eabi-gcc "${base[@]}" -g0 -c vendor/blob.c -o "$dir/obj/blob.o")
(cd "$dir/obj" && arm-none-eabi-gcc "${base[@]}" -g -flto -nostartfiles -nostdlib -T "$here/../stack_firmware/stack.ld" \
    -Wl,--defsym=STACK_SIZE=0x400 -Wl,-Map=../firmware.map startup.o main.o uart.o spi.o crc.o blob.o -o ../firmware.elf)

dir="$out/newlib"
mkdir -p "$dir/obj"
(cd "$here" && for unit in app/main drivers/uart/uart drivers/spi/spi lib/crc/crc startup extra/uses_libc; do
    arm-none-eabi-gcc "${base[@]}" -g -c "$unit.c" -o "$dir/obj/$(basename "$unit").o"
done
arm-none-eabi-gcc "${base[@]}" -g0 -c vendor/blob.c -o "$dir/obj/blob.o")
(cd "$dir/obj" && arm-none-eabi-gcc "${base[@]}" --specs=nano.specs -nostartfiles -T "$here/../stack_firmware/stack.ld" \
    -Wl,--defsym=STACK_SIZE=0x400 -Wl,-Map=../firmware.map -Wl,--undefined=line_length startup.o main.o uart.o \
    spi.o crc.o blob.o uses_libc.o -lc -o ../firmware.elf)

dir="$out/stabs"
mkdir -p "$dir"
(cd "$here" && avr-gcc -mmcu=atmega328p -Os -g -c lib/crc/crc.c -o "$dir/crc.o" \
    && printf 'extern unsigned long crc32(const unsigned char *, unsigned long);\nint main(void) { return (int)crc32(0, 0); }\n' \
        | avr-gcc -mmcu=atmega328p -Os -g -x c -c - -o "$dir/main.o")
(cd "$dir" && avr-gcc -mmcu=atmega328p -Wl,-Map=firmware.map main.o crc.o -o firmware.elf)
