"""GitLab's metrics report: OpenMetrics text, per region of the target its used bytes, its
size and its use in percent, and the flash and RAM totals, so the merge-request widget shows
what changed against the target branch's report."""

from __future__ import annotations

from tarnwick.render.host_findings import HostRun, build_run
from tarnwick.render.view import build_view

_FAMILIES = (
    ("tarnwick_region_used_bytes", "bytes of the region in use, as the linker counts them"),
    ("tarnwick_region_size_bytes", "the region's size"),
    ("tarnwick_region_used_percent", "the region's use in percent of its size"),
    ("tarnwick_total_bytes", "flash and RAM in use over all regions"),
)


def label(value: str) -> str:
    return value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def render_gitlab_metrics(report, comparison=None, outcome=None, model=None) -> str:
    view = build_view(report, comparison, model)
    target = label(view.title)
    samples = {name: [] for name, _ in _FAMILIES}
    for row in view.regions:
        labels = f'target="{target}",region="{label(row.name)}"'
        samples["tarnwick_region_used_bytes"].append(f"{{{labels}}} {row.used}")
        samples["tarnwick_region_size_bytes"].append(f"{{{labels}}} {row.size}")
        if row.size:
            samples["tarnwick_region_used_percent"].append(f"{{{labels}}} {percent(row.used, row.size)}")
    for kind, total in (("flash", view.total_flash), ("ram", view.total_ram)):
        samples["tarnwick_total_bytes"].append(f'{{target="{target}",kind="{kind}"}} {total}')
    return openmetrics_text(view.title, [(name, text, samples[name]) for name, text in _FAMILIES],
                            build_run(report, comparison, outcome, model))


def percent(used: int, size: int) -> float:
    return round(used * 100 / size, 3)


def openmetrics_text(target: str, families: list, run: HostRun) -> str:
    """`families`: (name, help, samples as `{labels} value`) of gauges, after the configuration's info."""
    lines = []
    if run.tells_configuration:
        lines += ["# TYPE tarnwick_configuration info", "# HELP tarnwick_configuration the configuration the run "
                  "used (an empty path: none, the defaults)",
                  f'tarnwick_configuration_info{{target="{label(target)}",path="{label(run.configuration or "")}"}} 1']
    for name, help_text, samples in families:
        lines += [f"# TYPE {name} gauge", f"# HELP {name} {help_text}"]
        lines += [f"{name}{sample}" for sample in samples]
    return "\n".join(lines + ["# EOF"]) + "\n"
