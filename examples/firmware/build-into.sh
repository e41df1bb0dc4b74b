#!/usr/bin/env bash
# Builds the example firmware into a folder of its own, as a CI job builds each side of a pull
# request: `examples/firmware/build-into.sh out/pr` from the repository's root leaves
# out/pr/firmware.{map,elf}, the map naming its files as out/pr/main.o and so on.
# Needs Debian's gcc-arm-none-eabi and libnewlib-arm-none-eabi. Extra arguments go to the compiler.
set -euo pipefail
out=${1:?usage: build-into.sh OUT_FOLDER [CFLAGS...]}
shift
here=$(dirname "$0")
cflags=(-mcpu=cortex-m4 -mthumb -Os -ffunction-sections -fdata-sections -g0 "$@")
mkdir -p "$out"
arm-none-eabi-gcc "${cflags[@]}" -c "$here/src/main.c" -o "$out/main.o"
arm-none-eabi-gcc "${cflags[@]}" -c "$here/src/startup.c" -o "$out/startup.o"
arm-none-eabi-gcc "${cflags[@]}" -c "$here/lib/sensor.c" -o "$out/sensor.o"
arm-none-eabi-gcc "${cflags[@]}" -c "$here/lib/filter.c" -o "$out/filter.o"
rm -f "$out/libsensor.a"
arm-none-eabi-ar rcs "$out/libsensor.a" "$out/sensor.o" "$out/filter.o"
arm-none-eabi-gcc "${cflags[@]}" -nostartfiles -T "$here/firmware.ld" -Wl,--gc-sections \
    -Wl,-Map="$out/firmware.map" "$out/main.o" "$out/startup.o" "$out/libsensor.a" -o "$out/firmware.elf"
