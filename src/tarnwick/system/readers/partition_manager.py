"""The nRF Connect SDK partition manager's partitions.yml (build/partitions.yml, or a
pm_static.yml): each partition's address, size (or end_address), region and span (the
partitions a container such as mcuboot_primary is made of)."""

from __future__ import annotations

from tarnwick.system.partitions import Device, Partition, PartitionFileError, PartitionLayout
from tarnwick.system.readers.yaml_subset import YamlError, line_of, load


def read_partition_yaml(path: str, text: str) -> PartitionLayout:
    try:
        document = load(text)
    except YamlError as exc:
        raise PartitionFileError(path, f"not the YAML a partitions.yml is written in: {exc.reason}", exc.line) from None
    if not isinstance(document, dict) or not document:
        raise PartitionFileError(path, "expected a mapping of partition names to their address and size", 1)
    layout = PartitionLayout()
    spans = {}
    for name, entry in document.items():
        line = document.line_of(name)
        if not isinstance(name, str):
            raise PartitionFileError(path, f"partition name {name!r} is not a name", line)
        if not isinstance(entry, dict):
            raise PartitionFileError(path, f"{name}: expected its address and size", line)
        address, size = _field(path, name, entry, "address", line), _field(path, name, entry, "size", line, True)
        end = _field(path, name, entry, "end_address", line, True)
        if size is None and end is None:
            raise PartitionFileError(path, f"{name}: no size and no end_address", line)
        if size is None:
            size = end - address
        if end is not None and end != address + size:
            raise PartitionFileError(path, f"{name}: end_address 0x{end:x} is not address 0x{address:x} + size "
                                     f"0x{size:x}", entry.line_of("end_address"))
        if size <= 0:
            raise PartitionFileError(path, f"{name}: size {size} is not a size", entry.line_of("size"))
        region = entry.get("region", "flash_primary")
        if not isinstance(region, str):
            raise PartitionFileError(path, f"{name}: region must be a name", entry.line_of("region"))
        span = entry.get("span", [])
        if isinstance(span, str):
            span = [span]
        if not isinstance(span, list) or not all(isinstance(part, str) for part in span):
            raise PartitionFileError(path, f"{name}: span must be a list of partition names", entry.line_of("span"))
        spans[name] = (span, entry.line_of("span"))
        kind = "ram" if "ram" in region.lower() else "flash"
        # the internal flash and SRAM are at the CPU's addresses; an external flash is its own offsets
        mapped = "external" not in region.lower()
        layout.partitions.append(Partition(name, address, size, region, kind, mapped, (), tuple(span),
                                           f"{path}:{line}"))
        layout.devices.setdefault(region, Device(region))
    names = set(document)
    for name, (span, line) in spans.items():
        missing = [part for part in span if part not in names]
        if missing:
            raise PartitionFileError(path, f"{name}: spans {', '.join(missing)}, which the file does not declare", line)
    return layout


def _field(path: str, name: str, entry: dict, key: str, line: int, optional: bool = False):
    if key not in entry:
        if optional:
            return None
        raise PartitionFileError(path, f"{name}: no {key}", line)
    value = entry[key]
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise PartitionFileError(path, f"{name}: {key} must be a number of bytes, not {value!r}",
                                 entry.line_of(key) if hasattr(entry, "line_of") else line_of(entry, line))
    return value
