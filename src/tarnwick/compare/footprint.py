"""The byte tables of one build, by level: what a comparison works on. They are made once, from a
report of this run (its records, with its build's source view) or from the document of a stored
JSON report (whose shape `baseline_file` has checked); after that nothing tells the two apart.
A stored figure that is not a byte count is left out of its table."""

from __future__ import annotations

import bisect
import posixpath

from tarnwick._native import symbol_tables
from tarnwick.support.origins import contributor_name
from tarnwick.support.records import field, record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Any, Callable, Iterable, Optional


@record
class Footprint:
    """The byte tables of one build, by level, keyed by the names the build itself uses."""

    regions: Optional[dict] = None  # None: the report holds no used bytes per region
    sections: dict = field(default_factory=dict)
    components: dict = field(default_factory=dict)
    archives: dict = field(default_factory=dict)
    objects: dict = field(default_factory=dict)
    symbols: dict = field(default_factory=dict)  # (name, object) -> [bytes, estimated, binding]
    files: Optional[dict] = None  # source file -> bytes; None without debug information
    folders: Optional[dict] = None  # source folder (every level) -> bytes
    flash: Optional[int] = None
    ram: Optional[int] = None
    region_sizes: dict = field(default_factory=dict)
    # Symbol sizes read from an ELF file or stated by the map, not derived from addresses
    exact: bool = False
    # For an exact side: its symbols' places, to see it as a map would show it (`map_view`)
    placed: list = field(default_factory=list)
    # For an exact side: section name -> its input sections' (start, end), sorted, made when
    # first asked for (only a comparison of an exact side with a derived one needs them)
    input_bounds: Callable[[], dict] = dict

    def map_view(self, statics_listed: bool) -> dict:
        """Each symbol's size as a map would derive it, (name, object) -> bytes: the symbols
        such a map lists (globals; statics too when `statics_listed`) run to the next one in
        their input section, or to its end (the bytes after them it cannot name included)."""
        bounds = self.input_bounds()
        listed = ("global", "weak", "local", None) if statics_listed else ("global", "weak", None)
        view: dict = {}
        by_section: dict = {}
        for row in self.placed:
            if row[5] in listed:
                by_section.setdefault(row[0], []).append(row)
        for section, rows in by_section.items():
            parts = bounds.get(section, [])
            starts = [start for start, _ in parts]
            rows.sort(key=lambda row: row[1])
            for index, (_, start, size, name, contributor, _) in enumerate(rows):
                at = bisect.bisect_right(starts, start) - 1
                end = parts[at][1] if at >= 0 and start < parts[at][1] else start + size
                following = rows[index + 1][1] if index + 1 < len(rows) else end
                key = (name, contributor)
                view[key] = view.get(key, 0) + (min(following, end) - start if following > start else size)
        return view


def _byte_count(value) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def _text(value) -> Optional[str]:
    return value if isinstance(value, str) else None


def origin_of(object_file, archive) -> tuple:
    """(the name an object file is known by, its archive's file name or None)."""
    archive = _text(archive)
    return (contributor_name(_text(object_file), archive),
            posixpath.basename(archive.replace("\\", "/")) if archive else None)


def _added_up(pairs: Iterable[tuple]) -> dict:
    """name -> bytes from (name, bytes) pairs, names given twice added up; pairs whose name is
    not text or whose bytes are not a byte count left out."""
    table: dict = {}
    for name, size in pairs:
        name, size = _text(name), _byte_count(size)
        if name is not None and size is not None:
            table[name] = table.get(name, 0) + size
    return table


def _source_tables(files: Any, folders: Any) -> tuple:
    """(file -> bytes, folder -> bytes) of the source view's rows, or (None, None) without one."""
    if not (isinstance(files, list) and isinstance(folders, list)):
        return None, None
    return tuple({row["path"]: row["size"] for row in rows if isinstance(row, dict)
                  and isinstance(row.get("path"), str) and _byte_count(row.get("size")) is not None}
                 for rows in (files, folders))


def _region_tables(result: Footprint, trends: Any) -> None:
    """Used bytes and capacity per region, from the report's region rows (a dict either way)."""
    visualization = trends.get("visualization") if isinstance(trends, dict) else None
    rows = visualization.get("regions") if isinstance(visualization, dict) else None
    if not isinstance(rows, list):
        return
    used = {row["name"]: _byte_count(row.get("used_bytes")) for row in rows
            if isinstance(row, dict) and isinstance(row.get("name"), str)}
    if all(value is not None for value in used.values()) and (used or not rows):
        result.regions = used
    result.region_sizes = {row["name"]: row.get("capacity_bytes") for row in rows
                           if isinstance(row, dict) and isinstance(row.get("name"), str)
                           and _byte_count(row.get("capacity_bytes")) is not None}


def _bounds(parts_of: Iterable[tuple]) -> dict:
    """Section name -> its input sections' (start, end), sorted; the section's own bounds when
    it lists none. `parts_of`: (name, address, size, [(address, size) of its inputs with bytes])."""
    bounds: dict = {}
    for name, start, size, parts in parts_of:
        name, start, size = _text(name), _byte_count(start), _byte_count(size)
        if name is None or start is None or size is None:
            continue
        spans = sorted((address, address + length) for address, length in parts)
        bounds.setdefault(name, spans or [(start, start + size)])
    return bounds


def _symbol_tables(result: Footprint, tables: tuple, sections_bounds: Callable[[], dict]) -> Footprint:
    """`tables`: what `symbol_tables` gives of the build's symbols."""
    (result.symbols, result.objects, result.archives, result.exact, placed) = tables
    if result.exact:
        result.placed, result.input_bounds = placed, sections_bounds
    return result


def report_footprint(report, sources=None) -> Footprint:
    """The byte tables of an `AnalysisReport` of this run, with its build's source view (or
    without one, or its NoSources)."""
    result = Footprint()
    if hasattr(sources, "files"):
        result.files, result.folders = _source_tables([row.as_json() for row in sources.files],
                                                      [row.as_json() for row in sources.folders])
    summary = report.summary
    result.flash, result.ram = _byte_count(summary.total_flash), _byte_count(summary.total_ram)
    _region_tables(result, report.trends)
    result.sections = _added_up((section.name, section.size) for section in report.sections)
    result.components = _added_up((component.name, component.total_bytes) for component in report.components)
    sections = report.sections
    return _symbol_tables(result, symbol_tables(report.symbols, origin_of), lambda: _bounds(
        (s.name, s.address, s.size, [(p.address, p.size) for p in s.inputs if not p.is_fill and p.size])
        for s in sections))


def document_footprint(document: dict, parts=None) -> Footprint:
    """The byte tables of a stored JSON report's document; `parts`: its symbols' tables and its
    sections' inputs where the native reader took them (`baseline_file.StoredParts`), the
    document then holding neither."""
    result = Footprint()
    result.files, result.folders = _source_tables(document.get("sources"), document.get("source_folders"))
    summary = document.get("summary") or {}
    result.flash, result.ram = _byte_count(summary.get("total_flash")), _byte_count(summary.get("total_ram"))
    _region_tables(result, document.get("trends") or {})
    sections = document.get("sections") or ()
    result.sections = _added_up((section.get("name"), section.get("size")) for section in sections)
    result.components = _added_up((component.get("name"), component.get("total_bytes"))
                                  for component in document.get("components") or ())
    if parts is None:
        tables = symbol_tables(document.get("symbols") or [], origin_of)
        inputs = lambda: [s.get("inputs") for s in sections]  # noqa: E731
    else:
        tables, inputs = parts.symbol_tables, parts.section_inputs
    return _symbol_tables(result, tables, lambda: _bounds(
        (s.get("name"), s.get("address"), s.get("size"),
         [(_byte_count(p.get("address")) or 0, _byte_count(p.get("size")))
          for p in listed or () if not p.get("is_fill") and _byte_count(p.get("size"))])
        for s, listed in zip(sections, inputs())))
