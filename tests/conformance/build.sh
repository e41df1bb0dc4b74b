#!/usr/bin/env bash
# Links small firmware with every cross toolchain Debian packages and keeps, per link, the map,
# the linker's own --print-memory-usage table (GNU ld), `size -A` and `nm -S` of the ELF, and the
# ELF itself. The tests compare tarnwick's figures with these. Needs:
#   apt-get install gcc-arm-none-eabi libnewlib-arm-none-eabi gcc-avr avr-libc binutils-avr \
#       gcc-riscv64-unknown-elf gcc-xtensa-lx106 binutils-xtensa-lx106 lld mold locales sdcc
# and the fr_FR.UTF-8 and de_DE.UTF-8 locales generated (see .ci/run).
# Usage: build.sh [OUTPUT_FOLDER]   (default: the maps/ folder beside this script)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/maps}
src=$here/src
scripts=$here/scripts
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# keep NAME ELF BINUTILS_PREFIX: the ELF and what the binutils say of it (sizes, section and
# program headers, symbols)
keep() {
    local name=$1 elf=$2 tools=$3
    { "${tools}size" -B -d "$elf"; "${tools}size" -A -d "$elf"; } | sed "s|$work/[^/ ]*/||g; s|$work/||g" \
        > "$out/$name.size.txt"
    "${tools}objdump" -h -w "$elf" | sed "s|$work/[^/ ]*/||g" > "$out/$name.sections.txt"
    "${tools}readelf" -lW "$elf" | sed "s|$work/[^/ ]*/||g" > "$out/$name.segments.txt"
    "${tools}nm" -S "$elf" > "$out/$name.nm.txt"
    cp "$elf" "$out/$name.elf"
}

# A folder whose ld.lld makes the gcc driver link with lld.
mkdir -p "$work/lld"
ln -sf "$(command -v ld.lld)" "$work/lld/ld.lld"

# --- Arm Cortex-M4: GNU ld, an overflowing link, and lld on the same objects and script ---
arm() {  # arm NAME OVERLAY_STYLE DEFINES... -- LINK_FLAGS...
    local name=$1 style=$2; shift 2
    local defines=() flags=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do defines+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    flags=("$@")
    local dir="$work/$name" c=(-mcpu=cortex-m4 -mthumb -Os -g0 -ffunction-sections -fdata-sections -fcommon)
    mkdir -p "$dir"
    arm-none-eabi-gcc "${c[@]}" "${defines[@]}" -c "$src/app.c" -o "$dir/app.o"
    arm-none-eabi-gcc "${c[@]}" -c "$here/../../examples/firmware/src/startup.c" -o "$dir/startup.o"
    arm-none-eabi-gcc "${c[@]}" -c "$src/rust_names.c" -o "$dir/rust_names.o"
    arm-none-eabi-g++ "${c[@]}" -fno-exceptions -fno-rtti -fno-threadsafe-statics -c "$src/cxx.cpp" -o "$dir/cxx.o"
    arm-none-eabi-ar rcs "$dir/libcxx.a" "$dir/cxx.o" "$dir/rust_names.o"
    (cd "$dir" && arm-none-eabi-gcc "${c[@]}" -nostartfiles -nostdlib -L"$scripts/$style" -T "$scripts/arm.ld" \
        -Wl,--gc-sections -Wl,--defsym=STACK_SIZE=0x800 -Wl,-Map="$out/$name.map" "${flags[@]}" \
        app.o startup.o -L. -lcxx -lc -lgcc -o "$name.elf")
    keep "$name" "$dir/$name.elf" arm-none-eabi-
}
arm arm-gnu-ld gnu -- -Wl,--print-memory-usage > "$out/arm-gnu-ld.memory-usage.txt"
arm arm-gnu-ld-overflow gnu -DBUFFER_WORDS=4096 -- -Wl,--noinhibit-exec -Wl,--print-memory-usage \
    > "$out/arm-gnu-ld-overflow.memory-usage.txt" 2>&1 || true
# lld reads no GNU-style OVERLAY: it and its GNU ld twin place the buffers one after another
arm arm-gnu-ld-flat flat -- -Wl,--print-memory-usage > "$out/arm-gnu-ld-flat.memory-usage.txt"
arm arm-lld flat -- -B"$work/lld" -fuse-ld=lld -Wl,-z,max-page-size=4096

# --- Arm Cortex-M4: a driver built without -fdata-sections, whose statics share the .bss input
#     section of a global (the map lists the global alone) ---
statics() {
    local name=arm-gnu-ld-statics dir="$work/arm-gnu-ld-statics" c=(-mcpu=cortex-m4 -mthumb -Os -g0 -ffunction-sections)
    mkdir -p "$dir"
    arm-none-eabi-gcc "${c[@]}" -c "$src/uart_statics.c" -o "$dir/uart.o"
    arm-none-eabi-gcc "${c[@]}" -fdata-sections -c "$src/uart_main.c" -o "$dir/main.o"
    arm-none-eabi-gcc "${c[@]}" -fdata-sections -c "$here/../../examples/firmware/src/startup.c" -o "$dir/startup.o"
    (cd "$dir" && arm-none-eabi-gcc "${c[@]}" -nostartfiles -nostdlib -L"$scripts/flat" -T "$scripts/arm.ld" \
        -Wl,--gc-sections -Wl,--defsym=STACK_SIZE=0x800 -Wl,-Map="$out/$name.map" -Wl,--print-memory-usage \
        startup.o main.o uart.o -lc -lgcc -o "$name.elf")
    keep "$name" "$dir/$name.elf" arm-none-eabi-
}
statics > "$out/arm-gnu-ld-statics.memory-usage.txt"

# --- Arm Cortex-M4 in the layout of the CMSIS template and nrfx: the data image placed with
#     AT(address), (COPY) heap and stack, a handler in a section named unlike code; the same
#     objects with lld and the flat script, for its Thumb symbols ---
cmsis() {  # cmsis NAME SCRIPT LINK_FLAGS...
    local name=$1 script=$2; shift 2
    local dir="$work/$name" c=(-mcpu=cortex-m4 -mthumb -Os -g0 -ffunction-sections -fdata-sections -fcommon)
    mkdir -p "$dir"
    arm-none-eabi-gcc "${c[@]}" -c "$src/startup_cmsis.S" -o "$dir/startup.o"
    arm-none-eabi-gcc "${c[@]}" -DNO_SECTIONS -c "$src/app.c" -o "$dir/app.o"
    arm-none-eabi-gcc "${c[@]}" -c "$src/rust_names.c" -o "$dir/rust_names.o"
    arm-none-eabi-g++ "${c[@]}" -fno-exceptions -fno-rtti -fno-threadsafe-statics -c "$src/cxx.cpp" -o "$dir/cxx.o"
    (cd "$dir" && arm-none-eabi-gcc "${c[@]}" -nostartfiles -nostdlib -T "$scripts/$script" -Wl,--gc-sections \
        -Wl,-Map="$out/$name.map" "$@" startup.o app.o cxx.o rust_names.o -lgcc -o "$name.elf")
    keep "$name" "$dir/$name.elf" arm-none-eabi-
}
cmsis arm-gnu-ld-cmsis cmsis.ld -Wl,--print-memory-usage > "$out/arm-gnu-ld-cmsis.memory-usage.txt"
cmsis arm-lld-thumb cmsis.ld -B"$work/lld" -fuse-ld=lld -Wl,-z,max-page-size=4096

# --- AVR ATmega328P: avr-gcc's own linker script (negated region attributes, device info) ---
avr=(-mmcu=atmega328p -Os -g0 -ffunction-sections -fdata-sections -DNO_SECTIONS -DBUFFER_WORDS=64)
mkdir -p "$work/avr"
(cd "$work/avr" \
    && avr-gcc "${avr[@]}" -c "$src/app.c" -o app.o && avr-gcc "${avr[@]}" -c "$src/rust_names.c" -o rust_names.o \
    && avr-gcc "${avr[@]}" -c "$src/avr_extra.c" -o avr_extra.o \
    && avr-gcc "${avr[@]}" app.o rust_names.o avr_extra.o -Wl,--gc-sections -Wl,-Map="$out/avr-gnu-ld.map" \
        -Wl,--print-memory-usage -o avr-gnu-ld.elf) > "$out/avr-gnu-ld.memory-usage.txt"
keep avr-gnu-ld "$work/avr/avr-gnu-ld.elf" avr-

# --- RISC-V RV32IMAC: GNU ld and lld on the same objects and script ---
riscv() {  # riscv NAME LINK_FLAGS...
    local name=$1; shift
    local dir="$work/$name" c=(-march=rv32imac_zicsr -mabi=ilp32 -Os -g0 -ffunction-sections -fdata-sections
                               -fcommon -ffreestanding -fno-builtin -msmall-data-limit=8)
    mkdir -p "$dir"
    riscv64-unknown-elf-gcc "${c[@]}" -DBUFFER_WORDS=512 -c "$src/app.c" -o "$dir/app.o"
    riscv64-unknown-elf-gcc "${c[@]}" -c "$src/startup_bare.c" -o "$dir/startup.o"
    riscv64-unknown-elf-gcc "${c[@]}" -c "$src/rust_names.c" -o "$dir/rust_names.o"
    riscv64-unknown-elf-g++ "${c[@]}" -fno-exceptions -fno-rtti -fno-threadsafe-statics -c "$src/cxx.cpp" -o "$dir/cxx.o"
    (cd "$dir" && riscv64-unknown-elf-gcc "${c[@]}" -nostartfiles -nostdlib -T "$scripts/riscv.ld" \
        -Wl,--gc-sections -Wl,-Map="$out/$name.map" "$@" startup.o app.o cxx.o rust_names.o -lgcc -o "$name.elf")
    keep "$name" "$dir/$name.elf" riscv64-unknown-elf-
}
riscv riscv-gnu-ld -Wl,--print-memory-usage > "$out/riscv-gnu-ld.memory-usage.txt"
riscv riscv-lld -B"$work/lld" -fuse-ld=lld -Wl,--no-relax -Wl,-z,max-page-size=4096

# --- RISC-V soft core: one memory without attributes, one section holding everything ---
mkdir -p "$work/unified"
u=(-march=rv32imac_zicsr -mabi=ilp32 -Os -g0 -ffunction-sections -fdata-sections -fcommon -ffreestanding
   -fno-builtin -msmall-data-limit=8)
(cd "$work/unified" \
    && riscv64-unknown-elf-gcc "${u[@]}" -DBUFFER_WORDS=128 -DNO_SECTIONS -c "$src/app.c" -o app.o \
    && riscv64-unknown-elf-gcc "${u[@]}" -c "$src/startup_bare.c" -o startup.o \
    && riscv64-unknown-elf-gcc "${u[@]}" -c "$src/rust_names.c" -o rust_names.o \
    && riscv64-unknown-elf-g++ "${u[@]}" -fno-exceptions -fno-rtti -fno-threadsafe-statics -c "$src/cxx.cpp" -o cxx.o \
    && riscv64-unknown-elf-gcc "${u[@]}" -nostartfiles -nostdlib -T "$scripts/unified.ld" -Wl,-Map="$out/riscv-gnu-ld-unified.map" \
        -Wl,--print-memory-usage startup.o app.o cxx.o rust_names.o -lgcc -o riscv-gnu-ld-unified.elf) \
    > "$out/riscv-gnu-ld-unified.memory-usage.txt"
keep riscv-gnu-ld-unified "$work/unified/riscv-gnu-ld-unified.elf" riscv64-unknown-elf-

# --- Xtensa LX106 (ESP8266): IRAM, DRAM and mapped flash, .xtensa.info ---
x=(-Os -g0 -ffreestanding -ffunction-sections -fdata-sections -mlongcalls -DBUFFER_WORDS=256)
mkdir -p "$work/xtensa"
(cd "$work/xtensa" \
    && xtensa-lx106-elf-gcc "${x[@]}" -c "$src/startup_bare.c" -o startup.o \
    && xtensa-lx106-elf-gcc "${x[@]}" -c "$src/app.c" -o app.o \
    && xtensa-lx106-elf-gcc "${x[@]}" -c "$src/rust_names.c" -o rust_names.o \
    && xtensa-lx106-elf-g++ "${x[@]}" -fno-exceptions -fno-rtti -fno-threadsafe-statics -c "$src/cxx.cpp" -o cxx.o \
    && xtensa-lx106-elf-gcc "${x[@]}" -nostartfiles -nostdlib -T "$scripts/xtensa.ld" -Wl,--gc-sections \
        -Wl,-Map="$out/xtensa-gnu-ld.map" -Wl,--print-memory-usage startup.o app.o cxx.o rust_names.o -lgcc \
        -o xtensa-gnu-ld.elf) > "$out/xtensa-gnu-ld.memory-usage.txt"
keep xtensa-gnu-ld "$work/xtensa/xtensa-gnu-ld.elf" xtensa-lx106-elf-

# --- The host's linkers: GNU ld in three languages, lld with the same script, gold and mold ---
h=(-O1 -g0 -ffreestanding -fno-pie -fno-stack-protector -fcommon -fno-asynchronous-unwind-tables
   -ffunction-sections -fdata-sections -DBUFFER_WORDS=512)
mkdir -p "$work/x86"
(cd "$work/x86" \
    && gcc "${h[@]}" -fcf-protection=none -c "$src/app.c" -o app.o \
    && gcc "${h[@]}" -fcf-protection=full -c "$src/startup_bare.c" -o startup.o \
    && gcc "${h[@]}" -c "$src/rust_names.c" -o rust_names.o \
    && g++ "${h[@]}" -fno-exceptions -fno-rtti -fno-threadsafe-statics -c "$src/cxx.cpp" -o cxx.o \
    && ar rcs libfw.a cxx.o rust_names.o)
# objects named one by one: with no archive, ld 2.40's map begins with "Merging program
# properties" (startup.o is built for CET, app.o is not)
objects=(startup.o app.o cxx.o rust_names.o)
for lang in C fr_FR.UTF-8 de_DE.UTF-8; do
    case $lang in C) name=x86-gnu-ld ;; *) name=x86-gnu-ld-${lang:0:2} ;; esac
    (cd "$work/x86" && LANG=$lang LC_ALL=$lang LANGUAGE= ld -T "$scripts/x86.ld" --gc-sections \
        -Map="$out/$name.map" --print-memory-usage "${objects[@]}" -o "$name.elf") > "$out/$name.memory-usage.txt"
    keep "$name" "$work/x86/$name.elf" ""
done
(cd "$work/x86" && ld.lld -T "$scripts/x86.ld" --gc-sections -Map="$out/x86-lld.map" "${objects[@]}" -o x86-lld.elf)
keep x86-lld "$work/x86/x86-lld.elf" ""
# gold and mold read no MEMORY command: their own layout of the usual section names
mkdir -p "$work/plain"
(cd "$work/plain" \
    && gcc "${h[@]}" -DNO_SECTIONS -c "$src/app.c" -o app.o && cp ../x86/startup.o ../x86/libfw.a .)
for linker in gold mold; do
    (cd "$work/plain" && "ld.$linker" -static -e _start --gc-sections -Map="$out/x86-$linker.map" \
        startup.o app.o libfw.a -o "x86-$linker.elf")
    keep "x86-$linker" "$work/plain/x86-$linker.elf" ""
done

# --- SDCC: sdld's maps for the 8051 (with the .mem summary it writes beside) and for STM8 ---
mkdir -p "$work/sdcc"
cp "$src/sdcc_8051.c" "$src/sdcc_stm8.c" "$work/sdcc/"
(cd "$work/sdcc" && sdcc -mmcs51 --model-small sdcc_8051.c -o sdcc-8051.ihx >/dev/null \
    && sdcc -mstm8 sdcc_stm8.c -o sdcc-stm8.ihx >/dev/null)
for name in sdcc-8051 sdcc-stm8; do
    for kind in map mem ihx; do
        [ -f "$work/sdcc/$name.$kind" ] && cp "$work/sdcc/$name.$kind" "$out/$name.$kind"
    done
done

# Keep the maps free of this machine's temporary folder.
sed -i "s|$work/[^/ ]*/||g; s|$work|.|g" "$out"/*.map "$out"/*.memory-usage.txt
ls "$out"
