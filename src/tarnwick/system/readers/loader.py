"""One way in for partition files: which reader a file's name or first line names."""

from __future__ import annotations

import os
from typing import Optional

from tarnwick.system.partitions import PartitionLayout, read_text


def kind_of_file(path: str, text: str) -> str:
    """"devicetree", "partition-manager" or "esp-idf": by the file's name, else its first line."""
    lower = os.path.basename(path).lower()
    if lower.endswith((".dts", ".dtsi", ".overlay")):
        return "devicetree"
    if lower.endswith((".yml", ".yaml")):
        return "partition-manager"
    if lower.endswith(".csv"):
        return "esp-idf"
    for line in text.splitlines():
        stripped = line.strip()
        if not stripped or stripped.startswith(("#", "//")):
            continue
        if stripped.startswith(("/dts-v1/", "/ {", "/{")):
            return "devicetree"
        return "esp-idf" if stripped.count(",") >= 3 else "partition-manager"
    return "partition-manager"


def read_partition_file(path: str, table_offset: int = 0x8000, base: Optional[int] = None) -> PartitionLayout:
    """The partitions a devicetree, a partition manager's partitions.yml or an ESP-IDF
    partitions.csv declares. `table_offset` and `base` are for partitions.csv: where its
    partition table is, and the address its offset 0 has (None: offsets only)."""
    text = read_text(path)
    kind = kind_of_file(path, text)
    if kind == "devicetree":
        from tarnwick.system.readers.devicetree import read_devicetree

        return read_devicetree(path, text)
    if kind == "esp-idf":
        from tarnwick.system.readers.esp_idf import read_partition_csv

        return read_partition_csv(path, text, table_offset, base)
    from tarnwick.system.readers.partition_manager import read_partition_yaml

    return read_partition_yaml(path, text)
