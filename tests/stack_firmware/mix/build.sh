#!/usr/bin/env bash
# Builds tests/stack_firmware/mix for several cores and optimisation levels into OUT/NAME, each
# with GCC's .su and .ci files: the machine code's frames and calls are checked against them.
# Usage: build.sh OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
stack=(-ffunction-sections -fstack-usage -fcallgraph-info=su)
arm() {  # name cpu optimisation [flags...]
    local name=$1 cpu=$2 level=$3; shift 3
    mkdir -p "$out/$name" && cd "$out/$name"
    for unit in mix table; do
        arm-none-eabi-gcc -mcpu="$cpu" -mthumb "-$level" "$@" "${stack[@]}" -c "$here/$unit.c" -o "$unit.o"
    done
    arm-none-eabi-gcc -mcpu="$cpu" -mthumb "$@" --specs=nano.specs -nostartfiles -Wl,--entry=main mix.o table.o \
        -lc -lgcc -o mix.elf
}
riscv() {  # name march mabi optimisation [flags...]
    local name=$1 march=$2 mabi=$3 level=$4; shift 4
    mkdir -p "$out/$name" && cd "$out/$name"
    for unit in mix table rvlib; do
        riscv64-unknown-elf-gcc -march="$march" -mabi="$mabi" "-$level" "$@" -ffreestanding "${stack[@]}" \
            -c "$here/$unit.c" -o "$unit.o"
    done
    riscv64-unknown-elf-gcc -march="$march" -mabi="$mabi" "$@" -nostdlib -Wl,--entry=main mix.o table.o rvlib.o \
        -lgcc -o mix.elf
}
arm m0-Os cortex-m0 Os
arm m0-O2 cortex-m0 O2
arm m4-O2 cortex-m4 O2 -mfloat-abi=hard -mfpu=fpv4-sp-d16
arm m4-O0 cortex-m4 O0
arm m33-Os cortex-m33 Os
arm m7-O3 cortex-m7 O3 -mfloat-abi=hard -mfpu=fpv5-d16
riscv rv32-O2 rv32imac ilp32 O2
riscv rv32-O0 rv32imafc ilp32f O0
riscv rv64-O1 rv64imac lp64 O1 -mcmodel=medany
