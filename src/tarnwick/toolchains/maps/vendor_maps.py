"""What the readers of the maps of Arm's armlink, IAR's ILINK and TI's linker share. These
maps state what each section is (code, read-only, writable, zero-initialised), and most state
symbol sizes and their own totals; the readers turn them into the model directly, and hand the
totals a map states on with it."""

from __future__ import annotations

import re

from tarnwick._native import size_placed_symbols
from tarnwick.support.figures import figure
from tarnwick.toolchains.base import NormalizedBuildModel, StatedTotals, Symbol, Toolchain, split_origin
from tarnwick.toolchains.building.builder import (
    configured_reserved_ranges, mark_unified, regions_with_config, stack_heap_hints,
)

_GROUPING = re.compile(r"(?<=[0-9a-fA-F])['\u00a0 ](?=[0-9a-fA-F])")


def number(text: str) -> int:
    """A figure as these maps print it: "0x26c", "0x800'0000" and "4'470" (IAR 9), "1 156"
    (IAR 7), "1,632". Raises ValueError for anything else."""
    if "'" in text or " " in text or "," in text or "\u00a0" in text:
        text = _GROUPING.sub("", text.strip()).replace(",", "")
    return figure(text, 16) if text[:2] in ("0x", "0X") else figure(text, 10)


def assemble(toolchain: Toolchain, path: str, regions: list, sections: list, symbols: list, config, *,
             sizes_given: bool, thumb: bool, notes: list, stated: StatedTotals,
             use_counts_gaps: bool = True, summed: frozenset = frozenset()) -> NormalizedBuildModel:
    """The model of a vendor map: the regions (with what the configuration says of them), the
    sections with their input sections, the symbols the map lists (RawSymbol: each is placed in
    the input section that holds it, and sized; or the columns (names, addresses) of global
    symbols of no stated size), the notes, and the totals the map states, which a pass compares
    with the report's figures (analysis.stated_totals)."""
    assumptions: list = []
    regions, missing = regions_with_config(regions, config, assumptions)
    model = NormalizedBuildModel(toolchain=toolchain, memory_regions=regions, source_path=path,
                                 use_counts_gaps=use_counts_gaps, regions_summed=summed)
    if missing:
        model.unresolved_ambiguities.append(missing)
    model.sections.extend(sections)
    # read only: a reader's hundred thousand not copied
    listed = symbols if isinstance(symbols, (list, tuple)) else list(symbols)
    model.symbols.extend(size_placed_symbols(sections, listed, sizes_given, thumb, Symbol, split_origin))
    mark_unified(model.memory_regions, model.sections)
    model.reserved_ranges.extend(configured_reserved_ranges(config))
    model.stack_heap_hints = stack_heap_hints([], model.sections)
    model.parse_assumptions.extend(assumptions + notes)
    if not sizes_given:
        model.parse_assumptions.append("symbol sizes derived from the next symbol or the end of the "
                                       "input section (the map gives addresses only)")
    model.parse_assumptions.append("bytes of an input section that no symbol covers are attributed "
                                   "to a symbol named after the input section")
    hand_on(model, stated)
    return model


def hand_on(model: NormalizedBuildModel, stated: StatedTotals) -> None:
    """The totals a map states, on its model, and said among its assumptions."""
    said = [f"{kind} {figure:,} B ({words})" for kind, figure, words in
            (("flash", stated.flash, stated.flash_words), ("RAM", stated.ram, stated.ram_words)) if figure is not None]
    if said:
        model.parse_assumptions.append("the map states " + ", ".join(said))
    model.stated = stated
