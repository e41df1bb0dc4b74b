"""Analyse a small Cortex-M build described by hand and print its report as JSON.

Run: python examples/hand_built_model.py [--baseline REPORT.json]
"""

from __future__ import annotations

import argparse
import json
import pathlib

from tarnwick.analysis.summary import build_analysis_report
from tarnwick.config import BudgetConfig, ProjectConfig, TarnwickConfig
from tarnwick.domain import to_jsonable
from tarnwick.toolchains.base import (
    InputSection, MemoryCategory, MemoryRegion, NormalizedBuildModel, Section, Symbol, Toolchain,
)


def sample_model() -> NormalizedBuildModel:
    flash = MemoryRegion("FLASH", 0x0800_0000, 64 * 1024, MemoryCategory.FLASH, "rx")
    ram = MemoryRegion("RAM", 0x2000_0000, 16 * 1024, MemoryCategory.RAM, "rwx")
    ccm = MemoryRegion("CCM", 0x1000_0000, 4 * 1024, MemoryCategory.RAM, "rw")
    text = Section(".text", 0x0800_0000, 40_000, "FLASH", is_code=True, inputs=(
        InputSection(".text.main", 0x0800_0000, 1_200, "build/app/main.o"),
        InputSection("*fill*", 0x0800_04B0, 16, is_fill=True),
        InputSection(".text.printf", 0x0800_04C0, 38_784, "libc.a(vfprintf.o)"),
    ))
    rodata = Section(".rodata", 0x0800_9C40, 12_000, "FLASH")
    data = Section(".data", 0x2000_0000, 2_048, "RAM", load_region="FLASH", load_address=0x0800_CB20)
    bss = Section(".bss", 0x2000_0800, 15_000, "RAM", has_contents=False)
    ccm_buf = Section(".ccmram", 0x1000_0000, 4_200, "CCM", has_contents=False)
    symbols = [
        Symbol("main", 0x0800_0000, 1_200, ".text", "build/app/main.o"),
        Symbol("_vfprintf_r", 0x0800_04C0, 38_784, ".text", "vfprintf.o", "libc.a"),
        Symbol("font_table", 0x0800_9C40, 12_000, ".rodata", "build/ui/font.o"),
        Symbol("config_block", 0x2000_0000, 2_048, ".data", "build/app/config.o"),
        Symbol("frame_buffer", 0x2000_0800, 15_000, ".bss", "build/ui/display.o"),
        Symbol("dma_ring", 0x1000_0000, 4_200, ".ccmram", "build/drivers/dma.o"),
    ]
    return NormalizedBuildModel(
        toolchain=Toolchain.MANUAL,
        memory_regions=[flash, ram, ccm],
        sections=[text, rodata, data, bss, ccm_buf],
        symbols=symbols,
        parse_assumptions=["model described by hand"],
        stack_heap_hints={"stack": [".stack"], "heap": []},
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", type=pathlib.Path)
    args = parser.parse_args()
    config = TarnwickConfig(project=ProjectConfig(name="demo-board"),
                            budgets=BudgetConfig(flash={"FLASH": 0.8}, ram={"RAM": 0.9}))
    report = build_analysis_report(sample_model(), config, baseline_json_path=args.baseline)
    print(json.dumps(to_jsonable(report), indent=2))


if __name__ == "__main__":
    main()
