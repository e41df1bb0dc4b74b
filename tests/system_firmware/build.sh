#!/usr/bin/env bash
# Builds the system test's images into OUT, each from its own linker script:
#   boot, app, app-grown   a Cortex-M4 bootloader at 0x0 and its application linked for the primary
#                          slot at 0x8000 past a 512 B MCUboot header (app-grown: a table added until
#                          its signed image leaves no room for the trailer)
#   secure, nonsecure      a Cortex-M33 secure image with non-secure-callable veneers (-mcmse,
#                          --cmse-implib) and the non-secure image linked against its import library
#   core0, core1,          two cores of one part, each with its own RAM and a mailbox region both
#   core1-overlap          link; core1-overlap's script puts its RAM over core0's
#   esp, esp-grown         an ESP8266 application (where xtensa-lx106-elf-gcc is installed), and
#                          the same with a table larger than its 64 KiB partition
# Objects for more links of the application (link-app.sh) stay in OUT/objects.
# Usage: build.sh OUT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out/objects"
m4=(-mcpu=cortex-m4 -mthumb -Os -ffunction-sections -fdata-sections -g)
m33=(-mcpu=cortex-m33 -mthumb -Os -ffunction-sections -fdata-sections -g)
cd "$out/objects"
arm-none-eabi-gcc "${m4[@]}" -c "$here/startup.c" -o startup-m4.o
arm-none-eabi-gcc "${m33[@]}" -c "$here/startup.c" -o startup-m33.o
arm-none-eabi-gcc "${m4[@]}" -c "$here/boot.c" -o boot.o
arm-none-eabi-gcc "${m4[@]}" -c "$here/app.c" -o app.o
arm-none-eabi-gcc "${m33[@]}" -mcmse -c "$here/secure.c" -o secure.o
arm-none-eabi-gcc "${m33[@]}" -c "$here/nonsecure.c" -o nonsecure.o
arm-none-eabi-gcc "${m4[@]}" -DCORE=0 -DWORK_WORDS=2048 -c "$here/core.c" -o core0.o
arm-none-eabi-gcc "${m4[@]}" -DCORE=1 -DWORK_WORDS=1024 -c "$here/core.c" -o core1.o
cd "$out"

# script NAME "MEMORY lines" "extra output sections"
script() {
    cat > "$1.ld" <<SCRIPT
MEMORY
{
$2
}
ENTRY(Reset_Handler)
PAD_BYTES = DEFINED(PAD_BYTES) ? PAD_BYTES : 0;
SECTIONS
{
  .isr_vector : { KEEP(*(.isr_vector)) } > FLASH
  .text : { *(.text .text.*) *(.glue_7 .glue_7t .vfp11_veneer .v4_bx) } > FLASH
  .rodata : { . = ALIGN(4); *(.rodata .rodata.*) . = ALIGN(4); } > FLASH
  .ARM.exidx : { *(.ARM.exidx*) } > FLASH
${3:-}
  _sidata = LOADADDR(.data);
  .data : { . = ALIGN(4); _sdata = .; *(.data .data.*) . = ALIGN(4); _edata = .; } > RAM AT> FLASH
  .pad : { BYTE(0x5a); . = . + PAD_BYTES; } > FLASH
  _image_end = LOADADDR(.pad) + SIZEOF(.pad);
  .bss (NOLOAD) : { . = ALIGN(4); _sbss = .; *(.bss .bss.*) *(COMMON) . = ALIGN(4); _ebss = .; } > RAM
  .stack (NOLOAD) : { . = ALIGN(8); . = . + 0x800; _estack = .; } > RAM
}
SCRIPT
}

link() {  # link NAME CPU-FLAGS... -- OBJECTS...
    local name=$1; shift
    arm-none-eabi-gcc "$@" -nostartfiles -T "$name.ld" -Wl,--gc-sections -Wl,-Map="$name.map" -o "$name.elf"
}

script boot "  FLASH (rx) : ORIGIN = 0x00000000, LENGTH = 0x8000
  RAM (rwx)  : ORIGIN = 0x20000000, LENGTH = 0x10000"
link boot "${m4[@]}" objects/startup-m4.o objects/boot.o

script app "  FLASH (rx) : ORIGIN = 0x00008200, LENGTH = 0x10000 - 0x200
  RAM (rwx)  : ORIGIN = 0x20000000, LENGTH = 0x10000"
link app "${m4[@]}" objects/startup-m4.o objects/app.o
cp app.ld app-grown.ld
# the slot is 0x10000 B: the grown application's signed image (header, code, 40 B of TLV) ends
# 1,000 B before the slot's end, inside the 1,584 B trailer of a swap using scratch
end=$(( 0x$(arm-none-eabi-nm app.elf | awk '$3 == "_image_end" { print $1 }') ))
link app-grown "${m4[@]}" -Wl,--defsym=PAD_BYTES=$(( 0x18000 - 1000 - 40 - end )) objects/startup-m4.o objects/app.o

script secure "  FLASH (rx)     : ORIGIN = 0x00000000, LENGTH = 0xF000
  FLASH_NSC (rx) : ORIGIN = 0x0000F000, LENGTH = 0x1000
  RAM (rwx)      : ORIGIN = 0x20000000, LENGTH = 0x8000" \
"  .gnu.sgstubs : { . = ALIGN(32); *(.gnu.sgstubs*) . = ALIGN(32); } > FLASH_NSC"
link secure "${m33[@]}" -mcmse -Wl,--cmse-implib -Wl,--out-implib=secure-veneers.o objects/startup-m33.o objects/secure.o

script nonsecure "  FLASH (rx) : ORIGIN = 0x00010000, LENGTH = 0x30000
  RAM (rwx)  : ORIGIN = 0x20008000, LENGTH = 0x18000"
link nonsecure "${m33[@]}" objects/startup-m33.o objects/nonsecure.o secure-veneers.o

mailbox="  .mailbox (NOLOAD) : { *(.mailbox) } > MAILBOX"
script core0 "  FLASH (rx)   : ORIGIN = 0x00000000, LENGTH = 0x20000
  RAM (rwx)    : ORIGIN = 0x20000000, LENGTH = 0x10000
  MAILBOX (rw) : ORIGIN = 0x20018000, LENGTH = 0x400" "$mailbox"
link core0 "${m4[@]}" objects/startup-m4.o objects/core0.o
script core1 "  FLASH (rx)   : ORIGIN = 0x00020000, LENGTH = 0x20000
  RAM (rwx)    : ORIGIN = 0x20010000, LENGTH = 0x8000
  MAILBOX (rw) : ORIGIN = 0x20018000, LENGTH = 0x400" "$mailbox"
link core1 "${m4[@]}" objects/startup-m4.o objects/core1.o
script core1-overlap "  FLASH (rx)   : ORIGIN = 0x00020000, LENGTH = 0x20000
  RAM (rwx)    : ORIGIN = 0x2000E000, LENGTH = 0xA000
  MAILBOX (rw) : ORIGIN = 0x20018000, LENGTH = 0x400" "$mailbox"
link core1-overlap "${m4[@]}" objects/startup-m4.o objects/core1.o

if command -v xtensa-lx106-elf-gcc >/dev/null; then
    for variant in esp:64 esp-grown:16384; do
        xtensa-lx106-elf-gcc -Os -g -nostdlib -DTABLE_WORDS=${variant#*:} -T "$here/esp.ld" \
            -Wl,-Map="${variant%%:*}.map" "$here/esp.c" -o "${variant%%:*}.elf"
    done
fi
