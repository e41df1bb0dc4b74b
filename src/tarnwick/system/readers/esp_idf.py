"""ESP-IDF's partitions.csv: name, type, subtype, offset, size, flags. Read by the rules of
the partition table tool: an omitted offset follows the partition before it, aligned to 64 KiB
for an app and 4 KiB for anything else, the first one after the table (at `table_offset`,
0x8000 by default, one 4 KiB sector); a negative size runs up to that offset; sizes and offsets
may end in K or M. Offsets are flash offsets: the CPU reaches an app through its cache, so an
image is fitted by its size unless `base` says where offset 0 is in the address space."""

from __future__ import annotations

from typing import Optional

from tarnwick.support.figures import FigureTooLong, figure
from tarnwick.system.partitions import Device, Partition, PartitionFileError, PartitionLayout

TABLE_SIZE = 0x1000
_TYPES = {"app": 0x00, "data": 0x01, "bootloader": 0x02, "partition_table": 0x03}
_FLAGS = {"encrypted", "readonly"}
NAME_LIMIT = 16  # the table stores a name in 16 bytes, its terminating zero included


def _alignment(kind: int) -> int:
    return 0x10000 if kind == _TYPES["app"] else 0x1000


def _number(path: str, text: str, line: int, what: str) -> Optional[int]:
    if text == "":
        return None
    value, scale = text, 1
    if value[-1:].lower() in ("k", "m"):
        value, scale = value[:-1], 1024 if value[-1].lower() == "k" else 1024 * 1024
    try:
        return figure(value, 0) * scale
    except FigureTooLong as exc:
        raise PartitionFileError(path, f"{what}: {exc}", line) from None
    except ValueError:
        raise PartitionFileError(path, f"{what} {text!r} is not a number of bytes", line) from None


def read_partition_csv(path: str, text: str, table_offset: int = 0x8000, base: Optional[int] = None) -> PartitionLayout:
    layout = PartitionLayout()
    last_end = table_offset + TABLE_SIZE
    seen: dict = {}
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        fields = [field.strip() for field in (line + ",,,,,").split(",")]
        name, kind_text, subtype, offset_text, size_text, flags = fields[:6]
        if not name:
            raise PartitionFileError(path, "a partition without a name", number)
        if len(name) >= NAME_LIMIT:
            raise PartitionFileError(path, f"partition name {name!r} is longer than {NAME_LIMIT - 1} characters",
                                     number)
        if name in seen:
            raise PartitionFileError(path, f"partition {name} is declared twice (also on line {seen[name]})", number)
        seen[name] = number
        kind = _TYPES.get(kind_text)
        if kind is None:
            kind = _number(path, kind_text, number, "type") if kind_text else None
            if kind is None or not 0x40 <= kind <= 0xFE:
                raise PartitionFileError(path, f"type {kind_text!r} is not app, data, bootloader, partition_table "
                                         "or a custom type from 0x40 to 0xFE", number)
        unknown = [flag for flag in (f.strip() for f in flags.split(":")) if flag and flag not in _FLAGS]
        if unknown or any(field for field in fields[6:]):
            raise PartitionFileError(path, f"unknown flag {(unknown or fields[6:])[0]!r} (known: encrypted, "
                                     "readonly)", number)
        offset = _number(path, offset_text, number, "offset")
        size = _number(path, size_text, number, "size")
        if size is None:
            raise PartitionFileError(path, f"partition {name} has no size", number)
        align = _alignment(kind)
        if offset is None:
            offset = last_end + (-last_end % align)
        elif offset % align:
            raise PartitionFileError(path, f"offset 0x{offset:x} of {name} is not aligned to 0x{align:x}", number)
        if size < 0:
            size = -size - offset
        if size <= 0:
            raise PartitionFileError(path, f"partition {name} has no room (size {size})", number)
        last_end = offset + size
        detail = kind_text + (f"/{subtype}" if subtype else "")
        layout.partitions.append(Partition(name, offset + (base or 0), size, "flash", "flash", base is not None,
                                           (), (), f"{path}:{number}", detail))
    if not layout.partitions:
        raise PartitionFileError(path, "no partitions (expected lines of name, type, subtype, offset, size)")
    layout.devices["flash"] = Device("flash", base or 0)
    return layout
