"""Partitions: the named ranges of a flash (or RAM) device that a product's images live in, as
the build's own files declare them. Each file kind has its reader in `tarnwick.system.readers`;
all of them fill the same records, and every error names the file and the line."""

from __future__ import annotations

import re
from typing import Optional

from tarnwick.support.files import FileProblem, read_limited
from tarnwick.support.records import field, record, replace
from tarnwick.toolchains.errors import MapParseError

# A partition table is a few kilobytes; a final devicetree some hundreds. More is a wrong path.
PARTITION_FILE_LIMIT = 16 * 1024 * 1024
_SIZE = re.compile(r"^\s*(0[xX][0-9a-fA-F]+|[0-9]+)\s*([kKmM]?)\s*$")


class PartitionFileError(MapParseError):
    """A partition file that cannot be read, an input of the build as a map is; `str()` is
    "path[:line]: reason"."""


@record(frozen=True)
class Partition:
    """`device`: the memory its addresses are in (a flash, a RAM, an external flash); `mapped`:
    whether those are the addresses the CPU, and so an image's own link, uses (internal flash
    is; an external flash's offsets or ESP-IDF's cache-mapped flash are not, and an image is
    fitted into such a partition by its size alone). `parts`: the partitions it is made of (a
    partition manager's span); `source`: "file:line" where it is declared."""

    name: str
    start: int
    size: int
    device: str = "flash"
    kind: str = "flash"  # "flash" or "ram"
    mapped: bool = True
    aliases: tuple = ()
    parts: tuple = ()
    source: str = ""
    detail: str = ""  # what the file says it is for (an ESP-IDF type and subtype)

    @property
    def end(self) -> int:
        return self.start + self.size

    def answers_to(self, name: str) -> bool:
        return name == self.name or name in self.aliases


@record(frozen=True)
class Device:
    """A memory partitions are declared in, where a file says its extent and write geometry."""

    name: str
    start: Optional[int] = None
    size: Optional[int] = None
    erase_block: Optional[int] = None  # the sector an MCUboot swap works in
    write_block: Optional[int] = None  # the flash's write alignment


@record
class PartitionLayout:
    """Everything the partition files said: the partitions, the devices they are in, and the
    partition a devicetree chose for the code (`zephyr,code-partition`)."""

    partitions: list = field(default_factory=list)
    devices: dict = field(default_factory=dict)  # name -> Device
    chosen_code: Optional[str] = None

    def named(self, name: str) -> Optional[Partition]:
        return next((p for p in self.partitions if p.answers_to(name)), None)

    def same(self, partition: Partition) -> Optional[Partition]:
        """This layout's record of a partition another file declares (by its device and range)."""
        return next((p for p in self.partitions if (p.device, p.start, p.size, p.name.rsplit("/", 1)[-1])
                     == (partition.device, partition.start, partition.size, partition.name)), None)

    def merge(self, other: "PartitionLayout", where: str) -> None:
        """Adds another file's partitions: one declared in both must be the same range (the
        images of a sysbuild each carry the board's devicetree). A name another device already
        has (each core's flash with its boot_partition) becomes DEVICE/NAME."""
        for partition in other.partitions:
            known = next((p for p in self.partitions if p.name == partition.name), None)
            if known is not None and known.device != partition.device:
                partition = replace(partition, name=f"{partition.device}/{partition.name}")
                known = next((p for p in self.partitions if p.name == partition.name), None)
            if known is None:
                self.partitions.append(partition)
            elif (known.device, known.start, known.size) != (partition.device, partition.start, partition.size):
                raise PartitionFileError(where, f"partition {partition.name} is {_range(partition)} here "
                                         f"({partition.source}) but {_range(known)} in {known.source}")
        for name, device in other.devices.items():
            self.devices.setdefault(name, device)


def _range(partition: Partition) -> str:
    return f"0x{partition.start:08x}+0x{partition.size:x} in {partition.device}"


def parse_size(text: str) -> Optional[int]:
    """"0x8000", "32768", "32K", "1M" (as ESP-IDF and MCUboot's tools write sizes), or None."""
    found = _SIZE.match(text)
    if found is None:
        return None
    scale = {"": 1, "k": 1024, "m": 1024 * 1024}[found[2].lower()]
    return int(found[1], 0) * scale


def read_text(path: str) -> str:
    """A partition file's text; what keeps it from being read is a PartitionFileError."""
    try:
        return read_limited(path, PARTITION_FILE_LIMIT).decode("utf-8-sig")
    except FileProblem as exc:
        raise PartitionFileError(path, str(exc)) from None
    except UnicodeDecodeError as exc:
        line = None
        try:
            line = read_limited(path, PARTITION_FILE_LIMIT)[:exc.start].count(b"\n") + 1
        except FileProblem:
            pass
        raise PartitionFileError(path, "not UTF-8 text", line) from None
