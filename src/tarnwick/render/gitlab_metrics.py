"""GitLab's metrics report: OpenMetrics text, per region of the target its used bytes, its
size and its use in percent, and the flash and RAM totals, so the merge-request widget shows
what changed against the target branch's report."""

from __future__ import annotations

from tarnwick.render.view import build_view

_FAMILIES = (
    ("tarnwick_region_used_bytes", "bytes of the region in use, as the linker counts them"),
    ("tarnwick_region_size_bytes", "the region's size"),
    ("tarnwick_region_used_percent", "the region's use in percent of its size"),
    ("tarnwick_total_bytes", "flash and RAM in use over all regions"),
)


def _label(value: str) -> str:
    return value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def render_gitlab_metrics(report, comparison=None, outcome=None, model=None) -> str:
    view = build_view(report, comparison, model)
    target = _label(view.title)
    samples = {name: [] for name, _ in _FAMILIES}
    for row in view.regions:
        labels = f'target="{target}",region="{_label(row.name)}"'
        samples["tarnwick_region_used_bytes"].append(f"{{{labels}}} {row.used}")
        samples["tarnwick_region_size_bytes"].append(f"{{{labels}}} {row.size}")
        if row.size:
            samples["tarnwick_region_used_percent"].append(f"{{{labels}}} {round(row.used * 100 / row.size, 3)}")
    for kind, total in (("flash", view.total_flash), ("ram", view.total_ram)):
        samples["tarnwick_total_bytes"].append(f'{{target="{target}",kind="{kind}"}} {total}')
    lines = []
    if outcome is not None and outcome.configuration() is not None:
        used = _label(outcome.inputs.get("configuration") or "")
        lines += ["# TYPE tarnwick_configuration info", "# HELP tarnwick_configuration the configuration the run "
                  "used (an empty path: none, the defaults)", f'tarnwick_configuration_info{{target="{target}",path="{used}"}} 1']
    for name, help_text in _FAMILIES:
        lines += [f"# TYPE {name} gauge", f"# HELP {name} {help_text}"]
        lines += [f"{name}{sample}" for sample in samples[name]]
    return "\n".join(lines + ["# EOF"]) + "\n"
