#!/usr/bin/env bash
# Builds the stack tests' further firmware into OUT, each with its stack files:
#   newlib/        calls into newlib (nano), whose functions have no stack files
#   clang/         the stack test's sources built by Clang (its .su files, no call graph)
#   layout-make/   a library built in a folder of its own, its archive in the folder above
#   layout-cmake/  the same as CMake lays it out (CMakeFiles/NAME.dir/FILE.c.o, FILE.c.su)
#   threads/       Zephyr-style and FreeRTOS-style static thread tables
#   esp/           an ESP8266-style image (Xtensa): no vector table, ENTRY(call_user_start)
# Usage: build.sh OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
out=$1
arm=(-mcpu=cortex-m4 -mthumb -O1 -fno-inline -fno-optimize-sibling-calls -fno-ipa-icf -ffunction-sections -g0)
stack=(-fstack-usage -fcallgraph-info=su)
link=(-nostartfiles -T "$top/stack.ld" -Wl,--gc-sections -Wl,--defsym=STACK_SIZE=0x800)

mkdir -p "$out/newlib" && cd "$out/newlib"
for unit in startup_min libc_app; do arm-none-eabi-gcc "${arm[@]}" "${stack[@]}" -c "$here/$unit.c" -o "$unit.o"; done
arm-none-eabi-gcc "${arm[@]}" --specs=nano.specs "${link[@]}" -Wl,-Map=firmware.map startup_min.o libc_app.o \
    -lc -lgcc -o firmware.elf

mkdir -p "$out/clang" && cd "$out/clang"
for unit in startup app proto; do
    clang --target=arm-none-eabi -mcpu=cortex-m4 -mthumb -O1 -fno-inline -fno-optimize-sibling-calls \
        -ffunction-sections -fstack-usage -c "$top/$unit.c" -o "$unit.o"
done
arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -nostartfiles -nostdlib -T "$top/stack.ld" -Wl,--gc-sections \
    -Wl,--defsym=STACK_SIZE=0x800 -Wl,-Map=firmware.map -Wl,--undefined=worker_thread startup.o app.o proto.o \
    -o firmware.elf

mkdir -p "$out/layout-make/out/app" "$out/layout-make/out/middleware/ring" && cd "$out/layout-make"
for unit in startup_min app_ring; do arm-none-eabi-gcc "${arm[@]}" "${stack[@]}" -c "$here/$unit.c" -o "out/app/$unit.o"; done
arm-none-eabi-gcc "${arm[@]}" "${stack[@]}" -c "$here/ring/ring.c" -o out/middleware/ring/ring.o
rm -f out/middleware/libring.a && arm-none-eabi-ar rcs out/middleware/libring.a out/middleware/ring/ring.o
arm-none-eabi-gcc "${arm[@]}" -nostdlib "${link[@]}" -Wl,-Map=out/firmware.map out/app/startup_min.o out/app/app_ring.o \
    out/middleware/libring.a -o out/firmware.elf

mkdir -p "$out/layout-cmake/build/CMakeFiles/app.dir" "$out/layout-cmake/build/CMakeFiles/ring.dir/ring" && cd "$out/layout-cmake/build"
for unit in startup_min app_ring; do
    arm-none-eabi-gcc "${arm[@]}" "${stack[@]}" -c "$here/$unit.c" -o "CMakeFiles/app.dir/$unit.c.o"
done
arm-none-eabi-gcc "${arm[@]}" "${stack[@]}" -c "$here/ring/ring.c" -o CMakeFiles/ring.dir/ring/ring.c.o
rm -f libring.a && arm-none-eabi-ar rcs libring.a CMakeFiles/ring.dir/ring/ring.c.o
arm-none-eabi-gcc "${arm[@]}" -nostdlib "${link[@]}" -Wl,-Map=firmware.map CMakeFiles/app.dir/startup_min.c.o \
    CMakeFiles/app.dir/app_ring.c.o libring.a -o firmware.elf

mkdir -p "$out/threads" && cd "$out/threads"
for unit in startup_min threads; do arm-none-eabi-gcc "${arm[@]}" "${stack[@]}" -c "$here/$unit.c" -o "$unit.o"; done
arm-none-eabi-gcc "${arm[@]}" -nostdlib -nostartfiles -T "$top/stack.ld" -Wl,--defsym=STACK_SIZE=0x800 \
    -Wl,-Map=firmware.map startup_min.o threads.o -o firmware.elf

mkdir -p "$out/esp" && cd "$out/esp"
xtensa-lx106-elf-gcc -O1 -fno-inline -ffunction-sections "${stack[@]}" -c "$here/esp.c" -o esp.o
xtensa-lx106-elf-gcc -nostdlib -T "$here/esp.ld" -Wl,-Map=firmware.map esp.o -o firmware.elf
