#!/usr/bin/env bash
# Builds the stack test's firmware into OUT: objects with their .su and .ci files, the library
# archive, and two links of the same objects, one with a roomy stack and one with a tight one.
# Usage: build.sh OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out/build"
cd "$out/build"
flags=(-mcpu=cortex-m4 -mthumb -O1 -fno-inline -fno-optimize-sibling-calls -fno-ipa-icf -ffunction-sections
       -fstack-usage -fcallgraph-info=su -g0)
for unit in startup app proto; do
    arm-none-eabi-gcc "${flags[@]}" -c "$here/$unit.c" -o "$unit.o"
done
arm-none-eabi-ar rcs libproto.a proto.o
for link in roomy:0x800 tight:0x40; do
    name=${link%%:*}
    arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -nostartfiles -nostdlib -T "$here/stack.ld" -Wl,--gc-sections \
        -Wl,--defsym=STACK_SIZE=${link#*:} -Wl,-Map="$name.map" -Wl,--undefined=worker_thread \
        startup.o app.o -L. -lproto -o "$name.elf"
done
