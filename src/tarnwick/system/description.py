"""The system description: the `[system]` table of tarnwick.toml, its `[[system.images]]`,
`[[system.regions]]`, `[[system.partitions]]` and `[system.mcuboot]`. Paths are relative to
the configuration file. Every error names the file, the line where the TOML says it, and the
key."""

from __future__ import annotations

import os
import re
from typing import Any, Optional

from tarnwick.config import ConfigError
from tarnwick.support.config_file import TableReader
from tarnwick.support.records import field, record
from tarnwick.system.mcuboot import KEY_TYPES, MODES, WRITE_SIZES, Mcuboot, tlv_bytes
from tarnwick.system.partitions import Partition, parse_size

ROLES = ("bootloader", "application", "secure", "non-secure", "per-core")
_IMAGE_KEYS = {"name", "map", "elf", "role", "partition", "core", "config", "target", "stack_usage", "secondary",
               "mcuboot", "devicetree"}
_SYSTEM_KEYS = {"name", "partitions", "images", "regions", "mcuboot", "secure_block", "secure_ram_block",
                "partition_table_offset", "partitions_base"}


@record(frozen=True)
class ImageSpec:
    name: str
    role: str
    map: Optional[str]  # absolute paths, as found relative to the configuration
    elf: Optional[str]
    partition: Optional[str]  # None: the one its devicetree chose
    core: Optional[str] = None
    config: Optional[str] = None  # a configuration file of its own
    target: Optional[str] = None  # its [targets.NAME] table (default: its name)
    stack_folders: tuple = ()
    secondary: Optional[str] = None  # the slot its upgrade is written to
    signed: Optional[bool] = None  # an MCUboot image (None: every image but a bootloader, under [system.mcuboot])
    devicetree: Optional[str] = None  # its own final devicetree, whose partitions and chosen code partition it adds
    line: Optional[int] = None  # where [[system.images]] gives it

    @property
    def input(self) -> str:
        return self.map or self.elf


@record(frozen=True)
class SharedRegion:
    name: str
    shared: bool
    start: Optional[int] = None
    size: Optional[int] = None


@record
class SystemDescription:
    path: str  # the configuration file
    name: str
    images: list
    partition_files: list = field(default_factory=list)  # (path, line)
    partitions: list = field(default_factory=list)  # Partition of [[system.partitions]]
    regions: list = field(default_factory=list)  # SharedRegion
    mcuboot: Optional[Mcuboot] = None
    mcuboot_given: dict = field(default_factory=dict)  # the keys [system.mcuboot] gives (geometry may come later)
    secure_block: Optional[int] = None
    secure_ram_block: Optional[int] = None
    partition_table_offset: int = 0x8000
    partitions_base: Optional[int] = None
    text: str = ""  # the configuration's text, to say where a key is

    def line_of(self, table: str, index: int = 0, key: Optional[str] = None) -> Optional[int]:
        return locate(self.text, table, index, key)

    def fail(self, message: str, table: str = "system", index: int = 0, key: Optional[str] = None) -> ConfigError:
        """The error of a key, at the line of `key` in the `index`th `table` (or of the table)."""
        return ConfigError(self.path, message, self.line_of(table, index, key))


def locate(text: str, table: str, index: int = 0, key: Optional[str] = None) -> Optional[int]:
    """The line of `key` in the `index`th `[table]` or `[[table]]` of a TOML text (of the table's
    header where the key is not found there); None where the text does not show it so."""
    header = re.compile(r"^\s*\[\[?\s*" + re.escape(table).replace(r"\.", r"\s*\.\s*") + r"\s*\]\]?\s*(?:#.*)?$")
    any_header = re.compile(r"^\s*\[")
    count, inside, found = -1, False, None
    lines = text.splitlines()
    for number, line in enumerate(lines, 1):
        if header.match(line):
            count += 1
            inside = count == index
            if inside:
                found = number
                if key is None:
                    return number
            continue
        if any_header.match(line):
            if inside:
                return found
            inside = False
            continue
        if inside and key is not None and re.match(r"^\s*" + re.escape(key) + r"\s*=", line):
            return number
    if found is None and key is not None and index == 0:  # the key of a table whose header is not written
        dotted = table.split(".", 1)[1] if "." in table else None
        for number, line in enumerate(lines, 1):
            if dotted and re.match(r"^\s*" + re.escape(f"{dotted}.{key}") + r"\s*=", line):
                return number
    return found


_TABLES = ("system.images", "system.regions", "system.partitions", "system.mcuboot", "system")


class _Reader(TableReader):
    """A TableReader whose every error also names the line of the key it is about."""

    def __init__(self, path: str, text: str):
        super().__init__(path)
        self.source = text

    def line(self, key: str) -> Optional[int]:
        """The line of a dotted key (`system.images[1].role`): of the key where it is written, else
        of its table, else of the table holding it."""
        head = key.split(" ", 1)[0]
        table = next((t for t in _TABLES if head == t or head.startswith((t + "[", t + "."))), None)
        if table is None:
            return None
        rest, index = head[len(table):], 0
        numbered = re.match(r"^\[(\d+)\]", rest)
        if numbered:
            index, rest = int(numbered[1]), rest[numbered.end():]
        field_name = re.split(r"[.\[]", rest[1:])[0] if rest.startswith(".") else None
        parent, _, last = table.rpartition(".")
        return (locate(self.source, table, index, field_name)
                or (locate(self.source, parent, 0, last) if parent else None) or locate(self.source, "system"))

    def fail(self, key: str, reason: str):
        raise ConfigError(self.path, f"{key}: {reason}", self.line(key))

    def size(self, value: Any, key: str) -> int:
        if isinstance(value, str):
            parsed = parse_size(value)
            if parsed is None:
                self.fail(key, f"{value!r} is not a size (bytes, 0x..., or with K or M)")
            value = parsed
        return self.integer(value, key, minimum=1)

    def choice(self, value: Any, key: str, choices) -> Any:
        if value not in choices:
            self.fail(key, f"{value!r} is not one of {', '.join(str(c) for c in choices if c is not None)}")
        return value


def read_description(data: dict, path: str, text: str, project_name: str) -> SystemDescription:
    """The `[system]` table of a configuration's TOML `data` (`text`: the same, to find lines)."""
    if "system" not in data:
        raise ConfigError(path, "no [system] table: `tarnwick system` needs the images of the system, "
                          "each as a [[system.images]] table")
    r = _Reader(path, text)
    description = SystemDescription(path, project_name, [], text=text)
    here = os.path.dirname(os.path.abspath(path))
    system = r.table(data["system"], "system", _SYSTEM_KEYS)
    if "name" in system:
        description.name = r.text(system["name"], "system.name")
    given = system.get("partitions", [])  # files (a string, or strings), [[system.partitions]] tables, or both
    items = [given] if isinstance(given, (str, dict)) else given
    if not isinstance(items, list):
        r.fail("system.partitions", "must be a path, a list of paths or [[system.partitions]] tables")
    for index, item in enumerate(items):
        if isinstance(item, dict):
            description.partitions.append(_partition(r, len(description.partitions), item))
        else:
            name = r.text(item, f"system.partitions[{index}]")
            description.partition_files.append((os.path.join(here, name), r.line("system.partitions")))
    for key in ("secure_block", "secure_ram_block"):
        if key in system:
            setattr(description, key, r.size(system[key], f"system.{key}"))
    for key in ("partition_table_offset", "partitions_base"):
        if key in system:
            setattr(description, key, r.integer(system[key], f"system.{key}"))
    images = system.get("images", [])
    if not isinstance(images, list) or not images:
        r.fail("system.images", "give each image of the system as a [[system.images]] table (name, map and/or "
               "elf, role, partition)")
    for index, item in enumerate(images):
        wanted = _image(r, f"system.images[{index}]", item, here)
        if any(image.name == wanted.name for image in description.images):
            r.fail(f"system.images[{index}].name", f"image {wanted.name!r} is given twice")
        description.images.append(wanted)
    regions = system.get("regions", [])
    for index, item in enumerate(regions if isinstance(regions, list) else [regions]):
        key = f"system.regions[{index}]"
        r.table(item, key, {"name", "shared", "start", "size"}, ("name",))
        description.regions.append(SharedRegion(
            r.text(item["name"], f"{key}.name"), r.boolean(item.get("shared", False), f"{key}.shared"),
            r.integer(item["start"], f"{key}.start") if "start" in item else None,
            r.size(item["size"], f"{key}.size") if "size" in item else None))
    if "mcuboot" in system:
        description.mcuboot_given = _mcuboot(r, system["mcuboot"])
    return description


def _image(r: _Reader, key: str, item: Any, here: str) -> ImageSpec:
    r.table(item, key, _IMAGE_KEYS, ("name", "role"))
    name = r.text(item["name"], f"{key}.name")
    role = r.choice(r.text(item["role"], f"{key}.role"), f"{key}.role", ROLES)
    paths = {part: os.path.join(here, r.text(item[part], f"{key}.{part}"))
             for part in ("map", "elf", "config", "devicetree") if part in item}
    if "map" not in paths and "elf" not in paths:
        r.fail(key, f"{name}: give its map or its ELF file (map = ..., elf = ...)")
    texts = {part: r.text(item[part], f"{key}.{part}") for part in ("partition", "core", "target", "secondary")
             if part in item}
    if "partition" not in texts and "devicetree" not in paths:
        r.fail(key, f"{name} names no partition: give partition = \"...\" (or its devicetree, whose chosen code "
               "partition it is)")
    folders = r.texts(item.get("stack_usage", []), f"{key}.stack_usage")
    signed = r.boolean(item["mcuboot"], f"{key}.mcuboot") if "mcuboot" in item else None
    return ImageSpec(name, role, paths.get("map"), paths.get("elf"), texts.get("partition"), texts.get("core"),
                     paths.get("config"), texts.get("target"), tuple(os.path.join(here, f) for f in folders),
                     texts.get("secondary"), signed, paths.get("devicetree"), r.line(key))


def _partition(r: _Reader, index: int, item: Any) -> Partition:
    key = f"system.partitions[{index}]"
    r.table(item, key, {"name", "start", "size", "device", "kind", "mapped"}, ("name", "start", "size"))
    kind = r.choice(item.get("kind", "flash"), f"{key}.kind", ("flash", "ram"))
    line = r.line(key)
    return Partition(r.text(item["name"], f"{key}.name"), r.integer(item["start"], f"{key}.start"),
                     r.size(item["size"], f"{key}.size"), r.text(item.get("device", kind), f"{key}.device"), kind,
                     r.boolean(item.get("mapped", True), f"{key}.mapped"), (), (),
                     f"{r.path}:{line}" if line else r.path)


def _mcuboot(r: _Reader, value: Any) -> dict:
    table = r.table(value, "system.mcuboot", {"mode", "write_size", "sector_size", "max_sectors", "header_size",
                                              "tlv_bytes", "key", "max_align"}, ("mode",))
    given: dict = {"mode": r.choice(r.text(table["mode"], "system.mcuboot.mode"), "system.mcuboot.mode", MODES)}
    for key in ("write_size", "sector_size", "max_sectors", "header_size", "tlv_bytes", "max_align"):
        if key in table:
            given[key] = r.size(table[key], f"system.mcuboot.{key}")
    if "write_size" in given:
        r.choice(given["write_size"], "system.mcuboot.write_size", WRITE_SIZES)
    if "max_align" in given:
        r.choice(given["max_align"], "system.mcuboot.max_align", (8, 16, 32))
    if "key" in table:
        given["key"] = r.choice(r.text(table["key"], "system.mcuboot.key"), "system.mcuboot.key", KEY_TYPES)
    return given


def settle_mcuboot(description: SystemDescription, erase_block: Optional[int], write_block: Optional[int]) -> None:
    """The MCUboot geometry, with the flash's own (from its devicetree) where the table leaves it out."""
    given = dict(description.mcuboot_given)
    if not given:
        return
    given.setdefault("sector_size", erase_block)
    given.setdefault("write_size", write_block)
    for key, hint in (("sector_size", "the flash's erase block"), ("write_size", "the flash's write alignment")):
        if given[key] is None:
            raise description.fail(f"system.mcuboot.{key} is required ({hint}; the partition files do not say it)",
                                   "system.mcuboot")
    if given["write_size"] not in WRITE_SIZES:
        raise description.fail(f"system.mcuboot.write_size: the flash's write block {given['write_size']} is not "
                               f"one of {', '.join(map(str, WRITE_SIZES))}: give write_size", "system.mcuboot")
    key = given.pop("key", None)
    given.setdefault("tlv_bytes", tlv_bytes(key))
    description.mcuboot = Mcuboot(key=key, **given)
