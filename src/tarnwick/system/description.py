"""The system description: the `[system]` table of tarnwick.toml, its `[[system.images]]`,
`[[system.regions]]`, `[[system.partitions]]` and `[system.mcuboot]`. Paths are relative to
the configuration file. Every error names the file, the line where the TOML says it, and the
key."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import Any, Optional

from tarnwick.config import ConfigError
from tarnwick.config_file import TableReader
from tarnwick.system.mcuboot import KEY_TYPES, MODES, WRITE_SIZES, Mcuboot, tlv_bytes
from tarnwick.system.partitions import Partition, parse_size

ROLES = ("bootloader", "application", "secure", "non-secure", "per-core")
_IMAGE_KEYS = {"name", "map", "elf", "role", "partition", "core", "config", "target", "stack_usage", "secondary",
               "mcuboot", "devicetree"}
_SYSTEM_KEYS = {"name", "partitions", "images", "regions", "mcuboot", "secure_block", "secure_ram_block",
                "partition_table_offset", "partitions_base"}


@dataclass(frozen=True)
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


@dataclass(frozen=True)
class SharedRegion:
    name: str
    shared: bool
    start: Optional[int] = None
    size: Optional[int] = None


@dataclass
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

    def line_of(self, table: str, index: int, key: Optional[str] = None) -> Optional[int]:
        return locate(self.text, table, index, key)

    def fail(self, message: str, table: str = "system", index: int = 0, key: Optional[str] = None) -> ConfigError:
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


def _size(r: TableReader, value: Any, key: str) -> int:
    if isinstance(value, str):
        parsed = parse_size(value)
        if parsed is None:
            r.fail(key, f"{value!r} is not a size (bytes, 0x..., or with K or M)")
        value = parsed
    return r.integer(value, key, minimum=1)


def _located(description: SystemDescription, table: str, index: int, key: Optional[str], error: ConfigError):
    """The error with the line of the key that caused it."""
    line = description.line_of(table, index, key)
    return ConfigError(error.path, str(error)[len(error.path) + 2:], line) if line is not None else error


def read_description(data: dict, path: str, text: str, project_name: str) -> SystemDescription:
    """The `[system]` table of a configuration's TOML `data` (`text`: the same, to find lines)."""
    if "system" not in data:
        raise ConfigError(path, "no [system] table: `tarnwick system` needs the images of the system, "
                          "each as a [[system.images]] table")
    r = TableReader(path)
    description = SystemDescription(path, project_name, [], text=text)
    here = os.path.dirname(os.path.abspath(path))

    def where(table: str, index: int = 0, key: Optional[str] = None):
        def check(step):
            try:
                return step()
            except ConfigError as error:
                raise _located(description, table, index, key, error) from None
        return check

    system = where("system")(lambda: r.table(data["system"], "system", _SYSTEM_KEYS))
    description.name = where("system", key="name")(
        lambda: r.text(system["name"], "system.name")) if "name" in system else project_name
    if "partitions" in system:  # files (a string, or strings), or [[system.partitions]] tables, or both
        given = system["partitions"]
        items = [given] if isinstance(given, (str, dict)) else given
        if not isinstance(items, list):
            raise description.fail("system.partitions: must be a path, a list of paths or [[system.partitions]] "
                                   "tables", "system", 0, "partitions")
        tables = 0
        for index, item in enumerate(items):
            if isinstance(item, dict):
                description.partitions.append(_partition(r, description, tables, item))
                tables += 1
            else:
                name = where("system", key="partitions")(lambda: r.text(item, f"system.partitions[{index}]"))
                description.partition_files.append((os.path.join(here, name),
                                                    description.line_of("system", 0, "partitions")))
    for key in ("secure_block", "secure_ram_block"):
        if key in system:
            setattr(description, key, where("system", key=key)(lambda key=key: _size(r, system[key], f"system.{key}")))
    if "partition_table_offset" in system:
        description.partition_table_offset = where("system", key="partition_table_offset")(
            lambda: r.integer(system["partition_table_offset"], "system.partition_table_offset"))
    if "partitions_base" in system:
        description.partitions_base = where("system", key="partitions_base")(
            lambda: r.integer(system["partitions_base"], "system.partitions_base"))

    images = where("system")(lambda: system.get("images", []))
    if not isinstance(images, list) or not images:
        raise description.fail("system.images: give each image of the system as a [[system.images]] table "
                               "(name, map and/or elf, role, partition)")
    names: set = set()
    for index, item in enumerate(images):
        key = f"system.images[{index}]"
        check = where("system.images", index)
        check(lambda: r.table(item, key, _IMAGE_KEYS, ("name", "role")))
        name = where("system.images", index, "name")(lambda: r.text(item["name"], f"{key}.name"))
        if name in names:
            raise description.fail(f"{key}.name: image {name!r} is given twice", "system.images", index, "name")
        names.add(name)
        role = where("system.images", index, "role")(lambda: r.text(item["role"], f"{key}.role"))
        if role not in ROLES:
            raise description.fail(f"{key}.role: {role!r} is not one of {', '.join(ROLES)}", "system.images",
                                   index, "role")
        paths = {}
        for part in ("map", "elf", "config", "devicetree"):
            if part in item:
                given = where("system.images", index, part)(lambda part=part: r.text(item[part], f"{key}.{part}"))
                paths[part] = os.path.join(here, given)
        if "map" not in paths and "elf" not in paths:
            raise description.fail(f"{key} ({name}): give its map or its ELF file (map = ..., elf = ...)",
                                   "system.images", index)
        text_of = {part: where("system.images", index, part)(lambda part=part: r.text(item[part], f"{key}.{part}"))
                   for part in ("partition", "core", "target", "secondary") if part in item}
        if "partition" not in text_of and "devicetree" not in paths:
            raise description.fail(f"{key} ({name}) names no partition: give partition = \"...\" (or its "
                                   "devicetree, whose chosen code partition it is)", "system.images", index)
        folders = where("system.images", index, "stack_usage")(
            lambda: r.texts(item.get("stack_usage", []), f"{key}.stack_usage"))
        signed = where("system.images", index, "mcuboot")(
            lambda: r.boolean(item["mcuboot"], f"{key}.mcuboot")) if "mcuboot" in item else None
        description.images.append(ImageSpec(
            name, role, paths.get("map"), paths.get("elf"), text_of.get("partition"), text_of.get("core"),
            paths.get("config"), text_of.get("target"), tuple(os.path.join(here, f) for f in folders),
            text_of.get("secondary"), signed, paths.get("devicetree"), description.line_of("system.images", index)))

    for index, item in enumerate(where("system")(lambda: system.get("regions", []))
                                 if isinstance(system.get("regions", []), list) else [system["regions"]]):
        key = f"system.regions[{index}]"
        check = where("system.regions", index)
        check(lambda: r.table(item, key, {"name", "shared", "start", "size"}, ("name",)))
        description.regions.append(SharedRegion(
            where("system.regions", index, "name")(lambda: r.text(item["name"], f"{key}.name")),
            where("system.regions", index, "shared")(lambda: r.boolean(item.get("shared", False), f"{key}.shared")),
            where("system.regions", index, "start")(lambda: r.integer(item["start"], f"{key}.start"))
            if "start" in item else None,
            where("system.regions", index, "size")(lambda: _size(r, item["size"], f"{key}.size"))
            if "size" in item else None))

    if "mcuboot" in system:
        _mcuboot(r, description, system["mcuboot"], where)
    return description


def _partition(r: TableReader, description: SystemDescription, index: int, item: Any) -> Partition:
    key = f"system.partitions[{index}]"
    try:
        r.table(item, key, {"name", "start", "size", "device", "kind", "mapped"}, ("name", "start", "size"))
        name = r.text(item["name"], f"{key}.name")
        kind = item.get("kind", "flash")
        if kind not in ("flash", "ram"):
            r.fail(f"{key}.kind", f"must be flash or ram, not {kind!r}")
        line = description.line_of("system.partitions", index)
        return Partition(name, r.integer(item["start"], f"{key}.start"), _size(r, item["size"], f"{key}.size"),
                         r.text(item.get("device", "flash" if kind == "flash" else "ram"), f"{key}.device"), kind,
                         r.boolean(item.get("mapped", True), f"{key}.mapped"), (), (),
                         f"{description.path}:{line}" if line else description.path)
    except ConfigError as error:
        problem = str(error)[len(error.path) + 2:]
        field_name = problem.split(":", 1)[0].rsplit(".", 1)[-1]
        raise ConfigError(error.path, problem, description.line_of("system.partitions", index, field_name)
                          or description.line_of("system.partitions", index)) from None


def _mcuboot(r: TableReader, description: SystemDescription, value: Any, where) -> None:
    check = where("system.mcuboot")
    table = check(lambda: r.table(value, "system.mcuboot", {"mode", "write_size", "sector_size", "max_sectors",
                                                              "header_size", "tlv_bytes", "key", "max_align"},
                                  ("mode",)))
    mode = where("system.mcuboot", 0, "mode")(lambda: r.text(table["mode"], "system.mcuboot.mode"))
    if mode not in MODES:
        raise description.fail(f"system.mcuboot.mode: {mode!r} is not one of {', '.join(MODES)}", "system.mcuboot",
                               0, "mode")
    given: dict = {"mode": mode}
    for key in ("write_size", "sector_size", "max_sectors", "header_size", "tlv_bytes", "max_align"):
        if key in table:
            given[key] = where("system.mcuboot", 0, key)(lambda key=key: _size(r, table[key], f"system.mcuboot.{key}"))
    if "write_size" in given and given["write_size"] not in WRITE_SIZES:
        raise description.fail(f"system.mcuboot.write_size: {given['write_size']} is not one of "
                               f"{', '.join(map(str, WRITE_SIZES))}", "system.mcuboot", 0, "write_size")
    if "max_align" in given and given["max_align"] not in (8, 16, 32):
        raise description.fail("system.mcuboot.max_align: must be 8, 16 or 32", "system.mcuboot", 0, "max_align")
    if "key" in table:
        key_type = where("system.mcuboot", 0, "key")(lambda: r.text(table["key"], "system.mcuboot.key"))
        if key_type not in KEY_TYPES:
            raise description.fail(f"system.mcuboot.key: {key_type!r} is not one of "
                                   f"{', '.join(k for k in KEY_TYPES if k)}", "system.mcuboot", 0, "key")
        given["key"] = key_type
    description.mcuboot_given = given


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
