"""Every image of a product in one analysis: `tarnwick system [CONFIG]`.

    from tarnwick.system import analyze_system, render_system

    result = analyze_system("tarnwick.toml", baseline="last-system.json")
    result.verdict.failed, [row.free_bytes for row in result.report.partitions]
    print(render_system("text", result))

The layers: `description` reads `[system]` from tarnwick.toml; `readers` read the partition
files (Zephyr's devicetree, the partition manager's partitions.yml, ESP-IDF's partitions.csv)
into `partitions`' records; `images` reads each image through `tarnwick.api.read_build`, as
`analyze` reads it; the passes `fit` (partitions, MCUboot slots by `mcuboot`, the secure
block) and `overlap` (flash, RAM, shared regions, gaps) fill the `report`, `findings` makes its
findings and verdict, `compare` compares it with a stored one, and `render` writes it.
Errors are the command's bad-input errors: ConfigError (the configuration, at its line),
MapParseError (a partition file or an image, at its line), ReportFileError (a stored report).
"""

__all__ = ["SystemResult", "analyze_system", "render_system"]


def __getattr__(name: str):
    # loaded when asked for: `tarnwick diff` looks at this package for every pair of builds
    if name in ("SystemResult", "analyze_system"):
        from tarnwick.system import analysis

        return getattr(analysis, name)
    if name == "render_system":
        from tarnwick.system.render import render_system

        return render_system
    raise AttributeError(f"module 'tarnwick.system' has no attribute {name!r}")
