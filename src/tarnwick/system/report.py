"""The records of a system report, as every renderer shows them and as its JSON stores them (a
stored system report reads back into the same records, for `diff` and `--baseline`)."""

from __future__ import annotations

from tarnwick.domain import to_jsonable
from tarnwick.support.records import field, fields_of, record
from tarnwick.toolchains.errors import ReportFileError

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Any, Optional

SYSTEM_SCHEMA = "1.0"


@record
class RegionUse:
    """A memory region of one image's map and its use, as its own report counts it."""

    name: str
    category: str
    origin: int
    length: int
    used_bytes: int


@record
class ImageRow:
    name: str
    role: str
    core: Optional[str]
    partition: str
    secondary: Optional[str]
    flash_bytes: int  # its report's total flash
    ram_bytes: int  # its report's total RAM
    stored_bytes: int  # the bytes it stores in flash (its load image), from the ELF's program headers or its map
    load_start: Optional[int]
    load_end: Optional[int]
    stored_from: str  # "ELF program headers", "map"
    map: Optional[str]
    elf: Optional[str]
    toolchain: str
    regions: list = field(default_factory=list)  # RegionUse
    issues: list = field(default_factory=list)  # its own report's findings
    gates: list = field(default_factory=list)  # its own policies' gates (gates.PolicyGate)
    stack: Optional[dict] = None  # its worst-case stack, where its stack files were read
    signed_bytes: Optional[int] = None  # header, code and TLV area, for an image in an MCUboot slot
    warnings: list = field(default_factory=list)
    stored_ranges: list = field(default_factory=list)  # [start, end) of its stored bytes, joined where they touch
    ram_ranges: list = field(default_factory=list)  # [start, end) of its sections in RAM, joined

    @property
    def failed(self) -> bool:
        return any(gate.failed for gate in self.gates)


@record
class PartitionRow:
    """One line of the partition table. `used_bytes`: from the partition's start to the end of
    its image's stored bytes (the signed image in a slot), None without an image;
    `trailer_bytes`: what MCUboot keeps at the slot's end (and, by mode, whole sectors and a
    spare one); `free_bytes`: what is left, negative when the image does not fit."""

    name: str
    start: int
    size: int
    device: str
    kind: str
    image: Optional[str] = None
    slot: Optional[str] = None  # "primary" or "secondary" for an MCUboot slot
    used_bytes: Optional[int] = None
    trailer_bytes: Optional[int] = None
    free_bytes: Optional[int] = None
    status: str = "no image"
    reserved: str = ""  # how trailer_bytes is made up
    source: str = ""
    detail: str = ""
    parts: tuple = ()
    mapped: bool = True

    @property
    def end(self) -> int:
        return self.start + self.size


@record
class Overlap:
    kind: str  # "flash" or "ram"
    a: str
    b: str
    start: int
    size: int


@record
class Gap:
    device: str
    start: int
    size: int


@record
class SharedPart:
    image: str
    start: int
    size: int  # from its first used byte in the region to its last
    used_bytes: int  # the bytes of its sections there


@record
class RegionShare:
    """A RAM region of [[system.regions]] and each image's part of it."""

    name: str
    start: int
    size: int
    shared: bool
    parts: list = field(default_factory=list)  # SharedPart


@record
class CoreRam:
    core: str
    images: list  # the images that run on it at the same time
    ram_bytes: int  # theirs together, their shared regions' bytes left out
    bootloader_bytes: Optional[int] = None  # a bootloader's, which runs before them


@record
class SecureHeadroom:
    image: str
    memory: str  # "flash" or "ram"
    block: int
    end: int  # the end of its bytes
    boundary: int  # the next block boundary
    headroom_bytes: int
    blocks: int  # the blocks it covers from its first byte
    veneers: Optional[tuple] = None  # (start, end) of its non-secure-callable veneers


@record
class SystemReport:
    name: str
    images: list  # ImageRow
    partitions: list  # PartitionRow
    overlaps: list = field(default_factory=list)
    gaps: list = field(default_factory=list)
    regions: list = field(default_factory=list)  # RegionShare
    ram: list = field(default_factory=list)  # CoreRam
    shared_ram_bytes: int = 0
    secure: list = field(default_factory=list)  # SecureHeadroom
    mcuboot: Optional[dict] = None
    issues: list = field(default_factory=list)  # the system's findings, then each image's as IMAGE/ID
    notes: list = field(default_factory=list)
    timestamp: str = ""
    tool_version: str = ""

    @property
    def flash_bytes(self) -> int:
        return sum(image.flash_bytes for image in self.images)

    @property
    def stored_bytes(self) -> int:
        return sum(image.stored_bytes for image in self.images)

    @property
    def ram_bytes(self) -> int:
        return sum(image.ram_bytes for image in self.images)

    def system_issues(self) -> list:
        return [issue for issue in self.issues if "/" not in issue.id]


def _row(record) -> dict:
    return {name: to_jsonable(getattr(record, name)) for name in fields_of(record)}


def image_json(image: ImageRow) -> dict:
    document = _row(image)
    document["gates"] = [gate.as_json() for gate in image.gates]
    document["verdict"] = "failed" if image.failed else "passed"
    return document


def system_json(report: SystemReport) -> dict:
    """The `system` object of the JSON report."""
    return {
        "name": report.name,
        "images": [image_json(image) for image in report.images],
        "partitions": [_row(row) for row in report.partitions],
        "overlaps": [_row(row) for row in report.overlaps],
        "gaps": [_row(row) for row in report.gaps],
        "regions": [_row(row) for row in report.regions],
        "ram": {"cores": [_row(row) for row in report.ram], "shared_bytes": report.shared_ram_bytes},
        "totals": {"flash_bytes": report.flash_bytes, "stored_bytes": report.stored_bytes,
                   "ram_bytes": report.ram_bytes},
        "secure": [_row(row) for row in report.secure],
        "mcuboot": report.mcuboot,
        "notes": list(report.notes),
    }


# --- reading a stored system report back ---------------------------------------------------------

class StoredSystemError(ReportFileError):
    """A JSON file that cannot serve as a system report; `str()` names the file."""


def _records(items: Any, build) -> list:
    if items is None:
        return []
    if not isinstance(items, list) or not all(isinstance(item, dict) for item in items):
        raise ValueError("a list of records holds something else")
    return [build(item) for item in items]


_SORTS = {"int": (int,), "str": (str,), "bool": (bool,), "list": (list,), "tuple": (list, tuple), "dict": (dict,)}


def _checked(name: str, annotation: str, value: Any) -> Any:
    optional = annotation.startswith("Optional[")
    sort = annotation[9:-1] if optional else annotation
    if value is None and optional:
        return None
    kinds = _SORTS.get(sort)
    if kinds is None:
        return value
    if not isinstance(value, kinds) or (sort == "int" and isinstance(value, bool)):
        raise ValueError(f"{name} is {type(value).__name__}, not {sort}")
    return tuple(value) if sort == "tuple" else value


def _ranges(value: Any) -> list:
    """[start, end) pairs of whole numbers, as stored."""
    if not isinstance(value, list) or not all(
            isinstance(pair, list) and len(pair) == 2 and all(isinstance(v, int) and not isinstance(v, bool)
                                                              for v in pair) for pair in value):
        raise ValueError("an address range is not two whole numbers")
    return value


def _strings(value: Any) -> list:
    if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
        raise ValueError("a list of names holds something else")
    return value


_MCUBOOT_NUMBERS = ("write_size", "sector_size", "max_sectors", "header_size", "tlv_bytes", "max_align")
_TRAILER_NUMBERS = ("status_bytes", "flag_bytes", "magic_bytes", "total_bytes")


def _mcuboot(value: Any) -> Optional[dict]:
    if value is None:
        return None
    numbers = lambda table, keys: isinstance(table, dict) and all(  # noqa: E731
        isinstance(table.get(k), int) and not isinstance(table.get(k), bool) for k in keys)
    if not (numbers(value, _MCUBOOT_NUMBERS) and numbers(value.get("trailer"), _TRAILER_NUMBERS)
            and isinstance(value.get("mode"), str) and isinstance(value.get("key"), (str, type(None)))):
        raise ValueError("mcuboot is not the geometry and trailer of a slot")
    return value


def _fill(kind, item: dict, **special):
    """A record of `kind` from its JSON object, each field checked to be of its sort."""
    import dataclasses  # a stored system report is read back rarely; other runs need not load it

    values = {}
    for f in dataclasses.fields(kind):
        if f.name in special:
            values[f.name] = special[f.name](item.get(f.name))
        elif f.name in item:
            values[f.name] = _checked(f.name, str(f.type), item[f.name])
        elif f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING:
            raise KeyError(f.name)
    return kind(**values)


def report_from_json(document: dict, path: str) -> SystemReport:
    """The records of a stored system report (`document`: the whole JSON file)."""
    from tarnwick.compare.gates import PolicyGate
    from tarnwick.compare.stored_report import _issue

    system = document.get("system")
    if not isinstance(system, dict):
        raise StoredSystemError(f"{path}: not a system report (no system object)")
    try:
        def gate(item: dict) -> PolicyGate:
            return PolicyGate(_checked("policy", "str", item.get("policy")),
                              _checked("failed", "bool", item.get("failed")), tuple(_strings(item.get("findings"))))

        images = _records(system.get("images"), lambda item: _fill(
            ImageRow, item, regions=lambda v: _records(v, lambda r: _fill(RegionUse, r)),
            issues=lambda v: _records(v, _issue), gates=lambda v: _records(v, gate),
            stored_ranges=lambda v: _ranges(v or []), ram_ranges=lambda v: _ranges(v or [])))
        ram = system.get("ram") if isinstance(system.get("ram"), dict) else {}
        metadata = document.get("metadata") if isinstance(document.get("metadata"), dict) else {}
        return SystemReport(
            _checked("name", "str", system.get("name", "system")), images,
            _records(system.get("partitions"), lambda item: _fill(PartitionRow, item,
                                                                  parts=lambda v: tuple(_strings(v or [])))),
            _records(system.get("overlaps"), lambda item: _fill(Overlap, item)),
            _records(system.get("gaps"), lambda item: _fill(Gap, item)),
            _records(system.get("regions"), lambda item: _fill(
                RegionShare, item, parts=lambda v: _records(v, lambda p: _fill(SharedPart, p)))),
            _records(ram.get("cores"), lambda item: _fill(CoreRam, item, images=_strings)),
            _checked("shared_bytes", "int", ram.get("shared_bytes", 0)),
            _records(system.get("secure"), lambda item: _fill(
                SecureHeadroom, item, veneers=lambda v: tuple(_ranges([v])[0]) if v is not None else None)),
            _mcuboot(system.get("mcuboot")),
            _records(document.get("issues"), _issue),
            [note for note in system.get("notes", []) if isinstance(note, str)],
            str(metadata.get("analysis_timestamp", "")), str(metadata.get("tool_version", "")))
    except (AttributeError, KeyError, TypeError, ValueError) as exc:  # a member of another shape than ours
        raise StoredSystemError(f"{path}: not a system report this version reads ({type(exc).__name__}: {exc})") \
            from None
