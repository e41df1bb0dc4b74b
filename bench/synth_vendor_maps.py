"""Synthesises large, well-formed maps of the vendor linkers in the layouts the small maps of
tests/vendor_maps show (armlink, IAR ILINK and XLINK, TI, SDCC, XC8, Keil C51, COSMIC, Renesas), with totals that agree with
their rows, for the readers' benchmark. Each maker takes the number of functions; about
`size_hint` bytes of map come per function."""

from __future__ import annotations

import random


def _functions(count: int, seed: int = 11):
    """(name, object, size) of `count` functions, with sizes a firmware build has."""
    rng = random.Random(seed)
    for index in range(count):
        # a few functions to an object file, as a build with -ffunction-sections has them
        yield f"fn_{index % 997}_{index}", f"module{index // 8}.o", rng.randrange(4, 600) & ~1


def armlink(count: int) -> str:
    code = list(_functions(count))
    data = list(_functions(count // 4, seed=12))
    flash, ram = 0x0800_0000, 0x2000_0000
    rows, symbols, cursor = [], [], flash
    for name, obj, size in code:
        rows.append(f"    0x{cursor:08x}   0x{cursor:08x}   0x{size:08x}   Code   RO         {len(rows) + 3:5d}    "
                    f".text.{name}  {obj}")
        symbols.append(f"    {name:<40} 0x{cursor | 1:08x}   Thumb Code {size:5d}  {obj}(.text.{name})")
        cursor += size
    ro_end = cursor
    ram_rows, at = [], ram
    for name, obj, size in data:
        ram_rows.append(f"    0x{at:08x}        -       0x{size:08x}   Zero   RW         {len(rows) + len(ram_rows) + 3:5d}"
                        f"    .bss.{name}  {obj}")
        symbols.append(f"    {name}_buffer{'':<26} 0x{at:08x}   Data       {size:5d}  {obj}(.bss.{name})")
        at += size
    code_total, zi_total = ro_end - flash, at - ram
    out = ["Component: Arm Compiler for Embedded 6.21 Tool: armlink [5ee90200]", "", "=" * 78, "",
           "Image Symbol Table", "", "    Global Symbols", "",
           "    Symbol Name                              Value     Ov Type        Size  Object(Section)", ""]
    out += symbols
    out += ["", "", "=" * 78, "", "Memory Map of the image", "", f"  Image Entry point : 0x{flash | 1:08x}", "",
            f"  Load Region LR_IROM1 (Base: 0x{flash:08x}, Size: 0x{code_total:08x}, Max: 0x10000000, ABSOLUTE)", "",
            f"    Execution Region ER_IROM1 (Exec base: 0x{flash:08x}, Load base: 0x{flash:08x}, Size: 0x{code_total:08x}, "
            "Max: 0x10000000, ABSOLUTE)", "",
            "    Exec Addr    Load Addr    Size         Type   Attr      Idx    E Section Name        Object", ""]
    out += rows
    out += ["", "", f"    Execution Region RW_IRAM1 (Exec base: 0x{ram:08x}, Load base: 0x{ro_end:08x}, "
            f"Size: 0x{zi_total:08x}, Max: 0x10000000, ABSOLUTE)", "",
            "    Exec Addr    Load Addr    Size         Type   Attr      Idx    E Section Name        Object", ""]
    out += ram_rows
    out += ["", "", "=" * 78, "", "Image component sizes", "", "",
            "      Code (inc. data)   RO Data    RW Data    ZI Data      Debug   ", "",
            f"{code_total:>10}          0          0          0 {zi_total:>10}          0   Grand Totals",
            f"{code_total:>10}          0          0          0 {zi_total:>10}          0   ELF Image Totals",
            f"{code_total:>10}          0          0          0          0          0   ROM Totals", "", "=" * 78, "",
            f"    Total RO  Size (Code + RO Data)             {code_total:>10} (   0.00kB)",
            f"    Total RW  Size (RW Data + ZI Data)          {zi_total:>10} (   0.00kB)",
            f"    Total ROM Size (Code + RO Data + RW Data)   {code_total:>10} (   0.00kB)", "", "=" * 78, ""]
    return "\n".join(out)


def _iar_address(value: int) -> str:
    text = f"{value:x}"
    return "0x" + (text[:-4] + "'" + text[-4:] if len(text) > 4 else text)


def iar_ilink(count: int) -> str:
    code = list(_functions(count))
    data = list(_functions(count // 4, seed=12))
    flash, ram = 0x0800_0000, 0x2000_0000
    rows, entries, cursor = [], [], flash
    for name, obj, size in code:
        rows.append(f"  .text              ro code  {_iar_address(cursor):>12}  {size:#6x}  {obj} [1]")
        entries.append(f"{name:<24}{_iar_address(cursor | 1):>12}  {size:#6x}  Code  Gb  {obj} [1]")
        cursor += size
    code_total = cursor - flash
    ram_rows, at = [], ram
    for name, obj, size in data:
        ram_rows.append(f"  .bss               zero     {_iar_address(at):>12}  {size:#6x}  {obj} [1]")
        entries.append(f"{name + '_buffer':<24}{_iar_address(at):>12}  {size:#6x}  Data  Gb  {obj} [1]")
        at += size
    ram_total = at - ram
    out = ["#" * 79, "#", "# IAR ELF Linker V9.50.1.380/W64 for ARM                 03/Mar/2026  10:00:00",
           "# Copyright 2007-2024 IAR Systems AB.", "#", "#" * 79, "", "*" * 79, "*** PLACEMENT SUMMARY", "***", "",
           '"P1":  place in [from 0x800\'0000 to 0x17ff\'ffff] { ro };',
           '"P2":  place in [from 0x2000\'0000 to 0x2fff\'ffff] { rw };', "",
           "  Section            Kind         Address    Size  Object",
           "  -------            ----         -------    ----  ------", f'"P1":{"":>38}{code_total:#x}']
    out += rows
    out += [f"                           - {_iar_address(cursor)}  {code_total:#x}", "",
            f'"P2":{"":>38}{ram_total:#x}']
    out += ram_rows
    out += [f"                           - {_iar_address(at)}  {ram_total:#x}", "", "", "*" * 79,
            "*** ENTRY LIST", "***", "", "Entry                      Address   Size  Type      Object",
            "-----                      -------   ----  ----      ------"]
    out += entries
    out += ["", "", "[1] = C:\\work\\fw\\Debug\\Obj", "", f"  {code_total:,} bytes of readonly  code memory".replace(",", "'"),
            f"  {ram_total:,} bytes of readwrite data memory".replace(",", "'"), "", "Errors: none", "Warnings: none", ""]
    return "\n".join(out)


def ti_linker(count: int) -> str:
    code = list(_functions(count))
    data = list(_functions(count // 4, seed=12))
    flash, ram = 0x0000_0000, 0x2000_0000
    inputs, names, cursor = [], [], flash
    for name, obj, size in code:
        inputs.append(f"                  {cursor:08x}    {size:08x}     {obj}bj (.text:{name})")
        names.append((cursor | 1, name))
        cursor += size
    code_total = cursor - flash
    bss, at = [], ram
    for name, obj, size in data:
        bss.append(f"                  {at:08x}    {size:08x}     {obj}bj (.bss:{name}_buffer)")
        names.append((at, f"{name}_buffer"))
        at += size
    ram_total = at - ram
    out = ["*" * 78, "                  TI ARM Linker Unix v20.2.7                   ", "*" * 78,
           ">> Linked Tue Dec  1 10:00:00 2026", "", "OUTPUT FILE NAME:   <app.out>", "", "", "MEMORY CONFIGURATION", "",
           "         name            origin    length      used     unused   attr    fill",
           "----------------------  --------  ---------  --------  --------  ----  --------",
           f"  FLASH                 00000000   10000000  {code_total:08x}  {0x10000000 - code_total:08x}  R  X",
           f"  SRAM                  20000000   10000000  {ram_total:08x}  {0x10000000 - ram_total:08x}  RW X", "", "",
           "SECTION ALLOCATION MAP", "", " output                                  attributes/",
           "section   page    origin      length       input sections",
           "--------  ----  ----------  ----------   ----------------",
           f".text      0    {flash:08x}    {code_total:08x}     "]
    out += inputs
    out += ["", f".bss       0    {ram:08x}    {ram_total:08x}     UNINITIALIZED"]
    out += bss
    out += ["", "", "GLOBAL SYMBOLS: SORTED ALPHABETICALLY BY Name ", "", "address   name", "-------   ----"]
    out += [f"{address:08x}  {name}" for address, name in sorted(names, key=lambda item: item[1])]
    out += ["", "", "GLOBAL SYMBOLS: SORTED BY Symbol Address ", "", "address   name", "-------   ----"]
    out += [f"{address:08x}  {name}" for address, name in sorted(names)]
    out += ["", f"[{len(names)} symbols]", ""]
    return "\n".join(out)


def iar_xlink(count: int) -> str:
    code = list(_functions(count))
    data = list(_functions(count // 4, seed=12))
    out = ["#" * 80, "#      IAR Universal Linker V6.5.1.95" + " " * 42 + "#",
           "#           Command line  =  -Z(DATA)DATA16_Z=10000000-1FFFFFFF" + " " * 17 + "#",
           "#                            -Z(CODE)CODE=0-FFFFFFF" + " " * 27 + "#", "#" * 80, "",
           " " * 16 + "*" * 40, " " * 16 + "*              MODULE MAP              *", " " * 16 + "*" * 40, ""]
    cursor, at = 0, 0x10000000
    for (name, obj, size), index in zip(code, range(len(code))):
        if index % 20 == 0:
            out += ["", f"  FILE NAME : C:\\work\\fw\\Obj\\{obj[:-2]}.r43", f"  PROGRAM MODULE, NAME : {obj[:-2]}", "",
                    "  SEGMENTS IN THE MODULE", "  ======================"]
        out += ["CODE", f"  Relative segment, address: {cursor:04X} - {cursor + size - 1:04X} ({size:#x} bytes), align: 1",
                f"  Segment part {index + 1}.", "           ENTRY                   ADDRESS         REF BY",
                "           =====                   =======         ======",
                f"           {name:<23} {cursor:04X} ", "    " + "-" * 73]
        cursor += size
    for name, obj, size in data:
        out += ["DATA16_Z", f"  Relative segment, address: {at:04X} - {at + size - 1:04X} ({size:#x} bytes), align: 1",
                "  Segment part 1.", "           ENTRY                   ADDRESS         REF BY",
                f"           {name + '_buffer':<23} {at:04X} ", "    " + "-" * 73]
        at += size
    out += ["", " " * 16 + "*" * 40, " " * 16 + "*      SEGMENTS IN ADDRESS ORDER       *", " " * 16 + "*" * 40, "", "",
            "SEGMENT              SPACE    START ADDRESS   END ADDRESS     SIZE  TYPE  ALIGN",
            "=======              =====    =============   ===========     ====  ====  =====",
            f"CODE                                   0000 - {cursor - 1:04X}   {cursor:>12X}   rel    1",
            f"DATA16_Z                           10000000 - {at - 1:04X}   {at - 0x10000000:>12X}   rel    1", "",
            " " * 16 + "*" * 40, " " * 16 + "*        END OF CROSS REFERENCE        *", " " * 16 + "*" * 40, "",
            f" {cursor:,} bytes of CODE  memory".replace(",", " "),
            f" {at - 0x10000000:,} bytes of DATA  memory".replace(",", " "), "", "Errors: none", "Warnings: none", ""]
    return "\n".join(out)


def sdcc(count: int) -> str:
    code = list(_functions(count))
    out = []
    cursor = 0x8000
    page = 1
    areas = [("CODE", code)]
    for area, functions in areas:
        total = sum(size for _n, _o, size in functions)
        out += [f"ASxxxx Linker V03.00 + NoICE + sdld,  page {page}.", "Hexadecimal  [32-Bits]", "",
                "Area                                    Addr        Size        Decimal Bytes (Attributes)",
                "--------------------------------        ----        ----        ------- ----- ------------",
                f"{area:<36}{cursor:08X}    {total:08X} = {total:>11}. bytes (REL,CON)", "",
                "      Value  Global                              Global Defined In Module",
                "      -----  --------------------------------   ------------------------"]
        for name, obj, size in functions:
            out.append(f"     {cursor:08X}  _{name:<33} {obj[:-2]}")
            cursor += size
        page += 1
    out += ["", "Files Linked                 [ module(s) ]", "", "fw.rel                       [ fw ]", "",
            "User Base Address Definitions", "", "HOME = 0x8000", ""]
    return "\n".join(out)


def xc8(count: int) -> str:
    code = list(_functions(count))
    out = ["Microchip MPLAB XC8 Compiler v2.36 (Free license) build 20220127204148 Og1 ", "Linker command line:", "",
           "-W-3 -Q18F47Q10 -ACODE=00h-03FFFFFFh -ACOMRAM=01h-05Fh -ABANK0=060h-0FFh -DCODE=1 -DCOMRAM=1 ", "",
           "Object code version is 3.11", "", "Machine type is 18F47Q10", "", "",
           "                Name                               Link     Load   Length Selector   Space Scale"]
    cursor, classed, symbols = 0, [], []
    for index, (name, obj, size) in enumerate(code):
        if index % 20 == 0:
            out.append(f"dist/default/production/{obj}")
        psect = f"text{index}"
        out.append(f"                {psect:<34}{cursor:>6X}{cursor:>9X}{size:>9X}{cursor:>9X}       0")
        classed.append(f"                {psect:<34}{cursor:>6X}{cursor:>9X}{size:>9X}         0")
        symbols.append(f"_{name:<24}{psect:<13}{cursor:06X}")
        cursor += size
    out += ["", "TOTAL           Name                               Link     Load   Length     Space",
            "        CLASS   CODE           "] + classed
    out += ["", "", "", "SEGMENTS        Name                           Load    Length   Top    Selector   Space  Class     Delta",
            "", f"                text0                          000000  {cursor:06X}  {cursor:06X}         0       0  CODE        1",
            "", "", "UNUSED ADDRESS RANGES", "", "        Name                Unused          Largest block    Delta",
            f"        CODE             {cursor:06X}-3FFFFFF          {0x4000000 - cursor:>5X}           1", "",
            "                                  Symbol Table", ""] + symbols
    out += ["", "", "Memory Summary:",
            f"    Program space        used {cursor:>5X}h ({cursor:>6}) of 4000000h bytes   (  0.0%)",
            "    Data space           used     0h (     0) of   F00h bytes   (  0.0%)",
            "    Configuration bits   used     0h (     0) of     6h words   (  0.0%)",
            "    ID Location space    used     0h (     0) of    10h bytes   (  0.0%)", ""]
    return "\n".join(out)


def keil_c51(count: int) -> str:
    """An LX51 listing: each function a code segment with its public symbol and a few lines."""
    code = list(_functions(count))
    out = ["LX51 LINKER/LOCATER V4.66.97.0                                          01/01/2024  00:00:00  PAGE 1", "",
           "LX51 LINKER/LOCATER V4.66.97.0, INVOKED BY:", "C:\\KEIL\\C51\\BIN\\LX51.EXE .\\Objects\\fw.obj TO fw", "",
           "INPUT MODULES INCLUDED:", "  .\\Objects\\fw.obj (FW)", "",
           "ACTIVE MEMORY CLASSES OF MODULE:  fw (FW)", "", "BASE        START       END         USED      MEMORY CLASS",
           "=" * 58, "C:000000H   C:000000H   C:FFFFFFH   000000H   CODE", "",
           "MEMORY MAP OF MODULE:  fw (FW)", "",
           "START     STOP      LENGTH    ALIGN  RELOC    MEMORY CLASS   SEGMENT NAME", "=" * 73, "",
           "* * * * * * * * * * *   C O D E   M E M O R Y   * * * * * * * * * * * * *"]
    cursor, symbols = 0, ["", "SYMBOL TABLE OF MODULE:  fw (FW)", "",
                          "      VALUE       REP       CLASS    TYPE      SYMBOL NAME", "      " + "=" * 52,
                          "      ---         MODULE    ---      ---       FW"]
    for name, _obj, size in code:
        out.append(f"{cursor:06X}H   {cursor + size - 1:06X}H   {size:06X}H   BYTE   UNIT     CODE           ?PR?{name.upper()}?FW")
        symbols.append(f"      {0x1000000 + cursor:08X}H   PUBLIC    CODE     PROC      {name}")
        symbols += [f"      {0x1000000 + cursor + line:08X}H   LINE      CODE     ---       #{line}" for line in (0, 2)]
        cursor += size
    return "\n".join(out + symbols + ["", f"Program Size: data=0.0 xdata=0 code={cursor}",
                                      "LX51 RUN COMPLETE.  0 WARNING(S),  0 ERROR(S)", ""])


def cosmic(count: int) -> str:
    """A clnk map: one module per eight functions, each with its .text section and symbols."""
    code = list(_functions(count))
    total = sum(size for _n, _o, size in code)
    out = ["", "Map of fw.sm8 from link file fw.lkf - Mon Jan  1 00:00:00 2024", "", "", "Segments", "",
           f"start 00008080 end {0x8080 + total:08x} length {total:5d} segment .text", "", "", "Modules", ""]
    symbols, cursor, current = ["", "Stack usage", "", "Stack size: 8", "", "", "Symbols", ""], 0x8080, None
    for name, obj, size in code:
        if obj != current:
            out += ["", f"Debug\\{obj}:"]
            current = obj
        out.append(f"start {cursor:08x} end {cursor + size:08x} length {size:5d} section .text")
        symbols.append(f"_{name:<31} {cursor:08x}   defined in Debug\\{obj} section .text")
        cursor += size
    return "\n".join(out + symbols + [""])


def renesas_rlink(count: int) -> str:
    """An rlink map as a large build writes it: a Mapping List of a section per object file's code
    (-start=P*), and a symbol list of every function, which is most of the map."""
    code = list(_functions(count))
    out = ["Renesas Optimizing Linker (V3.05.00 )             01-Jan-2024 00:00:00", "", "*** Options ***", "",
           "-output=fw.abs", "-list=fw.map", "-show=symbol,total_size", "-end", "", "*** Mapping List ***", "",
           "SECTION                            START      END         SIZE   ALIGN", ""]
    symbols = ["", "*** Symbol List ***", "", "SECTION=", "FILE=                               START        END    SIZE",
               "  SYMBOL                            ADDR        SIZE    INFO      COUNTS  OPT", ""]
    cursor, program, current = 0xFFF00000, 0, None
    for name, obj, size in code:
        if obj != current:
            if current is not None:
                out += [f"P_{current[:-2]}", f"                                  {start:08x}  {cursor - 1:08x}  {cursor - start:8x}   1"]
            current, start = obj, cursor
            symbols += [f"SECTION=P_{obj[:-2]}", f"FILE={obj}"]
        symbols += [f"  _{name}", f"                                  {cursor:08x}  {size:8x}   func ,g         1"]
        cursor += size
        program += size
    out += [f"P_{current[:-2]}", f"                                  {start:08x}  {cursor - 1:08x}  {cursor - start:8x}   1"]
    return "\n".join(out + ["", "*** Total Section Size ***", "", "RAMDATA SECTION:  00000000 Byte(s)",
                            "ROMDATA SECTION:  00000000 Byte(s)", f"PROGRAM SECTION:  {program:08x} Byte(s)"]
                     + symbols + [""])


MAKERS = {"armlink": armlink, "iar_ilink": iar_ilink, "iar_xlink": iar_xlink, "ti_linker": ti_linker,
          "sdcc": sdcc, "xc8": xc8, "keil_c51": keil_c51, "cosmic": cosmic, "renesas_rlink": renesas_rlink}
