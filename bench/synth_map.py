"""Synthesises large but well-formed GNU ld and lld map files in the layout the real linkers
write (see examples/firmware/maps), for benchmarks and tests."""

from __future__ import annotations

import random

REGIONS = [("FLASH", 0x0800_0000, 0x0100_0000, "xr"), ("RAM", 0x2000_0000, 0x0100_0000, "xrw"),
           ("CCM", 0x1000_0000, 0x0001_0000, "rw")]


def _objects(count: int, rng: random.Random):
    for index in range(count):
        if index % 3 == 0:
            yield f"/opt/sdk/lib/libdriver{index % 40}.a(part{index}.o)"
        else:
            yield f"build/src/module{index % 200}/file{index}.o"


def gnu_ld_map(functions: int, seed: int = 7) -> str:
    """A map with `functions` input sections in .text, a third as many in .data and .bss."""
    rng = random.Random(seed)
    objects = list(_objects(max(functions // 4, 1), rng))
    out = ["Archive member included to satisfy reference by file (symbol)", "",
           "Memory Configuration", "", "Name             Origin             Length             Attributes"]
    out += [f"{n:<16} 0x{o:08x}         0x{l:08x}         {a}" for n, o, l, a in REGIONS]
    out += ["*default*        0x00000000         0xffffffff", "", "Linker script and memory map", "",
            "LOAD build/main.o",
            "                0x00000800                        _Min_Stack_Size = 0x800", ""]

    def section(name, address, kinds, count, load=None):
        body = []
        cursor = address
        for index in range(count):
            obj = objects[index % len(objects)]
            size = rng.randrange(4, 600)
            input_name = f".{kinds}.fn_{name[1:]}_{index}"
            if len(input_name) > 14:
                body.append(f" {input_name}")
                body.append(f"                0x{cursor:08x} {hex(size):>10} {obj}")
            else:
                body.append(f" {input_name:<14} 0x{cursor:08x} {hex(size):>10} {obj}")
            body.append(f"                0x{cursor:08x}                fn_{name[1:]}_{index}")
            if index % 5 == 0 and size > 16:
                body.append(f"                0x{cursor + 8:08x}                fn_{name[1:]}_{index}_tail")
            cursor += size
            if cursor % 4:
                pad = 4 - cursor % 4
                body.append(f" *fill*         0x{cursor:08x}        0x{pad:x} ")
                cursor += pad
        header = f"{name:<15} 0x{address:08x} {hex(cursor - address):>10}"
        if load is not None:
            header += f" load address 0x{load:08x}"
        return [header, f"                0x{address:08x}                        . = ALIGN (0x4)",
                f" *(.{kinds}*)"] + body + [""], cursor

    text, end = section(".text", 0x0800_0000, "text", functions)
    out += text
    data, data_end = section(".data", 0x2000_0000, "data", functions // 3, load=end)
    out += data
    bss, _ = section(".bss", data_end, "bss", functions // 3)
    out += bss
    out += ["OUTPUT(firmware.elf elf32-littlearm)", "LOAD linker stubs", "",
            ".comment        0x00000000       0x26", " .comment       0x00000000       0x26 build/main.o", ""]
    return "\n".join(out) + "\n"


def lld_map(functions: int, seed: int = 7) -> str:
    rng = random.Random(seed)
    objects = list(_objects(max(functions // 4, 1), rng))
    out = ["     VMA      LMA     Size Align Out     In      Symbol",
           "       0        0        0     1 _Min_Stack_Size = 0x800"]

    def section(name, address, kinds, count, load=None):
        rows = []
        cursor, lma = address, load if load is not None else address
        for index in range(count):
            obj = objects[index % len(objects)]
            size = rng.randrange(4, 600)
            rows.append(f"{cursor:8x} {lma:8x} {size:8x}     4         {obj}:(.{kinds}.fn_{index})")
            rows.append(f"{cursor:8x} {lma:8x} {0:8x}     1                 $t")
            rows.append(f"{cursor:8x} {lma:8x} {size:8x}     1                 fn_{name[1:]}_{index}")
            step = size + (-size % 4)
            cursor, lma = cursor + step, lma + step
        header = f"{address:8x} {load if load is not None else address:8x} {cursor - address:8x}     4 {name}"
        return [header] + rows, cursor

    text, end = section(".text", 0x0800_0000, "text", functions)
    data, data_end = section(".data", 0x2000_0000, "data", functions // 3, load=end)
    bss, _ = section(".bss", data_end, "bss", functions // 3)
    out += text + data + bss + ["       0        0       26     1 .comment",
                                "       0        0       26     1         <internal>:(.comment)",
                                "       0        0       e9     1 .shstrtab",
                                "       0        0       e9     1         <internal>:(.shstrtab)"]
    return "\n".join(out) + "\n"
