"""Maps read in native code (GNU ld and gold, LLVM lld and mold): the readers hand over the
model's own records, and this makes the RawMap the builder takes."""

from __future__ import annotations

import mmap

from tarnwick.toolchains.base import NormalizedBuildModel, Symbol, split_origin
from tarnwick.toolchains.building.builder import build_model
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.building.raw import RawInput, RawMap, RawOutput, RawRegion
from tarnwick.toolchains.building.section_kinds import named_code, never_allocated


def read_native(read, data, path: str) -> RawMap:
    """The map in `data` (UTF-8 bytes) read by the native `read`. Raises MapParseError for a
    map that is not complete."""
    # a file's mapped pages: the reader gives back those it has made records past
    mapped = isinstance(data, memoryview) and isinstance(data.obj, mmap.mmap)
    try:
        (toolchain, regions, outputs, assignments, notes, thumb, sizes_given, output_file,
         origin_totals, addresses_set) = read(data, RawInput, Symbol, named_code, never_allocated, split_origin,
                                              mapped)
    except ValueError as exc:  # raised with the reason, the line (0: none) and the row not read
        reason, line, row = exc.args if len(exc.args) == 3 else (str(exc), 0, None)
        if row is not None:
            reason = f"{reason} {row.strip()[:80]!r}"
        raise MapParseError(path, reason, line or None) from None
    raw = RawMap(toolchain=toolchain, path=path, symbol_sizes_given=sizes_given, thumb=thumb,
                 output_file=output_file, origin_totals=origin_totals)
    raw.regions = [RawRegion(*region) for region in regions]
    raw.outputs = [RawOutput(name, address, size, load, line, inputs or [], symbols, padding, scripted)
                   for name, address, size, load, line, inputs, symbols, padding, scripted in outputs]
    raw.assignments = assignments
    raw.addresses_set = addresses_set
    raw.notes = notes
    return raw


def read_model(read, source, config) -> NormalizedBuildModel:
    """The model of the map `source` (a MapText) read by the native `read`."""
    with source.utf8() as data:
        raw = read_native(read, data, source.path)
        model = build_model(raw, config)
    model.output_file = raw.output_file
    return model
